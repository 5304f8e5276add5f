// The account's safety on the page: the key only in the credential store, a session that stays
// with its server, a form that forgets the previous user, sentences instead of raw answers.

#include "AccountTestSupport.h"

#include "account/AccountSettingsView.h"
#include "account/SignInExchange.h"
#include "account/TransactionsList.h"
#include "core/AppConstants.h"
#include "service/ScriptedHttpServer.h"
#include "service/ServiceProcess.h"
#include "settings/SettingsFile.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDirIterator>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

// Two accounts of our own, imported into a fresh stand-in service.
QString writeAccountsFile(const QString& folder)
{
    const QString path = folder + u"/accounts.json"_s;
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(R"({"accounts": [
        {"id": 2, "name": "Ann", "email": "ann@example.org", "password": "ann-pw", "api_key": "ann-key-0123456789", "credits": 20},
        {"id": 3, "name": "Bob", "email": "bob@example.org", "password": "bob-pw", "api_key": "bob-key-0123456789", "credits": 7}]})");
    return path;
}

// Every file's bytes under `folder` that contain `needle`.
QStringList filesContaining(const QString& folder, const QByteArray& needle)
{
    QStringList found;
    QDirIterator files(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(needle))
            found << file.fileName();
    }
    return found;
}

// Answers the next modal question with the button of that text; keeps its text.
void answerNextQuestion(const QString& button, QString* text)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, button, text] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        *text = box->text();
        for (QAbstractButton* candidate : box->buttons())
            if (candidate->text() == button)
                candidate->click();
    });
    poll->start(20);
}

class AccountSafetyTest : public ::testing::Test {
protected:
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    AccountSettingsView view{state};

    void SetUp() override { view.show(); }

    void type(QLineEdit* field, const QString& text)
    {
        field->setFocus();
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }

    // Fills the form as a user does and presses Return in the last field filled.
    void signIn(const QString& server, const QString& email, const QString& password, const QString& key)
    {
        type(view.serverField(), server);
        QLineEdit* last = view.serverField();
        for (auto [field, text] : {std::pair{view.emailField(), email}, {view.passwordField(), password},
                                   {view.apiKeyField(), key}}) {
            if (!text.isEmpty()) {
                type(field, text);
                last = field;
            }
        }
        QTest::keyClick(last, Qt::Key_Return);
        ASSERT_TRUE(test::waitUntil([&] { return !view.signIn().isLoading(); }));
    }
};

} // namespace

TEST_F(AccountSafetyTest, SignOutClearsTheFormAndTheNextSignInIsTheTypedAccount)
{
    QTemporaryDir folder;
    test::ServiceProcess service({u"--accounts"_s, writeAccountsFile(folder.path())});
    ASSERT_TRUE(service.isReady()) << service.output().toStdString();

    signIn(service.address(), QString(), QString(), u"ann-key-0123456789"_s);
    ASSERT_TRUE(state.isAuthenticated()) << view.errorLabel()->text().toStdString();
    EXPECT_EQ(view.nameLabel()->text(), u"Ann");
    EXPECT_EQ(view.cardServerField()->text(), service.address());
    EXPECT_TRUE(filesContaining(isolated.folder.path(), "ann-key-0123456789").isEmpty());
    EXPECT_EQ(isolated.keychain.load(QString(kApiKeyAccount)), u"ann-key-0123456789"_s);

    QTest::mouseClick(view.logoutButton(), Qt::LeftButton);
    EXPECT_TRUE(view.apiKeyField()->text().isEmpty());
    EXPECT_TRUE(view.passwordField()->text().isEmpty());
    // Shown again (as when the window reopens), the form still holds no key.
    view.hide();
    view.show();
    EXPECT_TRUE(view.apiKeyField()->text().isEmpty());

    signIn(service.address(), u"bob@example.org"_s, u"bob-pw"_s, QString());
    ASSERT_TRUE(state.isAuthenticated()) << view.errorLabel()->text().toStdString();
    EXPECT_EQ(view.nameLabel()->text(), u"Bob");
    EXPECT_EQ(view.creditsLabel()->text(), u"7");
    EXPECT_EQ(isolated.keychain.load(QString(kApiKeyAccount)), u"bob-key-0123456789"_s);
    EXPECT_TRUE(filesContaining(isolated.folder.path(), "bob-key-0123456789").isEmpty());
}

TEST_F(AccountSafetyTest, ReturnSubmitsAndServerAddressesAreMadeWebAddressesOrRefused)
{
    test::ScriptedHttpServer server([](const auto&, httplib::Response& response) {
        response.status = 401;
        response.set_content(R"({"error":"Invalid email or password"})", "application/json");
    });
    test::StdoutCapture log;
    signIn(u"  "_s + server.baseURL() + u"/ "_s, u"ann@x.example"_s, u"wrong"_s, QString());
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(view.errorLabel()->text(), u"The e-mail or password is wrong.");
    EXPECT_EQ(state.userPreferences().backendBaseURLString, server.baseURL());
    EXPECT_TRUE(log.text().contains(u"login response status=401"_s));

    for (const QString& typed : {u"my server"_s, u"ftp://evil.example"_s, u"https://"_s}) {
        signIn(typed, u"ann@x.example"_s, u"pw"_s, QString());
        EXPECT_EQ(view.errorLabel()->text(),
                  u"“"_s + typed + u"” is not a server address. Enter one like https://kivopro.example."_s);
    }
    EXPECT_EQ(server.requests().size(), 1u);

    // Without a scheme the address is a secure one.
    view.signIn().setBackendURLString(u"127.0.0.1:1"_s);
    view.signIn().signIn();
    EXPECT_EQ(view.serverField()->text(), u"https://127.0.0.1:1");
    ASSERT_TRUE(test::waitUntil([&] { return !view.signIn().isLoading(); }));
}

