#include "settings/SettingsTab.h"

#include <gtest/gtest.h>

using namespace kivo;

TEST(OpenSettingsRule, NamedTabOtherwiseGeneral)
{
    EXPECT_EQ(settingsTabFromUserInfo({{QStringLiteral("tab"), QStringLiteral("account")}}), SettingsTab::account);
    EXPECT_EQ(settingsTabFromUserInfo({{QStringLiteral("tab"), QStringLiteral("export")}}), SettingsTab::exportTab);
    EXPECT_EQ(settingsTabFromUserInfo({}), SettingsTab::general);
    EXPECT_EQ(settingsTabFromUserInfo({{QStringLiteral("tab"), QStringLiteral("Account")}}), SettingsTab::general);
    EXPECT_EQ(settingsTabFromUserInfo({{QStringLiteral("tab"), 6}}), SettingsTab::general);
    EXPECT_EQ(settingsTabFromUserInfo({{QStringLiteral("tab"), QByteArray("account")}}), SettingsTab::general);
    EXPECT_EQ(settingsTabFromUserInfo({{QStringLiteral("other"), QStringLiteral("account")}}), SettingsTab::general);
}
