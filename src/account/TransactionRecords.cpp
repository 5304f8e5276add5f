#include "TransactionRecords.h"

#include "core/StrictDecoding.h"
#include "core/WebAddress.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QRegularExpression>
#include <QTimeZone>
#include <QUuid>

#include <cmath>

namespace kivo {

namespace {

std::optional<QString> text(const QJsonObject& object, const char* key)
{
    return jsonString(object, QLatin1StringView(key));
}

std::optional<qint64> integer(const QJsonObject& object, const char* key)
{
    return jsonWholeNumber(object, QLatin1StringView(key));
}

std::optional<bool> boolean(const QJsonValue& value)
{
    if (!value.isBool())
        return std::nullopt;
    return value.toBool();
}

template <typename T>
std::optional<T> firstOf(std::optional<T> first, std::optional<T> second)
{
    return first ? first : second;
}

std::optional<double> decimalAmount(const QJsonObject& object)
{
    const QJsonValue value = object.value(QLatin1StringView("amount"));
    if (value.isDouble())
        return value.toDouble();
    if (!value.isString())
        return std::nullopt;
    static const QRegularExpression decimal(QStringLiteral(R"(^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$)"));
    const QString amount = value.toString();
    if (!decimal.match(amount).hasMatch())
        return std::nullopt;
    return amount.toDouble();
}

// The camel-case key when present (of the right type or not), else the snake-case key.
QJsonValue pagingValue(const QJsonObject& object, const char* camelCase, const char* snakeCase)
{
    const QLatin1StringView camel(camelCase);
    return object.contains(camel) ? object.value(camel) : object.value(QLatin1StringView(snakeCase));
}

// An array whose elements are all objects (an empty one included), as rows.
std::optional<QList<TransactionItem>> rowsOf(const QJsonValue& value)
{
    const auto objects = jsonObjectArray(value);
    if (!objects)
        return std::nullopt;
    QList<TransactionItem> rows;
    for (const QJsonObject& object : *objects)
        rows.append(readTransaction(object));
    return rows;
}

} // namespace

QDateTime TransactionItem::sortDate() const
{
    static const QDateTime earliest(QDate::fromJulianDay(0), QTime(0, 0), QTimeZone::utc());
    return createdAt.value_or(earliest);
}

std::optional<QDateTime> parseTransactionDate(const QString& value)
{
    static const QRegularExpression pattern(QStringLiteral(
        R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(?:\.(\d{1,9}))?(?:(Z)|([+-])(\d{2}):(\d{2})(?::(\d{2}))?)$)"));
    const auto match = pattern.match(value);
    if (!match.hasMatch())
        return std::nullopt;
    const auto number = [&](int group) { return match.captured(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    const int milliseconds = (match.captured(7) + QStringLiteral("00")).left(3).toInt();
    const QTime time(number(4), number(5), number(6), milliseconds);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    int offsetSeconds = 0;
    if (match.captured(8).isEmpty()) {
        if (number(10) > 23 || number(11) > 59 || number(12) > 59)
            return std::nullopt;
        offsetSeconds = number(10) * 3600 + number(11) * 60 + number(12);
        if (match.captured(9) == u"-")
            offsetSeconds = -offsetSeconds;
    }
    return QDateTime(date, time, QTimeZone(offsetSeconds)).toUTC();
}

TransactionItem readTransaction(const QJsonObject& object)
{
    TransactionItem item;
    if (const auto number = integer(object, "id"))
        item.id = QString::number(*number);
    else if (const auto id = firstOf(text(object, "id"), text(object, "uuid")))
        item.id = *id;
    else
        item.id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();

    // A "created_at" that does not parse leaves no date; "date" stands in only for a missing one.
    if (const auto created = text(object, "created_at"))
        item.createdAt = parseTransactionDate(*created);
    else if (const auto date = text(object, "date"))
        item.createdAt = parseTransactionDate(*date);

    item.type = text(object, "type");
    item.transactionType = firstOf(text(object, "transaction_type"), item.type);
    item.amount = decimalAmount(object);
    item.currency = firstOf(text(object, "currency"), text(object, "currency_code"));
    const QJsonValue credits = object.value(QLatin1StringView("credits"));
    if (credits.isDouble() && std::isfinite(credits.toDouble()) && std::abs(credits.toDouble()) < 9.2e18)
        item.credits = qint64(credits.toDouble());
    else
        item.credits = integer(object, "credit_change");
    item.status = text(object, "status");
    item.descriptionText = firstOf(firstOf(text(object, "description"), text(object, "title")), text(object, "mode"))
                               .value_or(QString());
    if (const auto invoice = text(object, "invoice_url")) {
        const QUrl url(*invoice, QUrl::StrictMode);
        if (url.isValid() && !url.isEmpty())
            item.invoiceURL = url;
    }
    item.route = text(object, "route");
    item.siteURL = text(object, "site_url");
    item.ipAddress = text(object, "ip_address");
    item.originImage = text(object, "origin_image");
    item.outputImage = text(object, "output_image");
    return item;
}

PaginationInfo readPagination(const QJsonObject& object)
{
    PaginationInfo info;
    info.currentPage = jsonWholeNumber(pagingValue(object, "currentPage", "current_page"));
    info.totalPages = jsonWholeNumber(pagingValue(object, "totalPages", "total_pages")).value_or(1);
    info.totalCount = jsonWholeNumber(pagingValue(object, "totalCount", "total_count"));
    info.hasNextPage = boolean(pagingValue(object, "hasNextPage", "has_next_page"));
    info.hasPrevPage = boolean(pagingValue(object, "hasPrevPage", "has_prev_page"));
    info.limit = integer(object, "limit");
    return info;
}

TransactionsPage readTransactionsPage(const QJsonDocument& document)
{
    TransactionsPage page;
    if (document.isArray()) {
        page.rows = rowsOf(document.array());
        page.setsPagination = page.rows.has_value();
        return page;
    }
    const QJsonObject object = document.object();
    for (const char* key : {"transactions", "data", "results"}) {
        if ((page.rows = rowsOf(object.value(QLatin1StringView(key)))))
            break;
    }
    page.setsPagination = true;
    const QJsonValue pagination = object.value(QLatin1StringView("pagination"));
    if (pagination.isObject())
        page.pagination = readPagination(pagination.toObject());
    return page;
}

QString displayDate(const std::optional<QDateTime>& date)
{
    if (!date)
        return {};
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    return english.toString(date->toLocalTime(), QStringLiteral("MMM d, yyyy 'at' h:mm AP"));
}

QString amountText(const std::optional<double>& amount)
{
    if (!amount || !std::isfinite(*amount))
        return {};
    const double whole = std::trunc(*amount);
    // Beyond 64 bits the whole part is still written out digit by digit.
    QString digits = std::abs(whole) < 9.2e18 ? QString::number(qint64(whole)) : QString::number(whole, 'f', 0);
    if (*amount > 0)
        digits.prepend(u'+');
    return digits + QStringLiteral(" credits");
}

QString typeAndAmountText(const TransactionItem& item)
{
    return item.transactionType.value_or(QString()) + QStringLiteral("  ") + amountText(item.amount);
}

QString routeAndSiteText(const TransactionItem& item)
{
    QStringList parts;
    if (item.route)
        parts << *item.route;
    if (item.siteURL)
        parts << *item.siteURL;
    return parts.join(QStringLiteral(" • "));
}

bool matchesSearch(const TransactionItem& item, const QString& searchQuery)
{
    if (searchQuery.trimmed().isEmpty())
        return true;
    const QString query = searchQuery.toLower();
    const QString texts[] = {displayDate(item.createdAt), item.id, item.transactionType.value_or(QString()),
                             item.route.value_or(QString()), item.siteURL.value_or(QString())};
    return std::any_of(std::begin(texts), std::end(texts),
                       [&](const QString& text) { return text.toLower().contains(query); });
}

std::optional<QUrl> transactionImageURL(const std::optional<QString>& image, const QString& apiBaseURL)
{
    if (!image || image->isEmpty())
        return std::nullopt;
    QString address = *image;
    if (!address.toLower().startsWith(u"http"))
        address.prepend(address.startsWith(u'/') ? apiBaseURL : apiBaseURL + u'/');
    // Only web addresses: an answer must not make the list read local files.
    const QUrl url(address, QUrl::StrictMode);
    if (!isWebAddress(url))
        return std::nullopt;
    return url;
}

PagingBar pagingBar(const std::optional<PaginationInfo>& pagination, qint64 currentPage, bool isLoading)
{
    PagingBar bar;
    if (!pagination || pagination->totalPages <= 1)
        return bar;
    bar.visible = true;
    bar.previousEnabled = currentPage >= 2 && !isLoading && pagination->hasPrevPage != false;
    bar.nextEnabled = currentPage < pagination->totalPages && !isLoading && pagination->hasNextPage != false;
    bar.pageText = QStringLiteral("Page %1 of %2").arg(currentPage).arg(pagination->totalPages);
    if (pagination->totalCount && pagination->limit) {
        const qint64 total = *pagination->totalCount;
        const qint64 first = std::min((currentPage - 1) * *pagination->limit + 1, total);
        const qint64 last = std::min(currentPage * *pagination->limit, total);
        bar.range = QStringLiteral("Showing %1–%2 of %3").arg(first).arg(last).arg(total);
    }
    return bar;
}

} // namespace kivo
