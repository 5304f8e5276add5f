#include "FolderMonitor.h"

#include "FolderMonitorRules.h"
#include "removal/batch/TaskImages.h"
#include "removal/engine/LocalRemovalEngine.h"
#include "removal/engine/RemovalOptions.h"

#include "core/AppState.h"
#include "core/AtomicFile.h"
#include "core/Log.h"
#include "core/PngEncoder.h"

#include <QFile>

#include <filesystem>
#include <system_error>

namespace kivo {

namespace {

// Where a result went, or why it could not be written.
struct SaveOutcome {
    QString path;
    QString error;
};

SaveOutcome saveResult(const QImage& cutout, const QString& sourcePath, const UserPreferences& preferences)
{
    const auto failed = [](const QString& description) {
        logLine(QStringLiteral("[AppState] Failed to save processed image: ") + description);
        return SaveOutcome{{}, description};
    };

    const QString folder = processedFolderPath(sourcePath);
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(folder).toStdString()), error);
    if (error)
        return failed(QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(error.message()), folder));

    const std::optional<QString> name = processedFileName(sourcePath, preferences, QDateTime::currentDateTime());
    if (!name)
        return failed(QStringLiteral("the naming preferences give no usable file name"));
    const std::optional<QByteArray> png = encodePNG(cutout);
    if (!png)
        return failed(QStringLiteral("the result could not be encoded as PNG"));

    const QString path = folder + u'/' + *name;
    if (const std::optional<QString> failure = writeFileAtomically(path, *png))
        return failed(QStringLiteral("%1 (%2)").arg(*failure, path));
    logLine(QStringLiteral("[AppState] Saved processed image to subfolder: ") + path);
    return {path, {}};
}

} // namespace

// What a job needs from the window's thread, copied when the file is accepted.
struct FolderMonitor::FileJob {
    QUrl url;
    // The row this file updates, whatever other rows carry the same file name.
    QPointer<TriggerActivity> activity;
    bool useService = false;
    RemoteServiceSnapshot remote;
    UserPreferences preferences;
};

struct FolderMonitor::Outcome {
    std::optional<QImage> cutout;
    SaveOutcome saved;
};

FolderMonitor::FolderMonitor(AppState& appState, const KeychainHelper& keychain, QObject* parent)
    : FolderMonitor(appState, keychain, Options{}, parent)
{
}

FolderMonitor::FolderMonitor(AppState& appState, const KeychainHelper& keychain, Options options, QObject* parent)
    : QObject(parent)
    , m_appState(appState)
    , m_options(options)
    , m_client(keychain, options.remote)
{
    m_workers.setMaxThreadCount(std::max(1, options.filesAtOnce));
    m_workers.setObjectName(QStringLiteral("FolderMonitorWorkers"));
}

FolderMonitor::~FolderMonitor()
{
    m_stream.reset();
    m_shuttingDown = true;
    // A remote call would otherwise hold its worker for up to its whole wait.
    m_client.cancelRequests();
    m_workers.waitForDone();
}

bool FolderMonitor::startWatching(const QString& folderPath)
{
    m_stream.reset();
    const int generation = ++m_generation;
    QString error;
    m_stream = FolderEventStream::start(folderPath, eventCallback(generation), m_options.stream, &error);
    if (!m_stream)
        logLine(QStringLiteral("[FolderMonitor] Cannot watch %1: %2").arg(folderPath, error));
    return m_stream != nullptr;
}

void FolderMonitor::stopWatching()
{
    m_stream.reset();
    ++m_generation;
}

// Runs on the stream's thread: filters the events and hands the new files to the window's thread.
FolderEventStream::Callback FolderMonitor::eventCallback(int generation)
{
    return [this, generation](const QList<FolderEvent>& events) {
        constexpr quint32 createdFile = FolderEvent::itemCreated | FolderEvent::itemIsFile;
        for (const FolderEvent& event : events) {
            if (event.flags & FolderEvent::rootChanged) {
                QMetaObject::invokeMethod(this, [this, generation] { watchedFolderLost(generation); },
                                          Qt::QueuedConnection);
            } else if ((event.flags & createdFile) == createdFile && isMonitoredFilePath(event.path)) {
                QMetaObject::invokeMethod(
                    this,
                    [this, generation, url = QUrl::fromLocalFile(event.path)] {
                        if (generation == m_generation)
                            handleNewFile(url);
                    },
                    Qt::QueuedConnection);
            }
        }
    };
}

