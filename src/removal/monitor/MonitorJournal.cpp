#include "MonitorJournal.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace kivo {

QByteArray MonitorJournal::toJson() const
{
    QJsonObject object{
        {QStringLiteral("folder"), folder},
        {QStringLiteral("lastSeen"), lastSeen.isValid() ? double(lastSeen.toMSecsSinceEpoch()) / 1000.0 : 0.0},
        {QStringLiteral("waiting"), QJsonArray::fromStringList(waiting)},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

std::optional<MonitorJournal> MonitorJournal::fromJson(const QByteArray& bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue folder = object.value(QStringLiteral("folder"));
    const QJsonValue lastSeen = object.value(QStringLiteral("lastSeen"));
    const QJsonValue waiting = object.value(QStringLiteral("waiting"));
    if (!folder.isString() || !lastSeen.isDouble() || !waiting.isArray())
        return std::nullopt;
    MonitorJournal journal;
    journal.folder = folder.toString();
    if (lastSeen.toDouble() > 0)
        journal.lastSeen = QDateTime::fromMSecsSinceEpoch(qint64(lastSeen.toDouble() * 1000.0), Qt::UTC);
    for (const QJsonValue& path : waiting.toArray()) {
        if (!path.isString())
            return std::nullopt;
        journal.waiting.append(path.toString());
    }
    return journal;
}

std::optional<MonitorJournal> MonitorJournal::read(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return fromJson(file.readAll());
}

QString defaultMonitorJournalPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
        + QStringLiteral("/monitor-queue.json");
}

} // namespace kivo
