#pragma once

#include "BackendHttp.h"
#include "TransactionRecords.h"

#include <QObject>
#include <QStringList>

#include <optional>

namespace kivo {

class AppState;

// The Transactions tab's logic: pages of the signed-in account's transactions from the backend,
// the search over the loaded page, the paging bar and the addresses the rows open. Lives on the
// window's thread; the tab's widgets show its state.
class TransactionsList : public QObject {
    Q_OBJECT
public:
    explicit TransactionsList(AppState& appState, QObject* parent = nullptr);

    bool isLoading() const { return m_isLoading; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    const QList<TransactionItem>& transactions() const { return m_transactions; }
    bool isSettingsPromptVisible() const { return m_isSettingsPromptVisible; }
    const std::optional<PaginationInfo>& pagination() const { return m_pagination; }
    qint64 currentPage() const { return m_currentPage; }

    QString searchQuery() const { return m_searchQuery; }
    void setSearchQuery(const QString& query);
    // The selected rows' ids, in the order of the visible rows.
    void setSelection(const QStringList& ids) { m_selection = ids; }

    // The rows the table shows: the loaded page filtered by the search, newest first.
    QList<TransactionItem> visibleRows() const;
    PagingBar pagingBar() const;

    // Each time the tab is shown: the first page for a signed-in user, else the sign-in prompt.
    void tabShown();
    // Asks the backend for a page. Dropped while another load runs unless forced; a forced load
    // runs beside it and whichever finishes last sets the state.
    void loadTransactions(qint64 page, bool force);
    void refresh() { loadTransactions(m_currentPage, true); }
    void retry() { loadTransactions(1, true); }
    void previousPage() { loadTransactions(m_currentPage - 1, false); }
    void nextPage() { loadTransactions(m_currentPage + 1, false); }

    // <backend>/api/transactions?page=&limit=20&app_id=1[&api_key=], when that is a URL.
    std::optional<QUrl> transactionsAddress(qint64 page) const;
    // The service's API base that relative image paths are appended to.
    QString apiBaseURL() const;
    // The website's page of one transaction.
    std::optional<QUrl> transactionPageURL(const QString& id) const;
    // "View Online": the first selected visible row's invoice, else the profile's transactions page.
    std::optional<QUrl> viewOnlineURL() const;

    // Opens those pages in the browser (web addresses only).
    void openTransactionPage(const QString& id) const;
    void viewOnline() const;
    // The prompt's "Open Settings": the settings window on its Account tab.
    void openAccountSettings() const;

signals:
    void changed();

private:
    void finishLoad(qint64 page, const RemoteHttpResult& result);
    void fail(const std::optional<QString>& message);
    QString backendAddress() const;

    AppState& m_appState;
    BackendHttp m_http;

    bool m_isLoading = false;
    std::optional<QString> m_errorMessage;
    QList<TransactionItem> m_transactions;
    bool m_isSettingsPromptVisible = false;
    QString m_searchQuery;
    QStringList m_selection;
    std::optional<PaginationInfo> m_pagination;
    qint64 m_currentPage = 1;
};

} // namespace kivo
