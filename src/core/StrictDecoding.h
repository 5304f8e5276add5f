#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace kivo {

// The bytes as a JSON document whose top level is an object; nothing for anything else.
std::optional<QJsonObject> parseJsonObject(const QByteArray& bytes);

// The bytes as UTF-8 text; nothing when they are not valid UTF-8.
std::optional<QString> decodeUtf8Strictly(const QByteArray& bytes);

} // namespace kivo
