#include "StrictDecoding.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringDecoder>

#include <cmath>

namespace kivo {

std::optional<QJsonObject> parseJsonObject(const QByteArray& bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QString> decodeUtf8Strictly(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

std::optional<qint64> jsonWholeNumber(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (number != std::trunc(number) || std::abs(number) >= 9.2e18)
        return std::nullopt;
    return qint64(number);
}

std::optional<qint64> jsonWholeNumber(const QJsonObject& object, QLatin1StringView key)
{
    return jsonWholeNumber(object.value(key));
}

std::optional<QString> jsonString(const QJsonObject& object, QLatin1StringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

std::optional<QList<QJsonObject>> jsonObjectArray(const QJsonValue& value)
{
    if (!value.isArray())
        return std::nullopt;
    QList<QJsonObject> objects;
    for (const QJsonValue& element : value.toArray()) {
        if (!element.isObject())
            return std::nullopt;
        objects.append(element.toObject());
    }
    return objects;
}

QString jsonParseErrorDescription(const QJsonParseError& error)
{
    return QStringLiteral("The data couldn't be read because it isn't valid JSON (%1 at offset %2).")
        .arg(error.errorString())
        .arg(error.offset);
}

} // namespace kivo
