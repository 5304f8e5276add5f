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

QString settingsTabIconPath(SettingsTab tab)
{
    // The application's own drawings of the platform symbols ("gear", "cpu", ...).
    switch (tab) {
    case SettingsTab::general: return QStringLiteral(":/settings-icons/gear.svg");
    case SettingsTab::exportTab: return QStringLiteral(":/settings-icons/square-and-arrow-up.svg");
    case SettingsTab::processing: return QStringLiteral(":/settings-icons/cpu.svg");
    case SettingsTab::shortcuts: return QStringLiteral(":/settings-icons/keyboard.svg");
    case SettingsTab::trigger: return QStringLiteral(":/settings-icons/folder-badge-plus.svg");
    case SettingsTab::about: return QStringLiteral(":/settings-icons/info-circle.svg");
    case SettingsTab::account: return QStringLiteral(":/settings-icons/person-crop-circle.svg");
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
