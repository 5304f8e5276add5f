#pragma once

#include "AIModelSelection.h"
#include "TaskImages.h"
#include "removal/remote/RemovalServiceClient.h"

#include "core/DomainModel.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kivo {

class AppState;

// The Background Removal tab's logic: the list of tasks, adding files, the processing run on
// the tab's own serial worker, saving results and opening them in the editor. Lives on the
// window's thread, which owns all of its state; decoding, removal and encoding run elsewhere
// and come back by queued calls.
//
// Tasks keep their images encoded in `cache` with thumbnails (see TaskImages.h): a photo is
// decoded at full size only while it is processed or opened.
// How many photos of a local run are worked on at once for "Max concurrent processes".
int localPhotosAtOnce(qint64 maxConcurrentProcesses);

class BatchRemovalQueue : public QObject {
    Q_OBJECT
public:
    BatchRemovalQueue(AppState& appState, RemovalServiceClient& client, QObject* parent = nullptr);
    BatchRemovalQueue(AppState& appState, RemovalServiceClient& client, ImageCache& cache, QObject* parent = nullptr);
    ~BatchRemovalQueue() override;

    const QList<ImageProcessingTask>& selectedImages() const { return m_tasks; }

    bool isProcessing() const { return m_isProcessing; }
    bool isCancelling() const { return m_isCancelling; }
    // Finished photos of the runs under way, over the photos they took.
    double processingProgress() const { return m_processingProgress; }
    int currentProcessingIndex() const { return m_currentProcessingIndex; }
    int runPhotoCount() const { return m_runPhotoCount; }
    int runFinishedCount() const { return m_runFinishedCount; }
    // Photos of the runs at the service now, and waiting in the client for their turn.
    int uploadsAtService() const { return m_uploadsAtService; }
    // What a card says beside its status while its photo waits for the service; empty otherwise.
    QString taskNote(const QUuid& id) const { return m_notes.value(id); }
    // A pick or drop is still being read; how many of its files are left.
    bool isAdding() const { return m_addOperations > 0; }
    int filesBeingAdded() const { return m_filesBeingAdded; }

    AIModelSelection aiModel() const { return m_aiModel.load(); }
    // Changing the engine leaves a run under way to finish on its own.
    void setAiModel(AIModelSelection model);

    // Files picked in the open panel: every one that loads is added, without duplicate check.
    void addImages(const QList<QUrl>& files);
    // Dropped files and folders: extension and duplicate checks, then the summary alert.
    void handleDrop(const QList<QUrl>& dropped);

    // Starts a run over the pending and failed tasks that no run holds yet; completed tasks keep
    // their result and are never sent again. Local runs work on up to "Max concurrent processes"
    // photos at once, the network inferring one of them at a time (a run already under way
    // finishes first); remote runs upload as the client's rules allow.
    void processAllImagesInTab();
    // Stops the runs between images: the images in progress finish, the rest stay as they are.
    void cancelProcessing();
    void clearAll();

    // Copies a result's PNG off the window's thread; `done(ok)` runs on the window's thread.
    void downloadImage(const ImageProcessingTask& task, const QString& path, std::function<void(bool)> done);
    // Writes every completed result into the folder; `done(message)` gets the alert text.
    void downloadAllImages(const QString& folder, std::function<void(QString)> done);

    // Decode the results off the window's thread, then open them as editor sessions.
    // At most `sessionsOpenedAtOnce` open in one go; the alert says how many more are waiting.
    void openInEditor(const ImageProcessingTask& task);
    void editSelected();
    // The photos the last run cut out, not those of earlier runs.
    void openRunResults();
    static constexpr int sessionsOpenedAtOnce = 10;

    // The tab takes its list back from the application state each time it is shown.
    void takeListFromAppState();

    // Stops the runs and the reading of files and waits for the workers, which call the client
    // and post to this object. Called on destruction; call it earlier to destroy the client first.
    void shutdown();

signals:
    void tasksChanged();
    void taskChanged(qsizetype index);
    void processingStateChanged();
    void addingChanged();
    void alertRequested(const QString& message);
    // The last run under way has ended (finished or cancelled), with the photos it cut out and
    // those that failed.
    void runEnded(int completed, int failed);

private:
    struct DropSession;
    struct LoadedFile {
        QUrl url;
        KeptImage kept;
        enum class Kind { loaded, unreadable, wrongExtension, duplicate } kind = Kind::loaded;
    };

