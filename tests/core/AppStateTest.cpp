#include "core/AppConstants.h"
#include "core/AppState.h"
#include "core/Clock.h"
#include "core/KeychainHelper.h"
#include "core/WebAddress.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QUuid>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

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

bool waitFor(const std::function<bool()>& condition)
{
    QDeadlineTimer deadline(10000);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return condition();
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(ServerAddress, TypedAddressesAreTrimmedGivenHttpsOrRefused)
{
    const struct {
        QString typed;
        std::optional<QString> normalized;
    } cases[] = {
        {u"  kivopro.example \n"_s, u"https://kivopro.example"_s},
        {u"127.0.0.1:8080/"_s, u"https://127.0.0.1:8080"_s},
        {u"http://127.0.0.1:8080//"_s, u"http://127.0.0.1:8080"_s},
        {u"https://host.example/base"_s, u"https://host.example/base"_s},
        {u"ftp://evil.example"_s, std::nullopt},
        {u"my server"_s, std::nullopt},
        {u"http://"_s, std::nullopt},
        {u"javascript:alert(1)"_s, std::nullopt},
        {u"https://user:pw@host.example"_s, std::nullopt},
        {u"   "_s, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(normalizedServerAddress(c.typed).value_or(u"-"_s).toStdString(), c.normalized.value_or(u"-"_s).toStdString());

    EXPECT_TRUE(isSameServer(u"https://Host.example:443/"_s, u"host.example"_s));
    EXPECT_TRUE(isSameServer(u"http://127.0.0.1:8080"_s, u" http://127.0.0.1:8080/ "_s));
    EXPECT_FALSE(isSameServer(u"http://127.0.0.1:8080"_s, u"http://127.0.0.1:8081"_s));
    EXPECT_FALSE(isSameServer(u"http://host.example"_s, u"https://host.example"_s));
    EXPECT_FALSE(isSameServer(u"ftp://host.example"_s, u"ftp://host.example"_s));
}

TEST_F(AppStateTest, TheKeyNeverReachesTheDefaultsFileWhichOnlyItsOwnerCanRead)
{
    auto state = restart();
    state->saveAccountInfo(account(), 7);
    const QString path = dir.filePath(QStringLiteral("defaults.ini"));
    EXPECT_FALSE(fileBytes(path).contains("secret-key"));
    EXPECT_FALSE(state->loadAccountInfo()->apiKey.has_value());
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther
        | QFileDevice::WriteOther;
    EXPECT_EQ(QFileInfo(path).permissions() & (ownerOnly | others), ownerOnly);

    // A file made readable by others is made private again at the next write.
    QFile::setPermissions(path, ownerOnly | QFileDevice::ReadOther);
    restart()->saveAccountInfo(account(), 7);
    EXPECT_EQ(QFileInfo(path).permissions() & (ownerOnly | others), ownerOnly);
}

TEST_F(AppStateTest, AnOldRecordHoldingTheKeyIsRewrittenOnceTheStoreHasIt)
{
    storeSession(account(), now + 100);
    ASSERT_TRUE(fileBytes(dir.filePath(QStringLiteral("defaults.ini"))).contains("secret-key"));
    const auto state = restart();
    ASSERT_TRUE(state->isAuthenticated());
    EXPECT_EQ(state->accountInfo()->apiKey, u"secret-key"_s);
    ASSERT_TRUE(waitFor([&] { return !state->loadAccountInfo()->apiKey; }));
    EXPECT_EQ(keychain.load(QString(kApiKeyAccount)), u"secret-key"_s);
    EXPECT_FALSE(fileBytes(dir.filePath(QStringLiteral("defaults.ini"))).contains("secret-key"));
    EXPECT_EQ(state->loadAccountInfo()->email, account().email);

    // The next start finds the key in the store again for the card.
    const auto next = restart();
    ASSERT_TRUE(waitFor([&] { return next->accountInfo() && next->accountInfo()->apiKey; }));
    EXPECT_EQ(next->accountInfo()->apiKey, u"secret-key"_s);
}

TEST_F(AppStateTest, AnotherServerEndsTheSessionTheSameServerKeepsIt)
{
    auto state = restart();
    UserPreferences prefs = state->userPreferences();
    prefs.backendBaseURLString = u"http://127.0.0.1:8080"_s;
    state->setUserPreferences(prefs);
    state->saveAccountInfo(account(), 7);
    ASSERT_TRUE(keychain.save(QString(kApiKeyAccount), u"secret-key"_s));
    state->setAccountInfo(account());
    state->setAuthenticated(true);
    EXPECT_EQ(state->sessionServer(), u"http://127.0.0.1:8080"_s);
    EXPECT_EQ(state->accountLabel(), u"ann@x.example"_s);

    const struct {
        QString server;
        bool signsOut;
    } cases[] = {{u"http://127.0.0.1:8080/"_s, false}, {u" http://127.0.0.1:8080 "_s, false},
                 {u"http://127.0.0.1:9090"_s, true}};
    for (const auto& c : cases) {
        prefs.backendBaseURLString = c.server;
        EXPECT_EQ(state->wouldSignOut(prefs), c.signsOut) << c.server.toStdString();
        state->setUserPreferences(prefs);
        EXPECT_EQ(state->isAuthenticated(), !c.signsOut) << c.server.toStdString();
    }
    EXPECT_FALSE(state->loadAccountInfo().has_value());
    EXPECT_FALSE(keychain.load(QString(kApiKeyAccount)).has_value());
}

TEST_F(AppStateTest, ASessionOfAnotherServerThanTheConfiguredOneIsEndedAtStart)
{
    auto state = restart();
    state->saveAccountInfo(account(), 7);
    ASSERT_TRUE(keychain.save(QString(kApiKeyAccount), u"secret-key"_s));
    // Edited behind the application's back.
    UserPreferences prefs = manager->preferences();
    prefs.backendBaseURLString = u"http://elsewhere.example"_s;
    manager->setPreferences(prefs);
    manager->save();

    state = restart();
    EXPECT_FALSE(state->isAuthenticated());
    EXPECT_FALSE(state->loadAccountInfo().has_value());
    EXPECT_FALSE(keychain.load(QString(kApiKeyAccount)).has_value());
}

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
    AccountInfo withoutKey = account();
    withoutKey.apiKey.reset();
    EXPECT_EQ(state->loadAccountInfo(), withoutKey);

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
