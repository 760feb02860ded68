#include "platform/BuildConfig.h"

#include "BuildConfigValues.h"

#include <optional>

namespace {
BuildConfig builtIn() {
    return BuildConfig{QStringLiteral(OMBRIX_CFG_PRODUCT_DOMAIN), QStringLiteral(OMBRIX_CFG_API_HOST),
                       QStringLiteral(OMBRIX_CFG_DEFAULT_ENDPOINT), QString()};
}

std::optional<BuildConfig>& overridden() {
    static std::optional<BuildConfig> value;
    return value;
}
} // namespace

const BuildConfig& BuildConfig::current() {
    static const BuildConfig fixed = builtIn();
    if (overridden())
        return *overridden();
    return fixed;
}

void BuildConfig::overrideForTesting(const BuildConfig& config) {
    overridden() = config;
}

void BuildConfig::resetForTesting() {
    overridden().reset();
}
