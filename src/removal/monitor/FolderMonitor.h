#pragma once

#include "FolderEventStream.h"
#include "MonitorJournal.h"
#include "removal/remote/RemovalServiceClient.h"

#include "core/FolderMonitoring.h"
#include "core/UserPreferences.h"

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <memory>

namespace kivo {

class AppState;
class KeychainHelper;

// The identity of a file's content as it arrived: the same arrival reported twice (a writer
// that closes twice) is processed once; a rewrite is a new arrival.
struct FileSignature {
    qint64 size = -1;
    qint64 modifiedNs = 0;
    quint64 inode = 0;
    friend bool operator==(const FileSignature&, const FileSignature&) = default;
    // Nothing (size -1) for a file that cannot be read.
    static FileSignature of(const QString& path);
};

// The folder monitor ("Folder Trigger"): watches the chosen folder, removes the background of
// every image file that arrives below it with the engine the preferences name, and writes the
// result as PNG into "kivo_processed" beside the file.
//
// Arrivals wait in a queue of their own, worked off a few at a time; the queue is kept in a
// small journal under the user's data folder, so files waiting or in progress at a quit are
// processed after the next start, and files that arrived while the application was closed
// (newer than the last time the folder was watched, without a result) are processed then too.
// Switching off or "Clear" stops starting new files at once; the files in progress finish.
//
// The status is the monitor's to tell: "Processing N of M" over a burst, "Monitoring" when the
// queue is empty, "Error" with the reason when the folder cannot be watched (missing, removed,
// no permission); the monitor then tries again every few seconds and watches the folder as
// soon as it is back.
//
// Monitor files are not tasks of the batch tab: its list and its "Process All" never see them;
// the activity list is where they show.
//
// Lives on the window's thread, which owns every state it touches. Each file is one job on the
// monitor's own pool (loading, removal, saving) that hands its outcome back by a queued call.
class FolderMonitor : public QObject, public FolderMonitoring {
    Q_OBJECT
public:
    struct Options {
        RemovalServiceClient::Options remote;
        FolderEventStream::Options stream;
        // Files processed at the same time: one decodes or saves while another is in the
        // network, which runs one inference at a time anyway. More would only hold more decoded
        // photos, and with the remote engine make each upload wait out the others' answers
        // inside its own 30-second wait (the stand-in service also removes one at a time).
        int filesAtOnce = 2;
        // The queue's journal; empty: defaultMonitorJournalPath().
        QString journalPath;
        // How often a folder that cannot be watched is tried again.
        std::chrono::milliseconds retryInterval{2000};
        // How long the folder stays quiet after a burst before the local engine's network is
        // given back; zero: by the "Memory Usage" preference (see releaseDelayFor).
        std::chrono::milliseconds releaseAfterIdle{0};
    };

    using Signature = FileSignature;

    // How long the folder stays quiet before the network is given back: at once under
    // "Conservative" (as a batch run gives it back at its end), 2 min "Balanced", 10 min
    // "Aggressive", so that the next burst does not load it again.
    static std::chrono::milliseconds releaseDelayFor(MemoryUsage memoryUsage);

    FolderMonitor(AppState& appState, const KeychainHelper& keychain, QObject* parent = nullptr);
    FolderMonitor(AppState& appState, const KeychainHelper& keychain, Options options, QObject* parent = nullptr);
    // Stops watching, cancels the remote requests and waits for the files in progress; their
    // results are not recorded, and they stay in the journal for the next start.
    ~FolderMonitor() override;

    bool startWatching(const QString& folderPath) override;
    QString failureReason() const override { return m_failure; }
    int stopWatching() override;
    QString watchedFolder() const override { return m_folder; }

    // Files waiting, not yet started.
    int waitingCount() const { return int(m_waiting.size()); }
    int inProgressCount() const { return int(m_inFlight.size()); }

    // One file that arrived below the watched folder: queued unless already waiting or just
    // processed as it is. Ignored while the trigger is switched off.
    void handleNewFile(const QUrl& file, const Signature& signature = Signature());

signals:
    // The folders below the watched one are all watched now (they are walked off the window's
    // thread after startWatching).
    void watchReady();
    void engineMemoryReleased();

signals:
    // A new file's processing ended: its result written, or failed. For the desktop
    // notification; nothing else depends on it.
    void fileFinished(const QString& fileName, bool succeeded);

private:
    struct FileJob;
    struct Outcome;

    bool openStream();
    FolderEventStream::Callback eventCallback(int generation, const QString& folder);
    void watchFailed(const QString& reason);
    void retryWatch();
    void watchedFolderLost(int generation);
    void startWaitingFiles();
    void process(const FileJob& job);
    void finish(const FileJob& job, const Outcome& outcome);
    void publishStatus();
    void scheduleJournal();
    MonitorJournal journal() const;
    void writeJournal(const MonitorJournal& journal) const;
    std::chrono::milliseconds releaseDelay() const;

    AppState& m_appState;
    const Options m_options;
    const QString m_journalPath;
    RemovalServiceClient m_client;
    std::unique_ptr<FolderEventStream> m_stream;
    // The folder watched, or waited for while it cannot be watched; empty when stopped.
    QString m_folder;
    QString m_failure;
    // The folder the queue belongs to, and when it was last watched; kept across a stop.
    QString m_queueFolder;
    QDateTime m_lastSeen;
    QStringList m_waiting;
    QHash<QString, Signature> m_inFlight;
    QHash<QString, Signature> m_done;
    // Files started in the current burst (the N of "Processing N of M").
    int m_burstStarted = 0;
    bool m_engineUsed = false;
    // Events of a stream that has been replaced or stopped are dropped when they arrive.
    int m_generation = 0;
    std::atomic_bool m_shuttingDown{false};
    // Files whose result a worker saved after the quit began (their finish never runs).
    QMutex m_savedWhileQuittingMutex;
    QStringList m_savedWhileQuitting;
    QTimer m_retryTimer;
    QTimer m_idleTimer;
    QTimer m_journalTimer;
    QThreadPool m_workers;
    QThreadPool m_journalWriter;
};

} // namespace kivo
