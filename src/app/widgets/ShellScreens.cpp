#include "app/widgets/ShellScreens.h"

#include "settings/widgets/LocalModelSettingsWidget.h"

#include <QLabel>

namespace {
QWidget* comingSoon() {
    auto* label = new QLabel(QStringLiteral("…"));
    label->setAlignment(Qt::AlignCenter);
    return label;
}
} // namespace

ShellScreens defaultShellScreens() {
    ShellScreens screens;
    screens.chat = comingSoon;
    screens.pushToTalk = comingSoon;
    screens.realtime = comingSoon;
    screens.generalTab = comingSoon;
    screens.bridgeTab = comingSoon;
    screens.corvaneTab = comingSoon;
    screens.localLlmTab = [] { return new LocalModelSettingsWidget; };
    return screens;
}
