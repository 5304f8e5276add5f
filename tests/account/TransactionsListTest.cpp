// The Transactions tab against scripted servers and the real stand-in service on 127.0.0.1.

#include "AccountTestSupport.h"

#include "account/TransactionsTab.h"
#include "account/TransactionsTableModel.h"
#include "core/AppConstants.h"
#include "core/NotificationCenter.h"
#include "service/ScriptedHttpServer.h"
#include "service/ServiceProcess.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

class TransactionsTabTest : public ::testing::Test {
protected:
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    TransactionsTab tab{state};
    TransactionsList& list = tab.list();

    void signIn(const QString& server, std::optional<QString> key)
    {
        UserPreferences preferences = state.userPreferences();
        preferences.backendBaseURLString = server;
        state.setUserPreferences(preferences);
        AccountInfo account;
        account.apiKey = std::move(key);
        state.setAccountInfo(account);
        state.setAuthenticated(true);
    }

    void load(qint64 page = 1)
    {
        list.loadTransactions(page, true);
        ASSERT_TRUE(test::waitUntil([&] { return !list.isLoading(); }));
    }
};

// Answers every request with the body of the given status.
test::ScriptedHttpServer::Script answer(int status, std::string body)
{
    return [status, body](const auto&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, "application/json");
    };
}

} // namespace

TEST_F(TransactionsTabTest, SignedOutShowsThePromptThatOpensTheAccountSettings)
{
    tab.show();
    EXPECT_EQ(tab.currentContent(), tab.promptPage());
    QSignalSpy posted(&NotificationCenter::defaultCenter(), &NotificationCenter::posted);
    QTest::mouseClick(tab.openSettingsButton(), Qt::LeftButton);
    ASSERT_EQ(posted.count(), 1);
    EXPECT_EQ(posted.front().at(0).toString(), u"openSettings");
    EXPECT_EQ(posted.front().at(1).toMap(), (QVariantMap{{u"tab"_s, u"account"_s}}));
}

TEST_F(TransactionsTabTest, RequestCarriesTheQueryItemsInOrderWithTheKeyEncoded)
{
    test::ScriptedHttpServer server(answer(200, R"({"transactions": []})"));
    isolated.keychain.save(QString(kApiKeyAccount), u"stored key"_s);
    const struct {
        std::optional<QString> accountKey;
        std::string query;
    } cases[] = {{u"a+b&c="_s, "page=2&limit=20&app_id=1&api_key=a%2Bb%26c%3D"},
                 {std::nullopt, "page=2&limit=20&app_id=1&api_key=stored%20key"},
                 {u""_s, "page=2&limit=20&app_id=1"}};
    for (const auto& c : cases) {
        signIn(server.baseURL() + u"//"_s, c.accountKey);
        load(2);
        const auto request = server.requests().back();
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.target, "/api/transactions?" + c.query);
        EXPECT_EQ(request.header("Accept"), "application/json");
        EXPECT_EQ(list.currentPage(), 2);
    }
}

TEST_F(TransactionsTabTest, FailuresEmptyTheListAndOfferRetry)
{
    test::ScriptedHttpServer good(answer(200, R"({"transactions": [{"id": 1}]})"));
    test::ScriptedHttpServer refusing(answer(500, "backend down"));
    test::ScriptedHttpServer garbled(answer(200, "<html>"));
    // Not shown: only these forced loads run, none started by the tab appearing.
    const struct {
        QString server;
        QString shown;
    } cases[] = {{refusing.baseURL(), u"backend down"_s},
                 {garbled.baseURL(), u"The data couldn't be read because it isn't valid JSON"_s}};
    for (const auto& c : cases) {
        signIn(good.baseURL(), u"k"_s);
        load();
        ASSERT_EQ(list.transactions().size(), 1);
        signIn(c.server, u"k"_s);
        load();
        EXPECT_TRUE(list.transactions().isEmpty());
        EXPECT_EQ(tab.currentContent(), tab.errorPage());
        EXPECT_TRUE(tab.errorLabel()->text().startsWith(c.shown)) << tab.errorLabel()->text().toStdString();
    }
    signIn(good.baseURL(), u"k"_s);
    tab.retryButton()->click();
    ASSERT_TRUE(test::waitUntil([&] { return tab.currentContent() == tab.tablePage(); }));
    EXPECT_EQ(list.currentPage(), 1);
}

