#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class QLocalServer;

namespace kivo {

// The files a launch names (`kivopro FILE…`, or the desktop entry's %F), sorted by what opens
// them: OpenRaster files become editor sessions, other files go to the batch, which reads what
// it can. Options ("-…") and names of missing files are skipped. Paths are made absolute
// against `workingDirectory`, since a second launch hands them to a window started elsewhere.
struct LaunchFiles {
    QStringList sessions;
    QList<QUrl> images;

    bool isEmpty() const { return sessions.isEmpty() && images.isEmpty(); }
    // Every file, sessions first, as absolute paths.
    QStringList paths() const;
};
LaunchFiles sortLaunchFiles(const QStringList& arguments, const QString& workingDirectory);

// One running window per user: the first launch listens on a local socket named for the user
// and home folder; a later launch hands its files to it and ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `name` is the socket's name; defaultName() is the application's, one per user.
    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);
    ~SingleInstance() override;

    static QString defaultName();

    // Starts listening unless another instance already does; false then. A socket left behind
    // by a crashed instance (nobody answers on it) is replaced.
    bool claim();
    // Hands the paths to the instance that claimed `name`; false when none answered in time.
    static bool sendToRunning(const QStringList& paths, const QString& name = defaultName(), int timeoutMs = 3000);

signals:
    // Paths a later launch handed over (possibly none: it was started only to show the window).
    void filesReceived(const QStringList& paths);

private:
    void acceptConnections();

    QString m_name;
    QLocalServer* m_server = nullptr;
};

} // namespace kivo
