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

namespace {

// The service's own words from a refusal: the "error" text of its JSON object, or a short body
// of plain text. Nothing for bodies that are neither.
QString serviceErrorText(const QByteArray& body)
{
    if (const auto object = parseJsonObject(body)) {
        const QJsonValue error = object->value(QLatin1StringView("error"));
        return error.isString() ? error.toString().trimmed() : QString();
    }
    const auto text = decodeUtf8Strictly(body);
    if (!text || text->size() > 300 || text->startsWith(u'{') || text->startsWith(u'<'))
        return {};
    return text->trimmed();
}

QString asSentence(QString text)
{
    if (text.isEmpty())
        return text;
    text[0] = text[0].toUpper();
    if (!text.endsWith(u'.') && !text.endsWith(u'!') && !text.endsWith(u'?') && !text.endsWith(u'…'))
        text += u'.';
    return text;
}

} // namespace

QString removalFailureSentence(const RemoteHttpResult& result)
{
    if (result.transportError) {
        if (result.connectionFailed)
            return QStringLiteral("The service cannot be reached (%1).").arg(*result.transportError);
        return asSentence(*result.transportError);
    }
    switch (result.status) {
    case 401:
        return QStringLiteral("The service did not accept the API key; sign in again or check the key in Settings.");
    case 402:
        return QStringLiteral("The service has no credits left on this account.");
    case 429:
    case 503:
        return QStringLiteral("The service is busy; try again later.");
    default:
        break;
    }
    if (const QString text = serviceErrorText(result.body); !text.isEmpty())
        return asSentence(text);
    return QStringLiteral("The service answered with an error (HTTP %1).").arg(result.status);
}

bool stopsUploadRun(const RemoteHttpResult& result)
{
    return !result.transportError && (result.status == 401 || result.status == 402);
}

QString removalFailureLogText(const RemoteHttpResult& result)
{
    if (result.transportError)
        return QStringLiteral("no answer: ") + *result.transportError;
    const QString text = serviceErrorText(result.body);
    return QStringLiteral("HTTP %1").arg(result.status) + (text.isEmpty() ? QString() : QStringLiteral(": ") + text);
}

RemoteRemovalOutcome batchRemovalOutcome(const RemoteHttpResult& result)
{
    RemoteRemovalOutcome outcome;
    outcome.status = result.transportError ? 0 : result.status;
    if (result.notSent) {
        outcome.notSent = true;
        outcome.error = result.transportError.value_or(QString());
        return outcome;
    }
    if (!result.transportError && result.status == 200 && !result.body.isEmpty()) {
        outcome.image = decodeRemovalResponseImage(result.body);
        if (!outcome.image)
            outcome.error = QStringLiteral("Invalid API response");
        return outcome;
    }
    outcome.error = removalFailureSentence(result);
    outcome.stopsRun = stopsUploadRun(result);
    return outcome;
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
