#include "core/AppConstants.h"
#include "core/AppState.h"
#include "core/Clock.h"
#include "core/KeychainHelper.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QUuid>
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
        return std::make_unique<AppState>(store, *manager, keychain);
    }

    void storeSession(const AccountInfo& account, std::optional<double> expiry)
    {
        store.setData(AppState::accountInfoKey, QJsonDocument(account.toJson()).toJson());
        if (expiry)
            store.setDouble(AppState::sessionExpiryKey, *expiry);
    }

    QTemporaryDir dir;
    DefaultsStore store{dir.filePath(QStringLiteral("defaults.ini"))};
    KeychainHelper keychain{KeychainHelper::Options{QStringLiteral("kivopro-test-") + QUuid::createUuid().toString(),
                                                    dir.filePath(QStringLiteral("credentials.json")),
                                                    std::chrono::seconds(2)}};
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

TEST_F(AppStateTest, LogoutForgetsTheSessionAndKeyButKeepsPreferencesAndInstallation)
{
    storeSession(account(), now + 100);
    auto state = restart();
    UserPreferences prefs = state->userPreferences();
    prefs.accountEmail = QStringLiteral("ann@x.example");
    prefs.accountName = QStringLiteral("Ann");
    state->setUserPreferences(prefs);
    state->saveAccountInfo(account(), 7);
    const QString installation = state->installationUUID();
    ASSERT_TRUE(keychain.save(QString(kApiKeyAccount), QStringLiteral("secret-key")));
    ASSERT_TRUE(keychain.save(QString(kSessionAccount), QStringLiteral("token")));
    ASSERT_TRUE(state->isAuthenticated());

    state->logout();
    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_FALSE(state->accountInfo().has_value());
    for (const auto key : {AppState::accountInfoKey, AppState::sessionExpiryKey, AppState::lastValidatedKey})
        EXPECT_FALSE(store.data(key).has_value()) << key.data();
    EXPECT_FALSE(keychain.load(QString(kApiKeyAccount)).has_value());
    EXPECT_FALSE(keychain.load(QString(kSessionAccount)).has_value());

    state = restart();
    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_EQ(state->userPreferences().accountEmail, QStringLiteral("ann@x.example"));
    EXPECT_EQ(state->userPreferences().accountName, QStringLiteral("Ann"));
    EXPECT_EQ(state->installationUUID(), installation);
}

TEST_F(AppStateTest, DeviceInfoNamesTheRunningSystemAndThisInstallation)
{
    QCoreApplication::setApplicationVersion(QStringLiteral("2.3.4"));
    const auto state = restart();
    const QJsonObject info = state->deviceInfo();
    EXPECT_EQ(info.keys(), (QStringList{"app_version", "installation_uuid", "os_version"}));
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^Linux \d+\.\d+\.\d+$)"))
                    .match(info.value("os_version").toString())
                    .hasMatch())
        << info.value("os_version").toString().toStdString();
    EXPECT_EQ(info.value("app_version").toString(), u"2.3.4");
    EXPECT_EQ(info.value("installation_uuid").toString(), state->installationUUID());

    QCoreApplication::setApplicationVersion(QString());
    EXPECT_FALSE(state->deviceInfo().contains("app_version"));
}
