#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QJsonParseError>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace kivo {

// The bytes as a JSON document whose top level is an object; nothing for anything else.
std::optional<QJsonObject> parseJsonObject(const QByteArray& bytes);

// The bytes as UTF-8 text; nothing when they are not valid UTF-8.
std::optional<QString> decodeUtf8Strictly(const QByteArray& bytes);

// Reading members of a backend's JSON answer, where a member of another type counts as missing.
// A whole number within 64 bits (not a boolean, not 4.5).
std::optional<qint64> jsonWholeNumber(const QJsonValue& value);
std::optional<qint64> jsonWholeNumber(const QJsonObject& object, QLatin1StringView key);
std::optional<QString> jsonString(const QJsonObject& object, QLatin1StringView key);
// An array whose elements are all objects (an empty one included).
std::optional<QList<QJsonObject>> jsonObjectArray(const QJsonValue& value);

// What the user reads when an answer is not JSON.
QString jsonParseErrorDescription(const QJsonParseError& error);

} // namespace kivo
