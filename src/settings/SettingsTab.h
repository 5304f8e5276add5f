#pragma once

#include "core/RawValueEnum.h"

#include <QVariantMap>

namespace kivo {

enum class SettingsTab { general, exportTab, processing, shortcuts, trigger, about, account };
constexpr RawValueTable<SettingsTab, 7> rawValueTable(SettingsTab)
{
    return {{{SettingsTab::general, "general"},
             {SettingsTab::exportTab, "export"},
             {SettingsTab::processing, "processing"},
             {SettingsTab::shortcuts, "shortcuts"},
             {SettingsTab::trigger, "trigger"},
             {SettingsTab::about, "about"},
             {SettingsTab::account, "account"}}};
}

QString settingsTabLabel(SettingsTab tab);
// The tab's icon in the settings widgets' resources.
QString settingsTabIconPath(SettingsTab tab);

// The tab an "openSettings" notification asks for: its "tab" member when that is a string naming
// a settings tab, otherwise the general tab.
SettingsTab settingsTabFromUserInfo(const QVariantMap& userInfo);

} // namespace kivo
