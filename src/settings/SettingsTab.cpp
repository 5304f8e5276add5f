#include "SettingsTab.h"

namespace kivo {

QString settingsTabLabel(SettingsTab tab)
{
    switch (tab) {
    case SettingsTab::general: return QStringLiteral("General");
    case SettingsTab::exportTab: return QStringLiteral("Export");
    case SettingsTab::processing: return QStringLiteral("Processing");
    case SettingsTab::shortcuts: return QStringLiteral("Shortcuts");
    case SettingsTab::trigger: return QStringLiteral("Trigger");
    case SettingsTab::about: return QStringLiteral("About");
    case SettingsTab::account: return QStringLiteral("Account");
    }
    return {};
}

QString settingsTabIconName(SettingsTab tab)
{
    // Freedesktop icon names standing in for the platform's symbols.
    switch (tab) {
    case SettingsTab::general: return QStringLiteral("preferences-system");
    case SettingsTab::exportTab: return QStringLiteral("document-export");
    case SettingsTab::processing: return QStringLiteral("cpu");
    case SettingsTab::shortcuts: return QStringLiteral("preferences-desktop-keyboard");
    case SettingsTab::trigger: return QStringLiteral("folder-new");
    case SettingsTab::about: return QStringLiteral("help-about");
    case SettingsTab::account: return QStringLiteral("user-identity");
    }
    return {};
}

SettingsTab settingsTabFromUserInfo(const QVariantMap& userInfo)
{
    const QVariant tab = userInfo.value(QStringLiteral("tab"));
    if (tab.typeId() != QMetaType::QString)
        return SettingsTab::general;
    return fromRawValue<SettingsTab>(tab.toString()).value_or(SettingsTab::general);
}

} // namespace kivo
