#include "core/AppState.h"
#include "core/Clock.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

constexpr double now = 1'800'000'000.0;

class AppStateTest : public ::testing::Test {
protected:
    void SetUp() override { clock::pinForTesting(now); }
    void TearDown() override { clock::pinForTesting(std::nullopt); }

    // A fresh application state over the same stores, as after a restart.
    std::unique_ptr<AppState> restart()
    {
        manager = std::make_unique<PreferenceManager>(store);
        return std::make_unique<AppState>(store, *manager);
    }

    void storeSession(const AccountInfo& account, std::optional<double> expiry)
    {
        store.setData(AppState::accountInfoKey, QJsonDocument(account.toJson()).toJson());
        if (expiry)
            store.setDouble(AppState::sessionExpiryKey, *expiry);
    }

    QTemporaryDir dir;
    DefaultsStore store{dir.filePath(QStringLiteral("defaults.ini"))};
    std::unique_ptr<PreferenceManager> manager;
};

AccountInfo account()
{
    AccountInfo info;
    info.email = QStringLiteral("ann@x.example");
    info.apiKey = QStringLiteral("secret-key");
    info.credits = 5;
    return info;
}

} // namespace

TEST_F(AppStateTest, StartsOnTheBatchTabSignedOutWithDefaults)
{
    const auto state = restart();
    EXPECT_EQ(state->activeTab(), AppTab::backgroundRemoval);
    EXPECT_TRUE(state->processingQueue().isEmpty());
    EXPECT_TRUE(state->editorSessions().isEmpty());
    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_FALSE(state->accountInfo().has_value());
    EXPECT_EQ(state->triggerStatus(), TriggerStatus::idle);
    EXPECT_EQ(state->backendBaseURL(), QUrl(QStringLiteral("https://kivopro.example")));
}

TEST_F(AppStateTest, SessionExpiringExactlyNowIsRestoredOneSecondPastIsNot)
{
    storeSession(account(), now);
    auto state = restart();
    EXPECT_TRUE(state->isAuthenticated());
    EXPECT_EQ(state->accountInfo(), account());
    EXPECT_FALSE(state->isSessionExpired());

    storeSession(account(), now - 1);
    state = restart();
    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_FALSE(state->accountInfo().has_value());
    EXPECT_TRUE(state->isSessionExpired());
    // An expired session is not restored, but nothing is deleted either.
    EXPECT_TRUE(state->loadAccountInfo().has_value());
}

TEST_F(AppStateTest, AccountWithoutStoredExpiryIsNeverRestored)
{
    storeSession(account(), std::nullopt);
    const auto state = restart();
    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_TRUE(state->isSessionExpired());
}

TEST_F(AppStateTest, UndecodableStoredAccountCountsAsNone)
{
    store.setData(AppState::accountInfoKey, "{broken");
    store.setDouble(AppState::sessionExpiryKey, now + 100);
    const auto state = restart();
    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_FALSE(state->loadAccountInfo().has_value());
}

TEST_F(AppStateTest, SavingAnAccountOpensASevenDaySessionThatSurvivesARestart)
{
    restart()->saveAccountInfo(account(), 7);
    EXPECT_EQ(store.doubleValue(AppState::sessionExpiryKey), now + 604800.0);
    EXPECT_EQ(store.doubleValue(AppState::lastValidatedKey), now);

    const auto state = restart();
    EXPECT_TRUE(state->isAuthenticated());
    EXPECT_EQ(state->accountInfo(), account());

    clock::pinForTesting(now + 604800.0 + 1);
    EXPECT_TRUE(state->isSessionExpired());
}

TEST_F(AppStateTest, EveryPreferenceAssignmentIsPersistedAndRederivesTheBackend)
{
    auto state = restart();
    QSignalSpy changed(state.get(), &AppState::userPreferencesChanged);
    UserPreferences prefs = state->userPreferences();
    prefs.backendBaseURLString = QStringLiteral("  http://127.0.0.1:8080/ \n");
    prefs.jpegQuality = 0.5;
    state->setUserPreferences(prefs);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(state->backendBaseURL(), QUrl(QStringLiteral("http://127.0.0.1:8080/")));

    state = restart();
    EXPECT_EQ(state->userPreferences().jpegQuality, 0.5);
    EXPECT_EQ(state->backendBaseURL(), QUrl(QStringLiteral("http://127.0.0.1:8080/")));

    // A blank address keeps the previous one.
    prefs = state->userPreferences();
    prefs.backendBaseURLString = QStringLiteral("   ");
    state->setUserPreferences(prefs);
    EXPECT_EQ(state->backendBaseURL(), QUrl(QStringLiteral("http://127.0.0.1:8080/")));
}

TEST_F(AppStateTest, InstallationIdentifierIsCreatedOnceInUpperCase)
{
    const QString first = restart()->installationUUID();
    EXPECT_EQ(first.size(), 36);
    EXPECT_EQ(first, first.toUpper());
    EXPECT_FALSE(QUuid::fromString(first).isNull());
    EXPECT_EQ(restart()->installationUUID(), first);
}

TEST_F(AppStateTest, PublishedFieldsSignalTheirChanges)
{
    const auto state = restart();
    QSignalSpy tab(state.get(), &AppState::activeTabChanged);
    state->setActiveTab(AppTab::trigger);
    state->setActiveTab(AppTab::trigger);
    EXPECT_EQ(tab.count(), 1);

    QSignalSpy sessions(state.get(), &AppState::editorSessionsChanged);
    state->appendEditorSession(EditorSession{});
    EXPECT_EQ(sessions.count(), 1);
    EXPECT_EQ(state->editorSessions().size(), 1);
}