TEST_F(TransactionsTabTest, RowsOpenOnlyWebAddresses)
{
    test::ScriptedHttpServer server(answer(200, R"j({"transactions": [
        {"id": "evil", "created_at": "2024-05-03T00:00:00Z", "invoice_url": "javascript:alert(1)"},
        {"id": "file", "created_at": "2024-05-02T00:00:00Z", "invoice_url": "file:///etc/passwd"},
        {"id": "paid", "created_at": "2024-05-01T00:00:00Z", "invoice_url": "https://pay.example/inv/1"},
        {"id": "a/b", "created_at": "2024-04-01T00:00:00Z"}]})j"));
    signIn(server.baseURL(), u"k"_s);
    load();
    test::BrowserRecorder browser;
    const struct {
        QString id;
        std::optional<QString> opened;
    } cases[] = {{u"evil"_s, std::nullopt},
                 {u"file"_s, std::nullopt},
                 {u"paid"_s, u"https://pay.example/inv/1"_s},
                 {u"a/b"_s, server.baseURL() + u"/profile/transactions"_s}};
    for (const auto& c : cases) {
        browser.opened.clear();
        list.setSelection({c.id});
        list.viewOnline();
        EXPECT_EQ(browser.opened.isEmpty() ? std::nullopt : std::optional(browser.opened.front().toString()), c.opened)
            << c.id.toStdString();
    }
    browser.opened.clear();
    list.openTransactionPage(u"a/b"_s);
    EXPECT_EQ(browser.opened, QList<QUrl>{QUrl(server.baseURL() + u"/transactions/a%2Fb"_s)});
}

TEST_F(TransactionsTabTest, StandInListsTheAccountsTransactionsNewestFirstAndSearches)
{
    test::ServiceProcess service;
    ASSERT_TRUE(service.isReady()) << service.output().toStdString();
    signIn(service.address(), service.apiKey());
    tab.resize(1100, 600);
    tab.show();
    ASSERT_TRUE(test::waitUntil([&] { return tab.currentContent() == tab.tablePage(); }));
    ASSERT_EQ(tab.model()->rowCount(), 1);
    const auto cell = [&](int column) { return tab.model()->index(0, column).data().toString(); };
    EXPECT_EQ(cell(TransactionsTableModel::typeAndAmountColumn), u"credit_grant  +100 credits");
    EXPECT_FALSE(cell(TransactionsTableModel::dateColumn).isEmpty());
    EXPECT_FALSE(tab.pagingBar()->isVisible());

    QTest::keyClicks(tab.searchField(), u"nothing like it"_s);
    EXPECT_EQ(tab.currentContent(), tab.emptyPage());
    tab.searchField()->clear();
    QTest::keyClicks(tab.searchField(), u"GRANT"_s);
    EXPECT_EQ(tab.model()->rowCount(), 1);

    state.logout();
    EXPECT_EQ(tab.currentContent(), tab.promptPage());
    EXPECT_TRUE(list.transactions().isEmpty());
}

TEST_F(TransactionsTabTest, PagingBarFollowsTheAnswer)
{
    test::ScriptedHttpServer server([](const test::ScriptedHttpServer::Request& request, httplib::Response& response) {
        const bool third = request.target.find("page=3") != std::string::npos;
        response.set_content(third ? R"({"data": [{"id": 41}], "pagination": {"totalPages": 3, "totalCount": 45,
                                         "limit": 20, "hasNextPage": false}})"
                                   : R"({"data": [{"id": 21}], "pagination": {"totalPages": 3, "totalCount": 45,
                                         "limit": 20}})",
                             "application/json");
    });
    signIn(server.baseURL(), u"k"_s);
    tab.show();
    ASSERT_TRUE(test::waitUntil([&] { return tab.currentContent() == tab.tablePage() && !list.isLoading(); }));
    QTest::mouseClick(tab.nextButton(), Qt::LeftButton);
    ASSERT_TRUE(test::waitUntil([&] { return list.currentPage() == 2 && !list.isLoading(); }));
    QTest::mouseClick(tab.nextButton(), Qt::LeftButton);
    ASSERT_TRUE(test::waitUntil([&] { return list.currentPage() == 3 && !list.isLoading(); }));
    EXPECT_EQ(tab.pageLabel()->text(), u"Page 3 of 3");
    EXPECT_EQ(tab.rangeLabel()->text(), u"Showing 41–45 of 45");
    EXPECT_FALSE(tab.nextButton()->isEnabled());
    EXPECT_TRUE(tab.previousButton()->isEnabled());

    // Refresh asks for the page on show again, even while another load runs.
    QTest::mouseClick(tab.refreshButton(), Qt::LeftButton);
    QTest::mouseClick(tab.refreshButton(), Qt::LeftButton);
    ASSERT_TRUE(test::waitUntil([&] { return server.answered() == 5; }));
    EXPECT_EQ(server.requests().back().target, "/api/transactions?page=3&limit=20&app_id=1&api_key=k");
}
