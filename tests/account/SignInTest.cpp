// The account page's sign-in: the request it sends, how it reads answers, what it stores and
// what it logs, against scripted servers and the real stand-in service on 127.0.0.1.

#include "AccountTestSupport.h"

#include "account/AccountDisplay.h"
#include "account/AccountSettingsView.h"
#include "account/SignInExchange.h"
#include "core/AppConstants.h"
#include "service/ScriptedHttpServer.h"
#include "service/ServiceProcess.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QClipboard>
#include <QGroupBox>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

QJsonObject json(const std::string& text)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

class SignInTest : public ::testing::Test {
protected:
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    AccountSettingsView view{state};

    void SetUp() override { view.show(); }

    // Types into the form as a user does and presses "Sign In"; waits for the answer.
    void signIn(const QString& server, const QString& email, const QString& password, const QString& key)
    {
        for (auto [field, text] : {std::pair{view.serverField(), server}, {view.emailField(), email},
                                   {view.passwordField(), password}, {view.apiKeyField(), key}}) {
            field->selectAll();
            QTest::keyClick(field, Qt::Key_Backspace);
            QTest::keyClicks(field, text);
        }
        ASSERT_TRUE(view.signInButton()->isEnabled());
        QTest::mouseClick(view.signInButton(), Qt::LeftButton);
        EXPECT_EQ(view.signInButton()->text(), u"Signing in…");
        ASSERT_TRUE(test::waitUntil([&] { return !view.signIn().isLoading(); }));
    }

    // The same, returning what it printed. GoogleTest reports on standard output too, so only
    // the sign-in itself is captured.
    QString signInLogged(const QString& server, const QString& email, const QString& password, const QString& key)
    {
        test::StdoutCapture log;
        signIn(server, email, password, key);
        return log.text();
    }

    bool nothingStored()
    {
        return !state.isAuthenticated() && !state.accountInfo() && !state.loadAccountInfo()
            && !isolated.keychain.load(QString(kApiKeyAccount)) && !state.userPreferences().accountName;
    }
};

} // namespace

TEST_F(SignInTest, ApiKeyIsSentAloneAndServerSlashesAreTrimmed)
{
    test::ScriptedHttpServer server([](const auto&, httplib::Response& response) {
        response.set_content(R"({"id": 7, "email": "k@x.example", "api_key": "sk-123", "credits": 3})",
                             "application/json");
    });
    QString lines = signInLogged(u"//"_s + server.baseURL() + u"///"_s, u"ann@x.example"_s, u"pw"_s, u"sk-123"_s);
    state.logout();
    lines += signInLogged(server.baseURL(), u"ann@x.example"_s, u"pw"_s, QString());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, "/api/app/login");
        EXPECT_EQ(request.header("Content-Type"), "application/json");
    }
    const QJsonObject withKey = json(requests[0].body);
    EXPECT_EQ(withKey.keys(), (QStringList{"api_key", "app_id", "device_info"}));
    EXPECT_EQ(withKey.value("api_key"), u"sk-123"_s);
    EXPECT_EQ(withKey.value("app_id"), 1);
    EXPECT_EQ(withKey.value("device_info").toObject(), state.deviceInfo());
    EXPECT_EQ(json(requests[1].body).keys(), (QStringList{"app_id", "device_info", "email", "password"}));

    EXPECT_TRUE(lines.contains(
        u"[AccountSettingsView] Sending login payload {\"apiKeyPresent\":true,\"emailProvided\":true,\"app_id\":1}\n"_s));
    EXPECT_TRUE(lines.contains(u"[AccountSettingsView] login response status=200 raw={\"id\": 7, \"email\": "
                               "\"k@x.example\", \"api_key\": \"********\", \"credits\": 3}\n"_s));
    EXPECT_FALSE(lines.contains(u"sk-123"_s));
    EXPECT_FALSE(lines.contains(u"pw"_s));
    EXPECT_EQ(isolated.keychain.load(QString(kApiKeyAccount)), u"sk-123"_s);
}

TEST_F(SignInTest, AnswerWithoutNameCreditsOrKeyShowsDefaultsAndStoresNoNameOrKey)
{
    test::ScriptedHttpServer server([](const auto&, httplib::Response& response) {
        response.set_content(R"({"email": "e@x.example"})", "application/json");
    });
    signIn(server.baseURL(), u"e@x.example"_s, u"pw"_s, QString());

    ASSERT_TRUE(state.isAuthenticated());
    EXPECT_TRUE(view.accountGroup()->isVisible());
    EXPECT_FALSE(view.signInGroup()->isVisible());
    EXPECT_EQ(view.nameLabel()->text(), u"User");
    EXPECT_EQ(view.creditsLabel()->text(), u"0");
    EXPECT_EQ(view.apiKeyLabel()->text(), u"—");
    EXPECT_EQ(state.userPreferences().accountEmail, u"e@x.example"_s);
    EXPECT_FALSE(state.userPreferences().accountName.has_value());
    EXPECT_FALSE(isolated.keychain.load(QString(kApiKeyAccount)).has_value());
    EXPECT_EQ(state.loadAccountInfo(), state.accountInfo());
    EXPECT_FALSE(state.isSessionExpired());
}

