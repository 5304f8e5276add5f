#include "ServiceHandlers.h"

#include "core/ImageFileLoader.h"
#include "core/PngEncoder.h"
#include "core/StrictDecoding.h"
#include "removal/engine/ForegroundSegmenter.h"
#include "removal/engine/LocalRemovalEngine.h"
#include "removal/remote/RemovalServiceClient.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QUuid>

#include <algorithm>
#include <vector>

namespace kivo::service {

namespace {

constexpr std::size_t kMaxFormParts = 16;
// Larger images would need gigabytes for the engine's working copies.
constexpr qint64 kMaxImagePixels = 100'000'000;
constexpr int kPreviewSize = 512;
constexpr int kDefaultPageLimit = 20;
constexpr int kMaxPageLimit = 100;

const char* const kJsonType = "application/json";

void setJson(httplib::Response& response, int status, const QJsonObject& object)
{
    response.status = status;
    response.set_content(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(), kJsonType);
}

QString fromStd(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// A request body read within the size limit. Multipart bodies arrive as their parts.
struct ReceivedBody {
    enum class Status { complete, tooLarge, malformed };
    Status status = Status::complete;
    std::string text;
    std::vector<httplib::MultipartFormData> parts;
};

ReceivedBody receiveBody(const HandlerContext& context, const httplib::Request& request,
                         const httplib::Response& response, const httplib::ContentReader& reader)
{
    ReceivedBody received;
    std::size_t total = 0;
    bool tooLarge = false;
    const auto count = [&](std::size_t bytes) {
        total += bytes;
        tooLarge = total > context.maxRequestBytes;
        return !tooLarge;
    };

    bool complete = false;
    if (request.is_multipart_form_data()) {
        complete = reader(
            [&](const httplib::MultipartFormData& part) {
                if (received.parts.size() >= kMaxFormParts)
                    return false;
                received.parts.push_back(part);
                return count(part.name.size() + part.filename.size() + part.content_type.size());
            },
            [&](const char* data, std::size_t length) {
                if (received.parts.empty() || !count(length))
                    return false;
                received.parts.back().content.append(data, length);
                return true;
            });
    } else {
        complete = reader([&](const char* data, std::size_t length) {
            if (!count(length))
                return false;
            received.text.append(data, length);
            return true;
        });
    }
    if (!complete) {
        // The HTTP library itself answers 413 for a declared length over the limit.
        received.status = (tooLarge || response.status == 413) ? ReceivedBody::Status::tooLarge
                                                                : ReceivedBody::Status::malformed;
    }
    return received;
}

// Answers a body that could not be read; true when it did.
bool refuseUnreadBody(const ReceivedBody& body, httplib::Response& response)
{
    switch (body.status) {
    case ReceivedBody::Status::complete: return false;
    case ReceivedBody::Status::tooLarge:
        setJsonError(response, 413, QStringLiteral("The request body is larger than the limit"));
        return true;
    case ReceivedBody::Status::malformed:
        setJsonError(response, 400, QStringLiteral("The request body could not be read"));
        return true;
    }
    return false;
}

bool isHeifUpload(const httplib::MultipartFormData& part)
{
    const QString suffix = QFileInfo(fromStd(part.filename)).suffix().toLower();
    return part.content_type == "image/heic" || part.content_type == "image/heif" || suffix == u"heic"
        || suffix == u"heif";
}

std::optional<QImage> decodeUpload(const httplib::MultipartFormData& part, QString* error)
{
    QImage image;
    if (isHeifUpload(part)) {
        // Qt has no HEIF decoder; the application's loader reads it with libheif from a file.
        QTemporaryFile file(QDir::tempPath() + QStringLiteral("/kivopro-upload-XXXXXX.heic"));
        if (file.open() && file.write(part.content.data(), qint64(part.content.size())) == qint64(part.content.size())
            && file.flush())
            image = loadImageFile(file.fileName());
    } else {
        QByteArray bytes = QByteArray::fromRawData(part.content.data(), qsizetype(part.content.size()));
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        reader.setAutoTransform(true);
        const QSize size = reader.size();
        if (size.isValid() && qint64(size.width()) * size.height() > kMaxImagePixels) {
            *error = QStringLiteral("The image is too large");
            return std::nullopt;
        }
        image = reader.read();
    }
    if (image.isNull()) {
        *error = QStringLiteral("The image could not be decoded");
        return std::nullopt;
    }
    image.setDevicePixelRatio(1.0);
    return image;
}

// A small PNG of the image for the transactions list; the path the service serves it under, or
// empty when it could not be written.
QString storePreview(const HandlerContext& context, const QImage& image)
{
    if (context.imageFolder.isEmpty() || !QDir().mkpath(context.imageFolder))
        return {};
    const QImage preview = (image.width() > kPreviewSize || image.height() > kPreviewSize)
        ? image.scaled(kPreviewSize, kPreviewSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)
        : image;
    const auto png = encodePNG(preview);
    if (!png)
        return {};
    const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".png");
    QSaveFile file(QDir(context.imageFolder).filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(*png) != png->size() || !file.commit())
        return {};
    return QStringLiteral("/images/") + name;
}

QJsonObject transactionJson(const ServiceTransaction& transaction, const QString& baseURL)
{
    QJsonObject object{{"id", transaction.id},
                       {"created_at", isoTimestamp(transaction.createdAt)},
                       {"transaction_type", transaction.transactionType},
                       {"type", transaction.transactionType},
                       {"amount", transaction.creditChange},
                       {"credits", transaction.creditChange},
                       {"credit_change", transaction.creditChange},
                       {"status", "completed"},
                       {"description", transaction.description},
                       {"invoice_url", baseURL + QStringLiteral("/transactions/") + QString::number(transaction.id)}};
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

// A positive whole number from the query, the default when the parameter is missing.
std::optional<int> positiveParam(const httplib::Request& request, const char* name, int defaultValue)
{
    if (!request.has_param(name))
        return defaultValue;
    bool ok = false;
    const int value = fromStd(request.get_param_value(name)).toInt(&ok);
    if (!ok || value < 1)
        return std::nullopt;
    return value;
}

} // namespace

void setJsonError(httplib::Response& response, int status, const QString& message)
{
    setJson(response, status, QJsonObject{{"error", message}});
}

QString publicBaseURL(const HandlerContext& context, const httplib::Request& request)
{
    static const QRegularExpression hostPattern(QStringLiteral(R"(^[A-Za-z0-9.\-]+(:[0-9]{1,5})?$|^\[[0-9A-Fa-f:.]+\](:[0-9]{1,5})?$)"));
    const QString host = fromStd(request.get_header_value("Host"));
    if (hostPattern.match(host).hasMatch())
        return QStringLiteral("http://") + host;
    return context.address;
}

void handleRemoval(const HandlerContext& context, const httplib::Request& request, httplib::Response& response,
                   const httplib::ContentReader& reader)
{
    const ReceivedBody body = receiveBody(context, request, response, reader);
    if (refuseUnreadBody(body, response))
        return;

    const QString apiKey = fromStd(request.get_header_value("X-API-KEY"));
    if (apiKey.isEmpty()) {
        setJsonError(response, 401, QStringLiteral("Missing API key"));
        return;
    }
    const auto account = context.store.accountForApiKey(apiKey);
    if (!account) {
        setJsonError(response, 401, QStringLiteral("Invalid API key"));
        return;
    }

    const auto imagePart = std::find_if(body.parts.begin(), body.parts.end(),
                                        [](const httplib::MultipartFormData& part) { return part.name == "image"; });
    if (imagePart == body.parts.end() || imagePart->content.empty()) {
        setJsonError(response, 400, QStringLiteral("No image in the request"));
        return;
    }
    // The stand-in's own extension: the processing quality of the local engine.
    const auto qualityPart = std::find_if(body.parts.begin(), body.parts.end(),
                                          [](const httplib::MultipartFormData& part) { return part.name == "quality"; });
    const auto quality =
        qualityPart == body.parts.end() ? std::optional(ProcessingQuality::balanced) : qualityFromName(fromStd(qualityPart->content));
    if (!quality) {
        setJsonError(response, 400, QStringLiteral("quality must be fast, balanced or high"));
        return;
    }
    QString decodeError;
    const auto input = decodeUpload(*imagePart, &decodeError);
    if (!input) {
        setJsonError(response, 400, decodeError);
        return;
    }

    const RemovalOptions options{*quality};
    if (const QString modelError = ForegroundSegmenter::shared().load(networkInputSide(options.quality));
        !modelError.isEmpty()) {
        setJsonError(response, 503, modelError);
        return;
    }
    if (!context.store.takeCredit(account->id)) {
        setJsonError(response, 402, QStringLiteral("Not enough credits"));
        return;
    }
    const auto cutout = removeBackgroundLocally(*input, options);
    if (!cutout) {
        context.store.returnCredit(account->id);
        setJsonError(response, 422, QStringLiteral("No foreground objects detected in the image"));
        return;
    }
    const auto png = encodePNG(*cutout);
    if (!png) {
        context.store.returnCredit(account->id);
        setJsonError(response, 500, QStringLiteral("The cut-out could not be encoded"));
        return;
    }

    ServiceTransaction transaction;
    transaction.accountId = account->id;
    transaction.createdAt = QDateTime::currentDateTimeUtc();
    transaction.transactionType = QStringLiteral("remove_background");
    transaction.creditChange = -1;
    transaction.route = fromStd(request.path);
    transaction.siteURL = fromStd(request.get_param_value("site_url"));
    transaction.ipAddress = fromStd(request.remote_addr);
    transaction.originImage = storePreview(context, *input);
    transaction.outputImage = storePreview(context, *cutout);
    transaction.description = QStringLiteral("Background removal");
    context.store.recordTransaction(std::move(transaction));

    // Base64 needs no JSON escaping, and the answer can be tens of megabytes: build it directly.
    std::string answer = R"({"image_base64":")";
    answer += png->toBase64().toStdString();
    answer += "\"}";
    response.status = 200;
    response.set_content(std::move(answer), kJsonType);
}

void handleLogin(const HandlerContext& context, const httplib::Request& request, httplib::Response& response,
                 const httplib::ContentReader& reader)
{
    const ReceivedBody body = receiveBody(context, request, response, reader);
    if (refuseUnreadBody(body, response))
        return;

    const auto parsed = parseJsonObject(QByteArray::fromRawData(body.text.data(), qsizetype(body.text.size())));
    if (!parsed) {
        setJsonError(response, 400, QStringLiteral("The request body is not a JSON object"));
        return;
    }
    const QJsonObject payload = *parsed;

    std::optional<ServiceAccount> account;
    const QString apiKey = payload.value("api_key").toString();
    if (!apiKey.isEmpty()) {
        account = context.store.accountForApiKey(apiKey);
        if (!account) {
            setJsonError(response, 401, QStringLiteral("Invalid API key"));
            return;
        }
    } else {
        const QString email = payload.value("email").toString();
        const QString password = payload.value("password").toString();
        if (email.isEmpty() || password.isEmpty()) {
            setJsonError(response, 400, QStringLiteral("Give an email and a password, or an API key"));
            return;
        }
        account = context.store.accountForLogin(email, password);
        if (!account) {
            setJsonError(response, 401, QStringLiteral("Invalid email or password"));
            return;
        }
    }
    setJson(response, 200, accountJson(*account, publicBaseURL(context, request)));
}

void handleTransactions(const HandlerContext& context, const httplib::Request& request, httplib::Response& response)
{
    const QString apiKey = fromStd(request.get_param_value("api_key"));
    const auto account = context.store.accountForApiKey(apiKey);
    if (!account) {
        setJsonError(response, 401, apiKey.isEmpty() ? QStringLiteral("Missing API key") : QStringLiteral("Invalid API key"));
        return;
    }
    const auto page = positiveParam(request, "page", 1);
    const auto limit = positiveParam(request, "limit", kDefaultPageLimit);
    if (!page || !limit) {
        setJsonError(response, 400, QStringLiteral("page and limit must be positive whole numbers"));
        return;
    }
    const int pageLimit = std::min(*limit, kMaxPageLimit);

    const std::vector<ServiceTransaction> all = context.store.transactions(account->id);
    const qint64 totalCount = qint64(all.size());
    const qint64 totalPages = std::max<qint64>(1, (totalCount + pageLimit - 1) / pageLimit);
    const qint64 first = qint64(*page - 1) * pageLimit;

    const QString baseURL = publicBaseURL(context, request);
    QJsonArray rows;
    for (qint64 i = first; i < std::min(totalCount, first + pageLimit); ++i)
        rows.append(transactionJson(all[size_t(i)], baseURL));

    const QJsonObject pagination{{"current_page", *page},      {"total_pages", totalPages},
                                 {"total_count", totalCount},  {"has_next_page", *page < totalPages},
                                 {"has_prev_page", *page > 1}, {"limit", pageLimit}};
    setJson(response, 200, QJsonObject{{"transactions", rows}, {"pagination", pagination}});
}

} // namespace kivo::service
