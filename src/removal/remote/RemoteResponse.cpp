#include "RemoteResponse.h"

#include "core/Log.h"

#include <QBuffer>
#include <QImageReader>
#include <QJsonObject>

namespace kivo {

std::optional<QImage> decodeRemovalResponseImage(const QByteArray& body)
{
    const auto object = parseJsonObject(body);
    if (!object)
        return std::nullopt;
    const QJsonValue value = object->value(QLatin1StringView("image_base64"));
    if (!value.isString())
        return std::nullopt;

    const QByteArray text = value.toString().toLatin1();
    // Qt's strict mode still accepts a missing "=" padding; the service's contract does not.
    if (text.size() % 4 != 0)
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(
        text, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return std::nullopt;

    // A cut-out of a 50-megapixel photo exceeds Qt's default decoding limit of 128 MB; the
    // application's image loader raises it to the same value.
    if (QImageReader::allocationLimit() < 1024)
        QImageReader::setAllocationLimit(1024);
    QByteArray bytes = decoded.decoded;
    QBuffer buffer(&bytes);
    QImageReader reader(&buffer);
    const QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    return image;
}

RemoteRemovalOutcome batchRemovalOutcome(const RemoteHttpResult& result)
{
    if (result.transportError)
        return {std::nullopt, *result.transportError};
    if (result.status == 200 && !result.body.isEmpty()) {
        if (auto image = decodeRemovalResponseImage(result.body))
            return {std::move(image), QString()};
        return {std::nullopt, QStringLiteral("Invalid API response")};
    }
    return {std::nullopt, decodeUtf8Strictly(result.body).value_or(QStringLiteral("API error"))};
}

MonitorRemovalOutcome monitorRemovalOutcome(const RemoteHttpResult& result)
{
    MonitorRemovalOutcome outcome;
    if (result.transportError) {
        outcome.error = *result.transportError;
        logLine(QStringLiteral("[AppState] Kivo API error: ") + *result.transportError);
        return outcome;
    }
    if (result.status == 200 && !result.body.isEmpty()) {
        outcome.image = decodeRemovalResponseImage(result.body);
        if (outcome.image) {
            logLine(QStringLiteral("[AppState] Kivo API processing successful"));
        } else {
            outcome.error = QStringLiteral("Invalid API response format");
            logLine(QStringLiteral("[AppState] Kivo API error: Invalid response format"));
        }
        return outcome;
    }
    outcome.error = QStringLiteral("API error: ")
        + decodeUtf8Strictly(result.body).value_or(QStringLiteral("Unknown error"));
    logLine(QStringLiteral("[AppState] Kivo API error: ") + *outcome.error);
    return outcome;
}

} // namespace kivo
