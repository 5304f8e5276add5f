#include "app/MainTabView.h"
#include "core/NotificationCenter.h"
#include "app/TabButton.h"
#include "removal/monitor/TriggerSettingsView.h"
#include "support/IsolatedAppState.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

class MainTabViewTest : public ::testing::Test {
protected:
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    MainTabView view{state};

    void SetUp() override { view.show(); }
};

} // namespace

TEST_F(MainTabViewTest, ProcessAllIsShownOnlyOnTheBatchTab)
{
    EXPECT_TRUE(view.processAllButton()->isVisible());
    EXPECT_TRUE(view.settingsButton()->isVisible());

    for (AppTab tab : {AppTab::imageEditor, AppTab::transactions, AppTab::trigger}) {
        view.tabButton(tab)->click();
        EXPECT_EQ(state.activeTab(), tab);
        EXPECT_FALSE(view.processAllButton()->isVisible());
        EXPECT_TRUE(view.settingsButton()->isVisible());
        EXPECT_TRUE(view.tabButton(tab)->isSelected());
        EXPECT_FALSE(view.tabButton(AppTab::backgroundRemoval)->isSelected());
    }
    view.tabButton(AppTab::backgroundRemoval)->click();
    EXPECT_TRUE(view.processAllButton()->isVisible());
    EXPECT_EQ(view.screen(AppTab::backgroundRemoval)->isVisible(), true);
    EXPECT_TRUE(qobject_cast<TriggerSettingsView*>(view.screen(AppTab::trigger)));
}

TEST_F(MainTabViewTest, ClickingTheActiveTabChangesNothing)
{
    QSignalSpy changes(&state, &AppState::activeTabChanged);
    view.tabButton(AppTab::backgroundRemoval)->click();
    EXPECT_EQ(changes.count(), 0);
}

TEST_F(MainTabViewTest, ProcessAllPostsTheNotification)
{
    QSignalSpy posted(&NotificationCenter::defaultCenter(), &NotificationCenter::posted);
    view.processAllButton()->click();
    ASSERT_EQ(posted.count(), 1);
    EXPECT_EQ(posted.front().at(0).toString(), u"processAllImages");
}

TEST_F(MainTabViewTest, OpenSettingsNotificationOpensTheSheetOnTheNamedTab)
{
    EXPECT_FALSE(view.showingSettings());
    NotificationCenter::defaultCenter().post(kOpenSettings, {{QStringLiteral("tab"), QStringLiteral("account")}});
    EXPECT_TRUE(view.showingSettings());
    EXPECT_EQ(view.selectedSettingsTab(), SettingsTab::account);

    // Already shown: only the tab changes.
    NotificationCenter::defaultCenter().post(kOpenSettings, {{QStringLiteral("tab"), QStringLiteral("nope")}});
    EXPECT_TRUE(view.showingSettings());
    EXPECT_EQ(view.selectedSettingsTab(), SettingsTab::general);
}
