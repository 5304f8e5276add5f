#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace kivo {

// What the folder monitor keeps across a quit: the folder it watched, when it last watched it
// (files newer than that arrived while nobody did), and the files waiting or in progress then.
struct MonitorJournal {
    QString folder;
    QDateTime lastSeen;
    QStringList waiting;

    friend bool operator==(const MonitorJournal&, const MonitorJournal&) = default;

    QByteArray toJson() const;
    // Nothing for a missing or damaged journal (it then counts as empty).
    static std::optional<MonitorJournal> fromJson(const QByteArray& bytes);
    static std::optional<MonitorJournal> read(const QString& path);
};

// "monitor-queue.json" in the user's data folder (~/.local/share/kivopro/).
QString defaultMonitorJournalPath();

} // namespace kivo
