#include "TransactionsList.h"

#include "core/AppConstants.h"
#include "core/AppState.h"
#include "core/KeychainHelper.h"
#include "core/NotificationCenter.h"
#include "core/StrictDecoding.h"
#include "core/WebAddress.h"
#include "removal/remote/RemoteEndpoint.h"

#include <QJsonDocument>

#include <algorithm>

namespace kivo {

TransactionsList::TransactionsList(AppState& appState, QObject* parent)
    : QObject(parent)
    , m_appState(appState)
{
    // Signing out must not leave the last account's list behind the prompt.
    connect(&appState, &AppState::isAuthenticatedChanged, this, [this] {
        if (m_appState.isAuthenticated())
            return;
        m_transactions.clear();
        m_pagination.reset();
        m_currentPage = 1;
        emit changed();
    });
}

void TransactionsList::setSearchQuery(const QString& query)
{
    m_searchQuery = query;
    emit changed();
}

QList<TransactionItem> TransactionsList::visibleRows() const
{
    QList<TransactionItem> rows;
    std::copy_if(m_transactions.begin(), m_transactions.end(), std::back_inserter(rows),
                 [&](const TransactionItem& item) { return matchesSearch(item, m_searchQuery); });
    std::stable_sort(rows.begin(), rows.end(), [](const TransactionItem& a, const TransactionItem& b) {
        return a.sortDate() > b.sortDate();
    });
    return rows;
}

PagingBar TransactionsList::pagingBar() const
{
    return kivo::pagingBar(m_pagination, m_currentPage, m_isLoading);
}

void TransactionsList::tabShown()
{
    if (m_appState.isAuthenticated()) {
        loadTransactions(1, false);
        return;
    }
    m_isSettingsPromptVisible = true;
    emit changed();
}

QString TransactionsList::backendAddress() const
{
    return trimSlashes(m_appState.userPreferences().backendBaseURLString);
}

std::optional<QUrl> TransactionsList::transactionsAddress(qint64 page) const
{
    QUrl url(backendAddress() + QStringLiteral("/api/transactions"), QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    QString query = QStringLiteral("page=%1&limit=20&app_id=1").arg(page);
    const auto& account = m_appState.accountInfo();
    const auto key = account && account->apiKey ? account->apiKey : m_appState.keychain().load(QString(kApiKeyAccount));
    // Encoded here, "+" and "&" included: a query item's own encoding would let a "+" in a key
    // arrive as a space.
    if (key && !key->isEmpty())
        query += QStringLiteral("&api_key=") + QString::fromLatin1(QUrl::toPercentEncoding(*key));
    url.setQuery(query);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

void TransactionsList::loadTransactions(qint64 page, bool force)
{
    m_errorMessage.reset();
    m_isSettingsPromptVisible = false;
    if (!m_appState.accountInfo()) {
        m_isSettingsPromptVisible = true;
        emit changed();
        return;
    }
    if (m_isLoading && !force) {
        emit changed();
        return;
    }
    m_isLoading = true;
    const auto url = transactionsAddress(page);
    if (!url) {
        m_isLoading = false;
        emit changed();
        return;
    }
    emit changed();
    m_http.get(*url, "application/json", [this, page](const RemoteHttpResult& result) { finishLoad(page, result); });
}

void TransactionsList::fail(const std::optional<QString>& message)
{
    m_errorMessage = message;
    m_transactions.clear();
    m_isLoading = false;
    emit changed();
}

void TransactionsList::finishLoad(qint64 page, const RemoteHttpResult& result)
{
    if (result.transportError)
        return fail(result.transportError);
    if (result.status != 200)
        return fail(decodeUtf8Strictly(result.body));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(result.body, &error);
    if (error.error != QJsonParseError::NoError) {
        return fail(jsonParseErrorDescription(error));
    }
    TransactionsPage answer = readTransactionsPage(document);
    if (answer.rows)
        m_transactions = std::move(*answer.rows);
    if (answer.setsPagination)
        m_pagination = answer.pagination;
    m_currentPage = page;
    m_isLoading = false;
    emit changed();
}

QString TransactionsList::apiBaseURL() const
{
    return removalApiBaseURL(m_appState.userPreferences().backendBaseURLString);
}

std::optional<QUrl> TransactionsList::transactionPageURL(const QString& id) const
{
    const QUrl url(backendAddress() + QStringLiteral("/transactions/")
                       + QString::fromLatin1(QUrl::toPercentEncoding(id)),
                   QUrl::StrictMode);
    if (!isWebAddress(url))
        return std::nullopt;
    return url;
}

std::optional<QUrl> TransactionsList::viewOnlineURL() const
{
    if (m_selection.isEmpty())
        return std::nullopt;
    const QList<TransactionItem> rows = visibleRows();
    const auto row = std::find_if(rows.begin(), rows.end(),
                                  [&](const TransactionItem& item) { return item.id == m_selection.front(); });
    if (row == rows.end())
        return std::nullopt;
    if (row->invoiceURL)
        return row->invoiceURL;
    return QUrl(backendAddress() + QStringLiteral("/profile/transactions"), QUrl::StrictMode);
}

void TransactionsList::openTransactionPage(const QString& id) const
{
    if (const auto url = transactionPageURL(id))
        openWebAddress(*url);
}

void TransactionsList::viewOnline() const
{
    if (const auto url = viewOnlineURL())
        openWebAddress(*url);
}

void TransactionsList::openAccountSettings() const
{
    NotificationCenter::defaultCenter().post(kOpenSettings, {{QStringLiteral("tab"), QStringLiteral("account")}});
}

} // namespace kivo