TEST_F(SignInTest, FailuresReadAsSentencesWithTheStatusOnlyInTheLogAndChangeNothing)
{
    // 401 for a key, 500 for e-mail and password.
    test::ScriptedHttpServer refusing([](const auto& request, httplib::Response& response) {
        response.status = request.body.find("api_key") != std::string::npos ? 401 : 500;
        response.set_content(R"({"error":"Server exploded"})", "application/json");
    });
    test::ScriptedHttpServer garbled([](const auto&, httplib::Response& response) {
        response.set_content("not json", "application/json");
    });
    const QString closed = test::closedAddress();
    const QString refusingHost = QUrl(refusing.baseURL()).authority();
    const struct {
        QString server, key, shown;
    } cases[] = {
        {refusing.baseURL(), QString(), refusingHost + u" could not sign you in right now. Try again later."_s},
        {refusing.baseURL(), u"revoked"_s, u"The API key is not accepted by "_s + refusingHost + u"."_s},
        {garbled.baseURL(), QString(), QUrl(garbled.baseURL()).authority()
                                           + u" did not answer like a KIVOPRO server. Check the server address."_s},
        {closed, QString(), u"Cannot reach "_s + QUrl(closed).authority() + u": connection refused."_s},
    };
    for (const auto& c : cases) {
        const QString log = signInLogged(c.server, u"ann@x.example"_s, u"wrong"_s, c.key);
        EXPECT_EQ(view.errorLabel()->text(), c.shown);
        EXPECT_TRUE(view.errorLabel()->isVisible());
        EXPECT_FALSE(view.errorLabel()->text().contains(u"Server exploded"_s));
        EXPECT_TRUE(c.server == closed || log.contains(u"login response status="_s)) << log.toStdString();
        EXPECT_TRUE(view.signInButton()->isEnabled());
        EXPECT_EQ(view.signInButton()->text(), u"Sign In");
        EXPECT_TRUE(nothingStored());
    }
}