    // Loaded files waiting for the window's thread (see loadFilesInBackground).
    struct GatheredFiles {
        std::mutex mutex;
        std::vector<LoadedFile> files;
        bool posted = false;
    };
    void takeGathered(const std::shared_ptr<GatheredFiles>& gathered, const std::function<void(LoadedFile)>& onFile);
    void loadFilesInBackground(const QList<QUrl>& roots, bool isDrop, std::function<void(LoadedFile)> onFile,
                               std::function<void()> onDone);
    void acceptDroppedFile(DropSession& session, LoadedFile file);
    void refuse(DropSession& session, const LoadedFile& file);
    bool containsURL(const QUrl& url) const;
    // Replaces the list, with the index of its files.
    void setTasks(QList<ImageProcessingTask> tasks);
    void appendTask(const QUrl& url, const KeptImage& kept);

    // A task of a run: its place in the list when the run began, and its id to check that the
    // place still holds it.
    struct RunTask {
        qsizetype index = 0;
        QUuid id;
    };
    void runLocalJob(int generation, QList<ImageProcessingTask> snapshot, QList<RunTask> run);
    void processLocally(qsizetype index, const QUuid& id, const ImageProcessingTask& task);
    void sendRemoteJob(int generation, QList<ImageProcessingTask> snapshot, QList<RunTask> run,
                       RemoteServiceSnapshot remote, std::shared_ptr<UploadRun> uploads);
    void remoteOutcome(int generation, qsizetype index, const QUuid& id, const RemoteRemovalOutcome& outcome);
    void remoteProgress(qsizetype index, const QUuid& id, const UploadProgress& progress);
    qsizetype indexOf(qsizetype hint, const QUuid& id) const;
    void applyOutcome(qsizetype index, const QUuid& id, const KeptImage& result, std::optional<QString> error);
    void openSessions(QList<ImageProcessingTask> tasks);
    void setTaskStatus(qsizetype index, const QUuid& id, ProcessingStatus status);
    void setNote(qsizetype index, const QUuid& id, const QString& note);
    void taskLeftRun(int generation, const QUuid& id, bool finished, bool showProgress = true);
    void runFinishedDispatching(int generation);
    void endRunIfDone(int generation);
    void updateProgress();
    void setProcessing(bool processing);
    void publish();

    AppState& m_appState;
    RemovalServiceClient& m_client;
    ImageCache& m_cache;
    QList<ImageProcessingTask> m_tasks;
    // The files of the tasks: a drop checks each of thousands of files against the list.
    QSet<QUrl> m_urls;

    bool m_isProcessing = false;
    bool m_isCancelling = false;
    double m_processingProgress = 0;
    int m_currentProcessingIndex = 0;
    int m_runPhotoCount = 0;
    int m_runFinishedCount = 0;
    QList<QUuid> m_completedInRun;
    int m_failedInRun = 0;
    int m_uploadsAtService = 0;
    QHash<QUuid, QString> m_notes;
    // Tasks that a run holds: a second "Process All" leaves them to it.
    QSet<QUuid> m_inRun;
    int m_addOperations = 0;
    int m_filesBeingAdded = 0;
    // Appended tasks are published once per round of files, not per file.
    bool m_holdListChanges = false;
    std::atomic_bool m_shuttingDown{false};
    // Touched by the photos of a local run.
    std::atomic_bool m_modelProblemReported{false};
    std::atomic<AIModelSelection> m_aiModel{AIModelSelection::localFree};

    // Runs are numbered; cancelling stops every run up to the newest started one.
    int m_lastGeneration = 0;
    std::atomic_int m_cancelledThrough{0};
    struct RunState {
        int tasksLeft = 0;
        int notSent = 0;
        bool dispatchDone = false;
        std::shared_ptr<UploadRun> uploads;
    };
    QHash<int, RunState> m_runs;

    // "BackgroundRemovalQueue": one thread, so runs are processed one after the other ...
    QThreadPool m_processingQueue;
    // ... and the photos of a local run on these, as many at once as the preference allows.
    QThreadPool m_photoPool;
    // Reading of picked and dropped files, one operation after the other ...
    QThreadPool m_loadingQueue;
    // ... each file read, kept and decoded for its thumbnail on one of these, in parallel.
    QThreadPool m_decodingPool;
    // Results of the remote engine, encoded and kept off the window's thread.
    QThreadPool m_keepingPool;
};

} // namespace kivo
