// Reading the backend's transactions and the list's display rules.

#include "account/TransactionRecords.h"

#include <QJsonDocument>
#include <QTimeZone>
#include <QUuid>

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

TransactionItem item(const char* json)
{
    return readTransaction(QJsonDocument::fromJson(json).object());
}

QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), QTimeZone::utc());
}

} // namespace

TEST(TransactionReading, IdsDatesAmountsAndFallbacks)
{
    EXPECT_EQ(item(R"({"id": 42, "uuid": "u"})").id, u"42");
    EXPECT_EQ(item(R"({"id": "tx-7"})").id, u"tx-7");
    EXPECT_EQ(item(R"({"id": 4.5, "uuid": "u-1"})").id, u"u-1");
    const QString fresh = item("{}").id;
    EXPECT_FALSE(QUuid::fromString(fresh).isNull());
    EXPECT_NE(item("{}").id, fresh);

    const struct {
        const char* json;
        std::optional<QDateTime> date;
    } dates[] = {
        {R"({"created_at": "2024-05-01T10:20:30.123+02:00"})", utc(2024, 5, 1, 8, 20, 30, 123)},
        {R"({"created_at": "2024-05-01T10:20:30Z"})", utc(2024, 5, 1, 10, 20, 30)},
        {R"({"created_at": "2024-05-01T10:20:30.123456-05:30"})", utc(2024, 5, 1, 15, 50, 30, 123)},
        {R"({"created_at": "2024-05-01", "date": "2024-05-02T00:00:00Z"})", std::nullopt},
        {R"({"created_at": "2024-05-01T10:20:30"})", std::nullopt},
        {R"({"created_at": "2024-02-30T10:20:30Z"})", std::nullopt},
        {R"({"created_at": 5, "date": "2024-05-02T00:00:00Z"})", utc(2024, 5, 2, 0, 0, 0)},
    };
    for (const auto& c : dates)
        EXPECT_EQ(item(c.json).createdAt, c.date) << c.json;

    const struct {
        const char* json;
        QString amount;
    } amounts[] = {{R"({"amount": 12.9})", u"+12 credits"_s}, {R"({"amount": -3.5})", u"-3 credits"_s},
                   {R"({"amount": 0})", u"0 credits"_s},      {R"({"amount": -0.5})", u"0 credits"_s},
                   {R"({"amount": "7.5"})", u"+7 credits"_s}, {R"({"amount": "7,5"})", QString()},
                   {R"({"amount": true})", QString()},        {"{}", QString()}};
    for (const auto& c : amounts)
        EXPECT_EQ(amountText(item(c.json).amount), c.amount) << c.json;

    const TransactionItem full = item(R"({"type": "debit", "credits": 3.7, "currency_code": "EUR",
        "title": "T", "mode": "M", "invoice_url": "https://x.example/inv/1", "route": "/r", "site_url": "s"})");
    EXPECT_EQ(full.transactionType, u"debit"_s);
    EXPECT_EQ(full.credits, 3);
    EXPECT_EQ(full.currency, u"EUR"_s);
    EXPECT_EQ(full.descriptionText, u"T");
    EXPECT_EQ(full.invoiceURL, QUrl(u"https://x.example/inv/1"_s));
    EXPECT_EQ(typeAndAmountText(full), u"debit  ");
    EXPECT_EQ(routeAndSiteText(full), u"/r • s");
    EXPECT_EQ(item(R"({"credits": "5", "credit_change": -1, "transaction_type": "t", "type": "u"})").credits, -1);
    EXPECT_EQ(item(R"({"transaction_type": "t", "type": "u"})").transactionType, u"t"_s);
    EXPECT_EQ(item(R"({"mode": "M"})").descriptionText, u"M");
    EXPECT_EQ(item(R"({"invoice_url": 5})").invoiceURL, std::nullopt);
}

TEST(TransactionReading, PaginationTriesCamelCaseFirst)
{
    const auto pagination = [](const char* json) { return readPagination(QJsonDocument::fromJson(json).object()); };
    EXPECT_EQ(pagination(R"({"currentPage": "1", "current_page": 2})").currentPage, std::nullopt);
    EXPECT_EQ(pagination(R"({"current_page": 2})").currentPage, 2);
    EXPECT_EQ(pagination(R"({"currentPage": null, "current_page": 2})").currentPage, std::nullopt);
    EXPECT_EQ(pagination("{}").totalPages, 1);
    const PaginationInfo snake =
        pagination(R"({"total_pages": 3, "total_count": 45, "has_next_page": true, "has_prev_page": false, "limit": 20})");
    EXPECT_EQ(snake, (PaginationInfo{std::nullopt, 3, 45, true, false, 20}));
    EXPECT_EQ(pagination(R"({"hasNextPage": 1, "has_next_page": true})").hasNextPage, std::nullopt);
}

