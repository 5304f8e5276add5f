#pragma once

#include <QString>
#include <QTemporaryDir>

namespace kivo::test {

// A PostgreSQL server of its own in a temporary folder (tools/pg-throwaway.sh), stopped and
// removed with the object. `isInstalled()` is false only when the postgresql package is missing.
class ThrowawayPostgres {
public:
    ThrowawayPostgres();
    ~ThrowawayPostgres();
    ThrowawayPostgres(const ThrowawayPostgres&) = delete;
    ThrowawayPostgres& operator=(const ThrowawayPostgres&) = delete;

    bool isInstalled() const { return m_installed; }
    // The database's address for --database, empty when the server did not start.
    QString address() const { return m_address; }
    // Why it did not start.
    QString error() const { return m_error; }
    // Stops the server at once (immediate shutdown: its connections break) and removes it.
    void stop();
    // A fast restart: the server closes every connection and comes back; false when it did not.
    bool restart();
    // Sends the signal (SIGSTOP, SIGCONT) to the server and all its backends.
    void signalServer(int signal);

private:
    QString run(const QString& command, int* exitCode, const QStringList& extra = {});

    QTemporaryDir m_parent;
    QString m_folder;
    bool m_installed = true;
    QString m_address;
    QString m_error;
};

} // namespace kivo::test
