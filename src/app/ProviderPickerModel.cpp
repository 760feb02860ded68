#include "app/ProviderPickerModel.h"

#include "app/SettingsOpener.h"
#include "localllm/LocalLLMCatalog.h"
#include "session/AppSession.h"

#include <QStringList>

#include <algorithm>

namespace {

QString afterLastSlash(const QString& id) {
    const qsizetype slash = id.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? id : id.mid(slash + 1);
}

} // namespace

ProviderPickerModel::ProviderPickerModel(AppSession& session, const CloudCatalog& catalog)
    : session_(session)
    , catalog_(catalog) {}

QString ProviderPickerModel::providerLabel(Provider provider) {
    switch (provider) {
    case Provider::OpenAI:
        return QStringLiteral("ChatGPT");
    case Provider::Anthropic:
        return QStringLiteral("Claude");
    case Provider::Gemini:
        return QStringLiteral("Gemini");
    case Provider::Local:
        break;
    }
    return QStringLiteral("Self-Hosted");
}

QString ProviderPickerModel::providerSymbol(Provider provider) {
    switch (provider) {
    case Provider::OpenAI:
        return QStringLiteral("sparkles");
    case Provider::Anthropic:
        return QStringLiteral("a.circle");
    case Provider::Gemini:
        return QStringLiteral("g.circle");
    case Provider::Local:
        break;
    }
    return QStringLiteral("cpu");
}

std::optional<CloudModel> ProviderPickerModel::catalogCloudModel(const QString& slug) const {
    for (const CloudProvider& provider : catalog_.providers())
        for (const CloudModel& model : provider.models)
            if (model.slug == slug)
                return model;
    return std::nullopt;
}

QString ProviderPickerModel::pillLabel() const {
    const Provider provider = session_.provider();
    if (provider == Provider::Local) {
        const QString selected = session_.selectedLocalModel();
        if (const std::optional<LocalLLMModel> known = LocalLLMCatalog::model(selected))
            return known->displayName;
        if (selected.isEmpty())
            return providerLabel(Provider::Local);
        return afterLastSlash(selected);
    }
    const QString slug = session_.selectedCloudModel();
    if (!slug.isEmpty())
        if (const std::optional<CloudModel> model = catalogCloudModel(slug))
            return model->display_name.value_or(model->slug);
    return providerLabel(provider);
}

QString ProviderPickerModel::pillSymbol() const {
    return providerSymbol(session_.provider());
}

QList<PickerEntry> ProviderPickerModel::menuEntries(const QSet<QString>& downloadedIds) const {
    QList<PickerEntry> entries;
    const QList<CloudProvider>& providers = catalog_.providers();
    if (!providers.isEmpty()) {
        for (const CloudProvider& provider : providers) {
            QList<PickerEntry> models;
            for (const CloudModel& model : provider.models) {
                if (model.kind.value_or(QStringLiteral("chat")) != QLatin1String("chat") ||
                    model.status.value_or(QStringLiteral("active")) != QLatin1String("active"))
                    continue;
                PickerEntry entry;
                entry.kind = PickerEntry::Kind::CloudModel;
                entry.title = model.display_name.value_or(model.slug);
                entry.symbol = CloudCatalog::iconFor(provider.slug);
                entry.provider = fromRaw<Provider>(provider.slug).value_or(Provider::OpenAI);
                entry.model = model.slug;
                models.append(entry);
            }
            if (models.isEmpty())
                continue;
            PickerEntry section;
            section.title = provider.display_name.value_or(provider.name);
            entries.append(section);
            entries.append(models);
        }
    } else {
        for (const Provider provider : {Provider::OpenAI, Provider::Anthropic, Provider::Gemini}) {
            PickerEntry entry;
            entry.kind = PickerEntry::Kind::FallbackProvider;
            entry.title = providerLabel(provider);
            entry.symbol = providerSymbol(provider);
            entry.provider = provider;
            entries.append(entry);
        }
    }

    PickerEntry localSection;
    localSection.title = QStringLiteral("Self-Hosted");
    entries.append(localSection);
    QStringList ids(downloadedIds.begin(), downloadedIds.end());
    std::sort(ids.begin(), ids.end());
    for (const QString& id : ids) {
        PickerEntry entry;
        entry.kind = PickerEntry::Kind::LocalModel;
        entry.symbol = QStringLiteral("cpu");
        entry.provider = Provider::Local;
        entry.model = id;
        if (const std::optional<LocalLLMModel> known = LocalLLMCatalog::model(id)) {
            entry.title = known->displayName;
            entry.subtitle =
                QString::asprintf("%.1f GB · %d tok/s", known->sizeGB, known->approxTokensPerSec);
        } else {
            entry.title = afterLastSlash(id);
        }
        entries.append(entry);
    }
    if (ids.isEmpty()) {
        PickerEntry entry;
        entry.kind = PickerEntry::Kind::LocalDefault;
        entry.title = QStringLiteral("Self-Hosted (défaut du Mac)");
        entry.symbol = QStringLiteral("cpu");
        entry.provider = Provider::Local;
        entries.append(entry);
    }
    PickerEntry divider;
    divider.kind = PickerEntry::Kind::Divider;
    entries.append(divider);
    PickerEntry manage;
    manage.kind = PickerEntry::Kind::ManageModels;
    manage.title = QStringLiteral("Gérer les modèles…");
    manage.symbol = QStringLiteral("slider.horizontal.3");
    entries.append(manage);
    return entries;
}

void ProviderPickerModel::choose(const PickerEntry& entry) {
    switch (entry.kind) {
    case PickerEntry::Kind::CloudModel:
        session_.setProvider(entry.provider);
        session_.setSelectedCloudModel(entry.model);
        break;
    case PickerEntry::Kind::FallbackProvider:
        session_.setProvider(entry.provider);
        session_.setSelectedCloudModel(QString());
        break;
    case PickerEntry::Kind::LocalModel:
        session_.setProvider(Provider::Local);
        session_.setSelectedLocalModel(entry.model);
        break;
    case PickerEntry::Kind::LocalDefault:
        session_.setProvider(Provider::Local);
        session_.setSelectedLocalModel(QString());
        break;
    case PickerEntry::Kind::ManageModels:
        SettingsOpener::shared().openSettingsWindow(QString::fromLatin1(kLocalModelTab));
        break;
    case PickerEntry::Kind::Section:
    case PickerEntry::Kind::Divider:
        break;
    }
}
