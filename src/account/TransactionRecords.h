#pragma once

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace kivo {

// One row of the transactions list, read from one object of the backend's answer.
struct TransactionItem {
    QString id; // never empty
    std::optional<QDateTime> createdAt;
    std::optional<QString> type;
    std::optional<double> amount;
    std::optional<QString> currency;
    std::optional<qint64> credits;
    std::optional<QString> status;
    QString descriptionText;
    std::optional<QUrl> invoiceURL;
    std::optional<QString> transactionType;
    std::optional<QString> route;
    std::optional<QString> siteURL;
    std::optional<QString> ipAddress;
    std::optional<QString> originImage;
    std::optional<QString> outputImage;

    // What the list sorts by: the creation date, or the earliest date when there is none.
    QDateTime sortDate() const;

    friend bool operator==(const TransactionItem&, const TransactionItem&) = default;
};

// Paging facts of an answer.
struct PaginationInfo {
    std::optional<qint64> currentPage;
    qint64 totalPages = 1;
    std::optional<qint64> totalCount;
    std::optional<bool> hasNextPage;
    std::optional<bool> hasPrevPage;
    std::optional<qint64> limit;

    friend bool operator==(const PaginationInfo&, const PaginationInfo&) = default;
};

// A transaction object. Members of another type count as missing; an object without a usable
// "id" or "uuid" gets a fresh UUID.
TransactionItem readTransaction(const QJsonObject& object);

// A "pagination" object: the camel-case key first, the snake-case key only when the camel-case
// one is missing (one of the wrong type gives the default).
PaginationInfo readPagination(const QJsonObject& object);

// An internet date-time (RFC 3339: date, "T", time with optional fraction, "Z" or an offset).
// Anything else, a bare calendar date included, gives nothing.
std::optional<QDateTime> parseTransactionDate(const QString& text);

// A 200 answer's list: from the first of "transactions", "data", "results" that holds an array
// of objects, or from a top-level array of objects. `rows` is absent when the answer holds no
// such list (the list shown stays as it was). An object sets the pagination from its
// "pagination" object (absent without one), an array of objects clears it, anything else
// leaves it.
struct TransactionsPage {
    std::optional<QList<TransactionItem>> rows;
    bool setsPagination = false; // false: the pagination shown stays as it was
    std::optional<PaginationInfo> pagination;
};
TransactionsPage readTransactionsPage(const QJsonDocument& document);

// Display texts.
// "May 1, 2024 at 10:20 AM" in local time; empty without a date.
QString displayDate(const std::optional<QDateTime>& date);
// "+12 credits", "-3 credits", "0 credits" (the whole part, truncated toward zero); empty
// without an amount or for one that is not a finite number.
QString amountText(const std::optional<double>& amount);
// The transaction type, two spaces, the amount text.
QString typeAndAmountText(const TransactionItem& item);
// Route and site, those present, joined by " • ".
QString routeAndSiteText(const TransactionItem& item);
// Whether the search text picks the row: a blank search picks all; otherwise the lower-cased
// text, untrimmed, must occur in the displayed date, id, type, route or site.
bool matchesSearch(const TransactionItem& item, const QString& searchQuery);

// Where an origin or output image is loaded from: unchanged when it starts with "http", else
// appended to the service's API base (with a "/" between unless it starts with one).
std::optional<QUrl> transactionImageURL(const std::optional<QString>& image, const QString& apiBaseURL);

// The paging bar below the table.
struct PagingBar {
    bool visible = false;
    bool previousEnabled = false;
    bool nextEnabled = false;
    QString pageText;             // "Page 3 of 5"
    std::optional<QString> range; // "Showing 41–45 of 45"
};
PagingBar pagingBar(const std::optional<PaginationInfo>& pagination, qint64 currentPage, bool isLoading);

} // namespace kivo
