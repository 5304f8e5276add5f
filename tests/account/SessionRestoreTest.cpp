// The application state's restore of a stored sign-in through the backend renewal, against
// scripted servers on 127.0.0.1.

#include "AccountTestSupport.h"

#include "account/SignInExchange.h"
#include "core/AppConstants.h"
#include "core/Clock.h"
#include "service/ScriptedHttpServer.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QJsonDocument>
#include <QTest>

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

AccountInfo cachedAccount()
{
    AccountInfo account;
    account.name = u"Cached"_s;
    account.apiKey = u"stored-key"_s;
    account.credits = 4;
    return account;
}

class SessionRestoreTest : public ::testing::Test {
protected:
    std::unique_ptr<test::IsolatedAppState> isolated = std::make_unique<test::IsolatedAppState>();
    BackendSessionRenewal renewal;

    // The state as the next start finds it: the stored key, a cached account and its expiry.
    AppState& restart(std::optional<QString> key, std::optional<double> expiry, const QString& server)
    {
        if (key)
            isolated->keychain.save(QString(kApiKeyAccount), *key);
        if (expiry) {
            isolated->store.setData(AppState::accountInfoKey, QJsonDocument(cachedAccount().toJson()).toJson());
            isolated->store.setDouble(AppState::sessionExpiryKey, *expiry);
        }
        UserPreferences preferences = isolated->preferences.preferences();
        preferences.backendBaseURLString = server;
        isolated->preferences.setPreferences(preferences);
        state = std::make_unique<AppState>(isolated->store, isolated->preferences, isolated->keychain);
        state->setSessionRenewal(&renewal);
        return *state;
    }

    std::unique_ptr<AppState> state;
};

} // namespace

TEST_F(SessionRestoreTest, NothingIsSentWithoutAKeyOrWhenAlreadySignedIn)
{
    test::ScriptedHttpServer server([](const auto&, httplib::Response& response) {
        response.set_content(R"({"name": "Fresh"})", "application/json");
    });
    const double now = clock::nowInSeconds();
    const struct {
        std::optional<QString> key;
        std::optional<double> expiry;
        bool signedIn;
    } cases[] = {{std::nullopt, std::nullopt, false}, {u""_s, std::nullopt, false}, {u"k"_s, now + 60, true}};
    for (const auto& c : cases) {
        isolated = std::make_unique<test::IsolatedAppState>();
        AppState& restored = restart(c.key, c.expiry, server.baseURL());
        restored.restoreSession();
        QTest::qWait(300);
        EXPECT_EQ(server.requests().size(), 0u);
        EXPECT_EQ(restored.isAuthenticated(), c.signedIn);
        EXPECT_EQ(restored.accountInfo().has_value(), c.signedIn);
    }
}

TEST_F(SessionRestoreTest, AcceptedAnswerSignsInSavesAndLogsWithTheKeyMasked)
{
    test::ScriptedHttpServer server([](const auto&, httplib::Response& response) {
        response.set_content(R"({"id": 3, "name": "Fresh", "email": "f@x.example", "api_key": "other-key",)"
                             R"( "credits": 9, "apps": [{"id": 2, "title": "kivopro-for-macos\u00a0", "version": "5.0"}]})",
                             "application/json");
    });
    AppState& restored = restart(u"stored-key"_s, std::nullopt, server.baseURL() + u"/"_s);
    QString lines;
    {
        test::StdoutCapture log;
        restored.restoreSession();
        test::waitUntil([&] { return restored.isAuthenticated(); });
        lines = log.text();
    }
    ASSERT_TRUE(restored.isAuthenticated());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/api/app/login");
    const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(requests[0].body)).object();
    EXPECT_EQ(body.value("api_key"), u"stored-key"_s);
    EXPECT_EQ(body.value("app_id"), 1);
    EXPECT_EQ(body.value("device_info").toObject(), restored.deviceInfo());

    EXPECT_EQ(restored.accountInfo()->credits, 9);
    EXPECT_EQ(restored.accountInfo()->latestVersion, u"5.0"_s);
    // Stored without its key, which stays in the credential store alone.
    AccountInfo storedForm = *restored.accountInfo();
    storedForm.apiKey.reset();
    EXPECT_EQ(restored.loadAccountInfo(), storedForm);
    EXPECT_FALSE(restored.isSessionExpired());
    EXPECT_EQ(restored.userPreferences().accountEmail, u"f@x.example"_s);
    EXPECT_EQ(restored.userPreferences().accountName, u"Fresh"_s);
    // The restore does not write the credential store.
    EXPECT_EQ(isolated->keychain.load(QString(kApiKeyAccount)), u"stored-key"_s);
    EXPECT_TRUE(lines.startsWith(u"[AppState] restore login response status=200 raw={\"id\": 3"_s)) << lines.toStdString();
    EXPECT_TRUE(lines.contains(u"\"api_key\": \"********\""_s));
    EXPECT_FALSE(lines.contains(u"other-key"_s));
}

TEST_F(SessionRestoreTest, NoUsableAnswerFallsBackToAnUnexpiredCache)
{
    test::ScriptedHttpServer refusing([](const auto&, httplib::Response& response) {
        response.status = 401;
        response.set_content(R"({"error": "Invalid API key"})", "application/json");
    });
    const double now = clock::nowInSeconds();
    const struct {
        QString server;
        double expiry;
        bool restored;
    } cases[] = {{test::closedAddress(), now + 3600, true},
                 {refusing.baseURL(), now + 3600, true},
                 {test::closedAddress(), now - 10, false},
                 {test::closedAddress(), 0, false}};
    for (const auto& c : cases) {
        isolated = std::make_unique<test::IsolatedAppState>();
        // Stored after construction, so only the restore can sign in from it.
        AppState& restored = restart(u"stored-key"_s, std::nullopt, c.server);
        isolated->store.setData(AppState::accountInfoKey, QJsonDocument(cachedAccount().toJson()).toJson());
        isolated->store.setDouble(AppState::sessionExpiryKey, c.expiry);
        restored.restoreSession();
        QTest::qWait(500);
        EXPECT_EQ(restored.isAuthenticated(), c.restored) << c.server.toStdString();
        EXPECT_EQ(restored.accountInfo(), c.restored ? std::optional(cachedAccount()) : std::nullopt);
    }
}