// The watched folder was deleted or moved away: nothing is left to watch, and the status says so
// instead of claiming to monitor.
void FolderMonitor::watchedFolderLost(int generation)
{
    if (generation != m_generation || !m_stream)
        return;
    logLine(QStringLiteral("[FolderMonitor] The monitored folder was removed or moved: ") + m_stream->folder());
    m_appState.stopFolderMonitoring();
}

void FolderMonitor::handleNewFile(const QUrl& file)
{
    const UserPreferences& preferences = m_appState.userPreferences();
    if (!preferences.triggerEnabled)
        return;
    FileJob job{file, m_appState.addTriggerActivity(file.fileName()), preferences.triggerAIModel == u"kivo",
                RemoteServiceSnapshot{preferences.backendBaseURLString, m_appState.accountInfo()}, preferences};
    m_appState.setTriggerStatus(TriggerStatus::processing);
    m_workers.start([this, job] { process(job); });
}

// On a worker: load, remove the background, save; each step's outcome goes back by a queued call.
void FolderMonitor::process(const FileJob& job)
{
    if (m_shuttingDown)
        return;
    // The task keeps the file's bytes like the batch's tasks; this job keeps the decoded photo
    // only while it works on it. A photo whose bytes cannot be kept is still processed.
    QImage image;
    const KeptImage kept = keepOriginal(job.url.toLocalFile(), ImageCache::shared(), &image);
    if (kept.image.isNull()) {
        QMetaObject::invokeMethod(this, [this, job] { loadFailed(job); }, Qt::QueuedConnection);
        return;
    }

    ImageProcessingTask task;
    task.originalImage = kept.image;
    task.originalURL = job.url;
    task.status = ProcessingStatus::processing;
    QMetaObject::invokeMethod(this, [this, task] { appendTask(task); }, Qt::QueuedConnection);

    Outcome outcome;
    if (!m_shuttingDown)
        outcome.cutout = removeBackground(image, job);
    if (outcome.cutout)
        outcome.saved = saveResult(*outcome.cutout, job.url.toLocalFile(), job.preferences);
    QMetaObject::invokeMethod(this, [this, job, id = task.id, outcome] { finish(job, id, outcome); },
                              Qt::QueuedConnection);
}

// The one place the monitor calls an engine.
std::optional<QImage> FolderMonitor::removeBackground(const QImage& image, const FileJob& job)
{
    if (job.useService)
        return m_client.removeBackgroundWithService(image, job.remote);
    return removeBackgroundLocally(image, removalOptionsFromPreferences(job.preferences));
}

void FolderMonitor::appendTask(const ImageProcessingTask& task)
{
    QList<ImageProcessingTask> tasks = m_appState.processingQueue();
    tasks.append(task);
    m_appState.setProcessingQueue(tasks);
}

void FolderMonitor::loadFailed(const FileJob& job)
{
    if (job.activity) {
        job.activity->setError(QStringLiteral("Failed to load image"));
        job.activity->setStatus(TriggerActivityStatus::failed);
    }
    m_appState.setTriggerStatus(TriggerStatus::monitoring);
}

// The result was saved on the worker already: it is kept even when the batch tab has replaced
// the task list meanwhile and the task is gone. The task leaves the list here, so its own
// final status is never seen.
void FolderMonitor::finish(const FileJob& job, const QUuid& taskId, const Outcome& outcome)
{
    QList<ImageProcessingTask> tasks = m_appState.processingQueue();
    if (tasks.removeIf([&taskId](const ImageProcessingTask& task) { return task.id == taskId; }) > 0)
        m_appState.setProcessingQueue(tasks);

    if (!outcome.cutout) {
        if (job.activity)
            job.activity->setStatus(TriggerActivityStatus::failed);
        logLine(QStringLiteral("[AppState] Failed to process image"));
    } else if (!outcome.saved.error.isEmpty()) {
        if (job.activity) {
            job.activity->setError(QStringLiteral("Failed to save processed image: ") + outcome.saved.error);
            job.activity->setStatus(TriggerActivityStatus::failed);
        }
    } else {
        if (job.activity)
            job.activity->setStatus(TriggerActivityStatus::completed);
        logLine(QStringLiteral("[AppState] Successfully processed image with ")
                + (job.useService ? QStringLiteral("Kivo Model") : QStringLiteral("Local Free Model")));
    }
    m_appState.setTriggerStatus(TriggerStatus::monitoring);
    emit fileFinished(job.url.fileName(), outcome.cutout && outcome.saved.error.isEmpty());
}

} // namespace kivo
