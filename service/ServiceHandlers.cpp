#include "ServiceHandlers.h"

#include "ServicePages.h"

#include "core/Log.h"
#include "core/StrictDecoding.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <algorithm>

namespace kivo::service {

namespace {

// A sign-in body is a few hundred bytes.
constexpr std::size_t kMaxLoginBytes = 64 * 1024;
constexpr int kDefaultPageLimit = 20;
constexpr int kMaxPageLimit = 100;

QJsonObject transactionJson(const ServiceTransaction& transaction, const QString& baseURL)
{
    QJsonObject object{{"id", transaction.publicId},
                       {"created_at", isoTimestamp(transaction.createdAt)},
                       {"transaction_type", transaction.transactionType},
                       {"type", transaction.transactionType},
                       {"amount", transaction.creditChange},
                       {"credits", transaction.creditChange},
                       {"credit_change", transaction.creditChange},
                       {"status", "completed"},
                       {"description", transaction.description},
                       {"invoice_url", baseURL + QStringLiteral("/transactions/") + transaction.publicId}};
    // Empty texts are left out: the application shows every member that is present.
    const std::pair<const char*, QString> optionalTexts[] = {{"route", transaction.route},
                                                             {"site_url", transaction.siteURL},
                                                             {"ip_address", transaction.ipAddress},
                                                             {"origin_image", transaction.originImage},
                                                             {"output_image", transaction.outputImage}};
    for (const auto& [key, value] : optionalTexts) {
        if (!value.isEmpty())
            object.insert(QLatin1StringView(key), value);
    }
    return object;
}

QJsonObject accountJson(const ServiceAccount& account, const QString& baseURL)
{
    const QJsonObject app{{"id", 1}, {"title", "kivopro-for-macos"}, {"version", QStringLiteral(KIVO_VERSION)}};
    return QJsonObject{{"id", account.id},
                       {"name", account.name},
                       {"email", account.email},
                       {"image", baseURL + QStringLiteral("/avatar/") + QString::number(account.id) + QStringLiteral(".png")},
                       {"api_key", account.apiKey},
                       {"credits", account.credits},
                       {"apps", QJsonArray{app}}};
}

// A positive whole number from the query, the default when the item is missing.
std::optional<int> positiveQueryItem(const HttpRequest& request, const char* name, int defaultValue)
{
    if (!request.hasQueryItem(name))
        return defaultValue;
    bool ok = false;
    const int value = fromStd(request.queryItem(name)).toInt(&ok);
    if (!ok || value < 1)
        return std::nullopt;
    return value;
}

HttpResponse pageAnswer(const HandlerContext& context, const HttpRequest& request)
{
    static const QRegularExpression transactionPath(QStringLiteral("^/transactions/([0-9a-f]{32})$"));
    static const QRegularExpression avatarPath(QStringLiteral("^/avatar/(\\d{1,18})\\.png$"));
    const QString path = fromStd(request.path);

    if (path == u"/")
        return htmlAnswer(200, homePage(publicBaseURL(context, request)));
    if (path == u"/profile")
        return htmlAnswer(200, profilePage(publicBaseURL(context, request)));
    if (path == u"/profile/transactions")
        return htmlAnswer(200, profileTransactionsPage());
    if (path.startsWith(u"/transactions/")) {
        const auto match = transactionPath.match(path);
        const auto transaction = match.hasMatch() ? context.store.transaction(match.captured(1)) : std::nullopt;
        return htmlAnswer(transaction ? 200 : 404, transactionPage(transaction));
    }
    if (const QString name = PrivateImageFolder::nameInAddress(path); !name.isEmpty()) {
        if (const auto png = context.images.read(name))
            return HttpResponse{200, "image/png", png->toStdString(), {}};
        return jsonError(404, QStringLiteral("No such image"));
    }
    if (const auto match = avatarPath.match(path); match.hasMatch())
        return HttpResponse{200, "image/png", avatarPNG(match.captured(1).toLongLong()).toStdString(), {}};
    return jsonError(404, QStringLiteral("Not found"));
}

// The decision of `decide`, on a database worker, with a failing database answered 503.
Admission withDatabase(const HttpRequest& head, std::function<Admission(const HttpRequest&)> decide)
{
    return Admission::withDatabase([head, decide = std::move(decide)] {
        try {
            return decide(head);
        } catch (const StoreFailure& failure) {
            return Admission::answerNow(storeFailureAnswer(failure));
        }
    });
}

Admission route(const HandlerContext& context, const HttpRequest& head)
{
    static const QRegularExpression transactionPath(QStringLiteral("^/transactions/[0-9a-f]{32}$"));
    const bool isPost = head.method == "POST";
    if (head.path == "/v1.0.1/remove_background") {
        if (!isPost)
            return Admission::answerNow(jsonError(405, QStringLiteral("Use POST")));
        if (head.header("X-API-KEY").empty())
            return Admission::answerNow(jsonError(401, QStringLiteral("Missing API key")));
        return withDatabase(head, [&context](const HttpRequest& request) { return admitRemoval(context, request); });
    }
    if (head.path == "/api/app/login") {
        if (!isPost)
            return Admission::answerNow(jsonError(405, QStringLiteral("Use POST")));
        return Admission{std::nullopt, kMaxLoginBytes, [&context](HttpRequest request, Responder respond) {
                             respond(answerUnlessStoreFails([&] { return handleLogin(context, request); }));
                         }};
    }
    if (head.method != "GET")
        return Admission::answerNow(jsonError(405, QStringLiteral("Use GET")));
    if (head.path == "/api/transactions") {
        if (head.queryItem("api_key").empty())
            return Admission::answerNow(jsonError(401, QStringLiteral("Missing API key")));
        return withDatabase(head, [&context](const HttpRequest& request) {
            return Admission::answerNow(handleTransactions(context, request));
        });
    }
    if (transactionPath.match(fromStd(head.path)).hasMatch())
        return withDatabase(head, [&context](const HttpRequest& request) {
            return Admission::answerNow(pageAnswer(context, request));
        });
    return Admission::answerNow(pageAnswer(context, head));
}

} // namespace

QString fromStd(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

HttpResponse storeFailureAnswer(const StoreFailure& failure)
{
    logLine(QStringLiteral("[kivopro-service] database error: ") + QString::fromStdString(failure.what()));
    return jsonError(503, QStringLiteral("The service's database is unavailable; try again later"), 5);
}

HttpResponse answerUnlessStoreFails(const std::function<HttpResponse()>& work)
{
    try {
        return work();
    } catch (const StoreFailure& failure) {
        return storeFailureAnswer(failure);
    }
}

Admission routeRequest(const HandlerContext& context, const HttpRequest& head)
{
    try {
        return route(context, head);
    } catch (const StoreFailure& failure) {
        return Admission::answerNow(storeFailureAnswer(failure));
    }
}

QString publicBaseURL(const HandlerContext& context, const HttpRequest& request)
{
    static const QRegularExpression hostPattern(QStringLiteral(R"(^[A-Za-z0-9.\-]+(:[0-9]{1,5})?$|^\[[0-9A-Fa-f:.]+\](:[0-9]{1,5})?$)"));
    const QString host = fromStd(request.header("Host"));
    if (!hostPattern.match(host).hasMatch())
        return context.address;
    const bool viaProxy = !context.trustedProxy.isEmpty() && fromStd(request.remoteAddress) == context.trustedProxy;
    const bool https = viaProxy && request.header("X-Forwarded-Proto") == "https";
    return (https ? QStringLiteral("https://") : QStringLiteral("http://")) + host;
}

QString clientAddress(const HandlerContext& context, const HttpRequest& request)
{
    const QString peer = fromStd(request.remoteAddress);
    const QString forwarded = fromStd(request.header("X-Forwarded-For"));
    if (context.trustedProxy.isEmpty() || peer != context.trustedProxy || forwarded.isEmpty())
        return peer;
    // The proxy appends the address it saw; earlier entries are whatever the client claimed.
    return forwarded.section(u',', -1).trimmed();
}

HttpResponse handleLogin(const HandlerContext& context, const HttpRequest& request)
{
    const auto payload = parseJsonObject(QByteArray::fromRawData(request.body.data(), qsizetype(request.body.size())));
    if (!payload)
        return jsonError(400, QStringLiteral("The request body is not a JSON object"));

    std::optional<ServiceAccount> account;
    const QString address = clientAddress(context, request);
    const QString apiKey = payload->value("api_key").toString();
    const QString email = apiKey.isEmpty() ? payload->value("email").toString() : QString();
    if (apiKey.isEmpty() && (email.isEmpty() || payload->value("password").toString().isEmpty()))
        return jsonError(400, QStringLiteral("Give an email and a password, or an API key"));
    // Refused before the password is looked at, right or wrong.
    if (const int wait = context.signIns.secondsToWait(address, email); wait > 0) {
        logLine(QStringLiteral("[kivopro-service] sign-in from %1 refused for %2 s after repeated failures").arg(address, QString::number(wait)));
        return jsonError(429, QStringLiteral("Too many failed sign-ins; try again in %1 s").arg(wait), wait);
    }
    if (!apiKey.isEmpty()) {
        account = context.store.accountForApiKey(apiKey);
        if (!account) {
            context.signIns.recordFailure(address, {});
            return jsonError(401, QStringLiteral("Invalid API key"));
        }
    } else {
        account = context.store.accountForLogin(email, payload->value("password").toString());
        if (!account) {
            context.signIns.recordFailure(address, email);
            return jsonError(401, QStringLiteral("Invalid email or password"));
        }
        context.signIns.recordSuccess(email);
    }
    return jsonAnswer(200, accountJson(*account, publicBaseURL(context, request)));
}

HttpResponse handleTransactions(const HandlerContext& context, const HttpRequest& request)
{
    const QString apiKey = fromStd(request.queryItem("api_key"));
    const auto account = context.store.accountForApiKey(apiKey);
    if (!account)
        return jsonError(401, apiKey.isEmpty() ? QStringLiteral("Missing API key") : QStringLiteral("Invalid API key"));
    const auto page = positiveQueryItem(request, "page", 1);
    const auto limit = positiveQueryItem(request, "limit", kDefaultPageLimit);
    if (!page || !limit)
        return jsonError(400, QStringLiteral("page and limit must be positive whole numbers"));
    const int pageLimit = std::min(*limit, kMaxPageLimit);

    const TransactionPage found = context.store.transactions(account->id, *page, pageLimit);
    const qint64 totalPages = std::max<qint64>(1, (found.totalCount + pageLimit - 1) / pageLimit);
    const QString baseURL = publicBaseURL(context, request);
    QJsonArray rows;
    for (const ServiceTransaction& transaction : found.rows)
        rows.append(transactionJson(transaction, baseURL));

    const QJsonObject pagination{{"current_page", *page},          {"total_pages", totalPages},
                                 {"total_count", found.totalCount}, {"has_next_page", *page < totalPages},
                                 {"has_prev_page", *page > 1},      {"limit", pageLimit}};
    return jsonAnswer(200, QJsonObject{{"transactions", rows}, {"pagination", pagination}});
}

} // namespace kivo::service