TEST_F(AccountSafetyTest, AnotherServerAsksSignsOutAndNeverReceivesTheKey)
{
    test::ServiceProcess service;
    ASSERT_TRUE(service.isReady()) << service.output().toStdString();
    test::ScriptedHttpServer other([](const auto&, httplib::Response& response) {
        response.set_content(R"({"id": 99, "credits": 1000, "transactions": []})", "application/json");
    });
    BackendSessionRenewal renewal;
    state.setSessionRenewal(&renewal);
    TransactionsList transactions(state);

    // Typing another server into the card: Cancel keeps both, "Sign Out" ends the session.
    signIn(service.address(), service.email(), service.password(), QString());
    ASSERT_TRUE(state.isAuthenticated()) << view.errorLabel()->text().toStdString();
    for (const bool signOut : {false, true}) {
        QString question;
        answerNextQuestion(signOut ? u"Sign Out"_s : u"Cancel"_s, &question);
        type(view.cardServerField(), other.baseURL());
        QTest::keyClick(view.cardServerField(), Qt::Key_Return);
        EXPECT_EQ(question, u"Changing the server signs you out of "_s + service.email());
        EXPECT_EQ(state.isAuthenticated(), !signOut);
        EXPECT_EQ(state.userPreferences().backendBaseURLString, signOut ? other.baseURL() : service.address());
    }
    EXPECT_TRUE(view.signInGroup()->isVisible());
    EXPECT_FALSE(isolated.keychain.load(QString(kApiKeyAccount)).has_value());

    // An imported settings file naming the other server: the same.
    signIn(service.address(), service.email(), service.password(), QString());
    ASSERT_TRUE(state.isAuthenticated());
    UserPreferences imported = state.userPreferences();
    imported.backendBaseURLString = other.baseURL();
    settings_file::applyImported(state, imported);
    EXPECT_FALSE(state.isAuthenticated());

    // Everything that sends the key now goes to the other server, and has none to send.
    state.restoreSession();
    transactions.loadTransactions(1, true);
    view.hide();
    view.show();
    QTest::qWait(300);
    const QByteArray key = service.apiKey().toUtf8();
    for (const auto& request : other.requests()) {
        EXPECT_EQ(request.target.find(key.constData()), std::string::npos) << request.target;
        EXPECT_EQ(request.body.find(key.constData()), std::string::npos) << request.body;
    }
    EXPECT_TRUE(filesContaining(isolated.folder.path(), key).isEmpty());
}

TEST_F(AccountSafetyTest, ARestoredSessionThatCannotRefreshSaysOfflineUntilARefreshSucceeds)
{
    std::atomic_bool reachable{true};
    test::ScriptedHttpServer server([&reachable](const auto&, httplib::Response& response) {
        if (!reachable) {
            response.status = 503;
            return;
        }
        response.set_content(R"({"id": 4, "email": "o@x.example", "api_key": "offline-key", "credits": 3})",
                             "application/json");
    });
    signIn(server.baseURL(), QString(), QString(), u"offline-key"_s);
    ASSERT_TRUE(state.isAuthenticated());
    EXPECT_FALSE(view.offlineLabel()->isVisible());

    // The next start, with the backend gone: the cached account, marked as possibly stale.
    reachable = false;
    AppState restarted(isolated.store, isolated.preferences, isolated.keychain);
    AccountSettingsView page(restarted);
    page.show();
    ASSERT_TRUE(restarted.isAuthenticated());
    ASSERT_TRUE(test::waitUntil([&] { return page.offlineLabel()->isVisible(); }));
    EXPECT_TRUE(page.offlineLabel()->text().startsWith(u"Offline — credits as of "_s));
    EXPECT_EQ(page.creditsLabel()->text(), u"3");

    reachable = true;
    page.hide();
    page.show();
    ASSERT_TRUE(test::waitUntil([&] { return !page.offlineLabel()->isVisible(); }));
}

TEST_F(AccountSafetyTest, AnAnswerFromAServerNoLongerChosenSignsNothingIn)
{
    test::ScriptedHttpServer slow([](const auto&, httplib::Response& response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        response.set_content(R"({"id": 5, "email": "s@x.example", "api_key": "slow-key"})", "application/json");
    });
    type(view.serverField(), slow.baseURL());
    type(view.apiKeyField(), u"typed-key"_s);
    QTest::keyClick(view.apiKeyField(), Qt::Key_Return);
    ASSERT_TRUE(view.signIn().isLoading());
    type(view.serverField(), u"http://127.0.0.1:9"_s);
    ASSERT_TRUE(test::waitUntil([&] { return !view.signIn().isLoading(); }));
    EXPECT_FALSE(state.isAuthenticated());
    EXPECT_EQ(view.errorLabel()->text(), u"The server changed while signing in. Sign in again.");
    EXPECT_FALSE(isolated.keychain.load(QString(kApiKeyAccount)).has_value());
}