TEST_F(SignInTest, SignInNeedsAKeyOrBothEmailAndPasswordAndTheEyeShowsTheKey)
{
    const struct {
        QString email, password, key;
        bool enabled;
    } cases[] = {{"", "", "", false}, {"a@b", "", "", false}, {"", "pw", "", false},
                 {"a@b", "pw", "", true}, {"", "", "key", true}};
    for (const auto& c : cases) {
        view.signIn().setEmail(c.email);
        view.signIn().setPassword(c.password);
        view.signIn().setApiKey(c.key);
        EXPECT_EQ(view.signInButton()->isEnabled(), c.enabled) << c.email.toStdString() << c.key.toStdString();
    }
    EXPECT_EQ(view.apiKeyField()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(view.loginKeyToggle()->toolTip(), u"Show API Key");
    QTest::mouseClick(view.loginKeyToggle(), Qt::LeftButton);
    EXPECT_EQ(view.apiKeyField()->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(view.loginKeyToggle()->toolTip(), u"Hide API Key");
}

TEST_F(SignInTest, StandInServiceSignsInWithPasswordAndWithKeyAndLogoutKeepsTheEmail)
{
    test::ServiceProcess service;
    ASSERT_TRUE(service.isReady()) << service.output().toStdString();
    QString lines = signInLogged(service.address(), service.email(), service.password(), QString());
    ASSERT_TRUE(state.isAuthenticated()) << view.errorLabel()->text().toStdString();
    EXPECT_EQ(view.nameLabel()->text(), u"Demo User");
    EXPECT_EQ(view.emailLabel()->text(), service.email());
    EXPECT_EQ(view.creditsLabel()->text(), u"100");
    EXPECT_EQ(view.apiKeyLabel()->text(), QString(16, QChar(0x2022)));
    QTest::mouseClick(view.profileKeyToggle(), Qt::LeftButton);
    EXPECT_EQ(view.apiKeyLabel()->text(), service.apiKey());
    EXPECT_EQ(view.profileKeyToggle()->toolTip(), u"Hide API Key");
    EXPECT_EQ(isolated.keychain.load(QString(kApiKeyAccount)), service.apiKey());
    EXPECT_EQ(state.userPreferences().accountName, u"Demo User"_s);
    EXPECT_TRUE(state.accountInfo()->latestVersion.has_value());
    QTest::mouseClick(view.copyKeyButton(), Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), service.apiKey());

    QTest::mouseClick(view.logoutButton(), Qt::LeftButton);
    EXPECT_FALSE(state.isAuthenticated());
    EXPECT_TRUE(view.signInGroup()->isVisible());
    EXPECT_EQ(state.userPreferences().accountEmail, service.email());

    lines += signInLogged(service.address(), QString(), QString(), service.apiKey());
    ASSERT_TRUE(state.isAuthenticated()) << view.errorLabel()->text().toStdString();
    EXPECT_EQ(view.creditsLabel()->text(), u"100");
    EXPECT_TRUE(lines.contains(u"login response status=200 raw="_s));
    EXPECT_FALSE(lines.contains(service.apiKey()));
    EXPECT_FALSE(lines.contains(service.password()));
}

TEST(SignInAnswer, AppsGiveTheVersionByIdOneAndOnlyTheRestoreByTitle)
{
    const struct {
        const char* apps;
        std::optional<QString> signIn, restore;
    } cases[] = {
        {R"([{"id": 2, "version": "x"}, {"id": 1, "version": "2.0"}])", u"2.0"_s, u"2.0"_s},
        {R"([{"id": "1", "version": "9"}])", std::nullopt, std::nullopt},
        {R"([{"id": "1", "title": " KivoPro-for-macOS\u00a0\n", "version": "3.1"}])", std::nullopt, u"3.1"_s},
        {R"([{"id": 5, "title": "kivopro-for-macos", "version": "a"}, {"id": 1, "version": "b"}])", u"b"_s, u"b"_s},
        {R"([{"id": 1, "title": "kivopro-for-macos"}])", std::nullopt, std::nullopt},
        {R"([{"id": 1, "version": "1.0"}, 7])", std::nullopt, std::nullopt},
        {R"({"id": 1, "version": "1.0"})", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const QJsonObject response{{"apps", QJsonDocument::fromJson(QByteArray("[") + c.apps + "]").array().at(0)}};
        EXPECT_EQ(accountFromSignInResponse(response, AppsMatch::idOnly).latestVersion, c.signIn) << c.apps;
        EXPECT_EQ(accountFromSignInResponse(response, AppsMatch::idOrTitle).latestVersion, c.restore) << c.apps;
    }
    const AccountInfo typed = accountFromSignInResponse(
        json(R"({"id": "7", "name": 3, "credits": 12.5, "image": "http://x/a.png", "api_key": "k"})"), AppsMatch::idOnly);
    EXPECT_EQ(typed.id, std::nullopt);
    EXPECT_EQ(typed.name, std::nullopt);
    EXPECT_EQ(typed.credits, std::nullopt);
    EXPECT_EQ(typed.imageURL, u"http://x/a.png"_s);
    EXPECT_EQ(typed.apiKey, u"k"_s);
}

TEST(SignInAnswer, LoggedBodyMasksEveryApiKeyAndKeepsTheRest)
{
    const struct {
        QByteArray body;
        QString logged;
    } cases[] = {
        {R"({"api_key":"abc","name":"x"})", uR"({"api_key":"********","name":"x"})"_s},
        {R"({"user": {"api_key" : "a\"b,c}"}, "n": 1})", uR"({"user": {"api_key" : "********"}, "n": 1})"_s},
        {R"([{"api_key": 12345}])", uR"([{"api_key": "********"}])"_s},
        {R"({"name": "api_key"})", uR"({"name": "api_key"})"_s},
        {"\xff\xfe", QString()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(maskedResponseBody(c.body), c.logged) << c.body.toStdString();
}

TEST(AccountCard, KeyMaskHasEightToSixteenDots)
{
    const struct {
        std::optional<QString> key;
        QString shown;
    } cases[] = {{u"abc"_s, QString(8, QChar(0x2022))},
                 {u"123456789012"_s, QString(12, QChar(0x2022))},
                 {QString(40, u'k'), QString(16, QChar(0x2022))},
                 {u""_s, u"—"_s},
                 {std::nullopt, u"—"_s}};
    for (const auto& c : cases)
        EXPECT_EQ(apiKeyText(c.key, false), c.shown);
    EXPECT_EQ(apiKeyText(u"abc"_s, true), u"abc");
    EXPECT_EQ(currentVersionText(QString(), QString()), u"Unknown");
    EXPECT_EQ(currentVersionText(u"1.2"_s, u"45"_s), u"1.2 (45)");
}

TEST_F(SignInTest, WebProfileOpensOnlyWebAddresses)
{
    test::BrowserRecorder browser;
    const struct {
        QString server;
        std::optional<QString> opened;
    } cases[] = {{u"http://127.0.0.1:8080//"_s, u"http://127.0.0.1:8080/profile"_s},
                 {u"javascript:alert(1)//"_s, std::nullopt},
                 {u"file:///etc"_s, std::nullopt}};
    for (const auto& c : cases) {
        browser.opened.clear();
        view.signIn().setBackendURLString(c.server);
        view.signIn().openWebProfile();
        EXPECT_EQ(browser.opened.isEmpty() ? std::nullopt : std::optional(browser.opened.front().toString()), c.opened);
        EXPECT_EQ(state.userPreferences().backendBaseURLString, c.server);
    }
}