TEST(TransactionReading, TheListComesFromTheFirstKeyHoldingObjects)
{
    const struct {
        const char* json;
        std::optional<qsizetype> rows;
        bool setsPagination;
        bool hasPagination;
    } cases[] = {
        {R"({"transactions": [{"id": 1}], "data": [{"id": 2}, {"id": 3}]})", 1, true, false},
        {R"({"transactions": [1], "data": [{"id": 2}, {"id": 3}], "pagination": {}})", 2, true, true},
        {R"({"results": []})", 0, true, false},
        {R"({"items": [{"id": 1}], "pagination": 4})", std::nullopt, true, false},
        {R"([{"id": 1}, {"id": 2}])", 2, true, false},
        {R"([{"id": 1}, 2])", std::nullopt, false, false},
    };
    for (const auto& c : cases) {
        const TransactionsPage page = readTransactionsPage(QJsonDocument::fromJson(c.json));
        EXPECT_EQ(page.rows ? std::optional(page.rows->size()) : std::nullopt, c.rows) << c.json;
        EXPECT_EQ(page.setsPagination, c.setsPagination) << c.json;
        EXPECT_EQ(page.pagination.has_value(), c.hasPagination) << c.json;
    }
    EXPECT_EQ(readTransactionsPage(QJsonDocument::fromJson(R"({"transactions": [{"id": 9}]})")).rows->front().id, u"9");
}

TEST(TransactionDisplay, SearchLooksAtTheShownTexts)
{
    const TransactionItem row = item(R"({"id": 17, "created_at": "2024-05-01T12:00:00Z",
        "transaction_type": "Remove_Background", "route": "/v1.0.1/remove_background", "description": "hidden"})");
    const struct {
        QString query;
        bool matches;
    } cases[] = {{u""_s, true},          {u"   "_s, true},        {u"remove_b"_s, true},
                 {u"REMOVE "_s, false},  {u"17"_s, true},         {u"hidden"_s, false},
                 {u"2024"_s, true},      {u"v1.0.1"_s, true},     {u"site"_s, false}};
    for (const auto& c : cases)
        EXPECT_EQ(matchesSearch(row, c.query), c.matches) << c.query.toStdString();
    EXPECT_TRUE(matchesSearch(item(R"({"site_url": "a b"})"), u"a "_s));
    EXPECT_TRUE(displayDate(row.createdAt).contains(u" at "_s));
    EXPECT_EQ(displayDate(std::nullopt), QString());
}

TEST(TransactionDisplay, PagingBarRules)
{
    const PaginationInfo fortyFive{3, 3, 45, std::nullopt, true, 20};
    const PagingBar last = pagingBar(fortyFive, 3, false);
    EXPECT_TRUE(last.visible);
    EXPECT_EQ(last.pageText, u"Page 3 of 3");
    EXPECT_EQ(last.range, u"Showing 41–45 of 45"_s);
    EXPECT_TRUE(last.previousEnabled);
    EXPECT_FALSE(last.nextEnabled);

    const PagingBar first = pagingBar(fortyFive, 1, false);
    EXPECT_FALSE(first.previousEnabled); // even though hasPrevPage is true
    EXPECT_TRUE(first.nextEnabled);
    EXPECT_EQ(first.range, u"Showing 1–20 of 45"_s);
    const PagingBar loading = pagingBar(fortyFive, 2, true);
    EXPECT_FALSE(loading.previousEnabled || loading.nextEnabled);
    EXPECT_FALSE(pagingBar(PaginationInfo{2, 3, std::nullopt, false, false, 20}, 2, false).nextEnabled);
    EXPECT_EQ(pagingBar(PaginationInfo{2, 3, std::nullopt, false, false, 20}, 2, false).range, std::nullopt);
    EXPECT_FALSE(pagingBar(PaginationInfo{}, 1, false).visible);
    EXPECT_FALSE(pagingBar(std::nullopt, 1, false).visible);
}

TEST(TransactionDisplay, ImageAddresses)
{
    const QString api = u"http://127.0.0.1:8080"_s;
    const struct {
        std::optional<QString> image;
        std::optional<QString> url;
    } cases[] = {{u"/images/a.png"_s, u"http://127.0.0.1:8080/images/a.png"_s},
                 {u"images/a.png"_s, u"http://127.0.0.1:8080/images/a.png"_s},
                 {u"HTTPS://cdn.example/x.png"_s, u"https://cdn.example/x.png"_s},
                 {u""_s, std::nullopt},
                 {std::nullopt, std::nullopt}};
    for (const auto& c : cases) {
        const auto url = transactionImageURL(c.image, api);
        EXPECT_EQ(url ? std::optional(url->toString()) : std::nullopt, c.url);
    }
    EXPECT_EQ(transactionImageURL(u"/etc/passwd"_s, u"file://"_s), std::nullopt);
}
