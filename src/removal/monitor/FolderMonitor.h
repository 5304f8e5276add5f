#pragma once

#include "FolderEventStream.h"
#include "removal/remote/RemovalServiceClient.h"

#include "core/FolderMonitoring.h"
#include "core/UserPreferences.h"

#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <QUrl>

#include <atomic>
#include <memory>

namespace kivo {

class AppState;
class KeychainHelper;

// The folder monitor ("Folder Trigger"): watches the chosen folder, removes the background of
// every image file created below it with the engine the preferences name, and writes the
// result as PNG into "kivo_processed" beside the file. It keeps the application state's
// activity list and status up to date and adds a task to its processing queue while a file is
// being processed.
//
// Lives on the window's thread, which owns every state it touches. Each new file is one job on
// the monitor's own pool (loading, removal, saving); the job hands its steps back by queued
// calls, so several files are processed at once.
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
    };

    FolderMonitor(AppState& appState, const KeychainHelper& keychain, QObject* parent = nullptr);
    FolderMonitor(AppState& appState, const KeychainHelper& keychain, Options options, QObject* parent = nullptr);
    // Stops watching, cancels the remote requests and waits for the files in progress; their
    // results are not recorded any more.
    ~FolderMonitor() override;

    bool startWatching(const QString& folderPath) override;
    void stopWatching() override;
    QString watchedFolder() const override { return m_stream ? m_stream->folder() : QString(); }

    // One new file below the watched folder: records its activity at the top of the list and
    // starts processing it. Ignored while the trigger is switched off.
    void handleNewFile(const QUrl& file);

signals:
    // A new file's processing ended: its result written, or failed. For the desktop
    // notification; nothing else depends on it.
    void fileFinished(const QString& fileName, bool succeeded);

private:
    struct FileJob;
    struct Outcome;

    FolderEventStream::Callback eventCallback(int generation);
    void watchedFolderLost(int generation);
    void process(const FileJob& job);
    std::optional<QImage> removeBackground(const QImage& image, const FileJob& job);
    void appendTask(const ImageProcessingTask& task);
    void loadFailed(const FileJob& job);
    void finish(const FileJob& job, const QUuid& taskId, const Outcome& outcome);

    AppState& m_appState;
    const Options m_options;
    RemovalServiceClient m_client;
    std::unique_ptr<FolderEventStream> m_stream;
    // Events of a stream that has been replaced or stopped are dropped when they arrive.
    int m_generation = 0;
    std::atomic_bool m_shuttingDown{false};
    QThreadPool m_workers;
};

} // namespace kivo
