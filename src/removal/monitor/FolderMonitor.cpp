#include "FolderMonitor.h"

#include "FolderMonitorRules.h"
#include "ResultWriter.h"
#include "removal/engine/LocalRemovalEngine.h"
#include "removal/engine/RemovalOptions.h"

#include "core/AppState.h"
#include "core/AtomicFile.h"
#include "core/ImageFileLoader.h"
#include "core/Log.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace kivo {

namespace {

// The engines say why they failed in their log lines; the row shows the line without the
// owner's tag.
QString reasonFromLogLine(const QString& line, const QString& fallback)
{
    if (line.isEmpty())
        return fallback;
    return line.startsWith(u'[') && line.contains(QLatin1StringView("] ")) ? line.mid(line.indexOf(u']') + 2) : line;
}

} // namespace

FileSignature FileSignature::of(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return {qint64(info.st_size), qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
            quint64(info.st_ino)};
}

// What a job needs from the window's thread, copied when the file is started.
struct FolderMonitor::FileJob {
    QString path;
    Signature signature;
    // The row this file updates, whatever other rows carry the same file name.
    QPointer<TriggerActivity> activity;
    bool useService = false;
    RemoteServiceSnapshot remote;
    UserPreferences preferences;
};

struct FolderMonitor::Outcome {
    bool cutOut = false;
    QString error;
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
    , m_journalPath(options.journalPath.isEmpty() ? defaultMonitorJournalPath() : options.journalPath)
    , m_client(keychain, options.remote)
{
    m_workers.setMaxThreadCount(std::max(1, options.filesAtOnce));
    m_workers.setObjectName(QStringLiteral("FolderMonitorWorkers"));
    m_journalWriter.setMaxThreadCount(1);
    m_journalWriter.setObjectName(QStringLiteral("FolderMonitorJournal"));

    m_retryTimer.setInterval(options.retryInterval);
    connect(&m_retryTimer, &QTimer::timeout, this, &FolderMonitor::retryWatch);
    m_idleTimer.setSingleShot(true);
    connect(&m_idleTimer, &QTimer::timeout, this, [this] {
        m_engineUsed = false;
        logLine(QStringLiteral("[FolderMonitor] The folder is quiet: releasing the engine's memory"));
        QThreadPool::globalInstance()->start([this] {
            releaseEngineMemory();
            QMetaObject::invokeMethod(this, &FolderMonitor::engineMemoryReleased, Qt::QueuedConnection);
        });
    });
    // A burst changes the queue with every file; the journal is written at most a few times
    // a second, off the window's thread.
    m_journalTimer.setSingleShot(true);
    m_journalTimer.setInterval(200);
    connect(&m_journalTimer, &QTimer::timeout, this, [this] {
        m_journalWriter.start([this, journal = journal()] { writeJournal(journal); });
    });

    if (const std::optional<MonitorJournal> stored = MonitorJournal::read(m_journalPath)) {
        m_queueFolder = stored->folder;
        m_lastSeen = stored->lastSeen;
        m_waiting = stored->waiting;
    }
}

FolderMonitor::~FolderMonitor()
{
    if (m_stream)
        m_lastSeen = QDateTime::currentDateTimeUtc();
    m_stream.reset();
    m_shuttingDown = true;
    // A remote call would otherwise hold its worker for up to its whole wait.
    m_client.cancelRequests();
    m_workers.waitForDone();
    // The idle release may still run on the global pool and post back.
    QThreadPool::globalInstance()->waitForDone();
    m_journalTimer.stop();
    m_journalWriter.waitForDone();
    // The files in progress stay listed for the next start, but for those whose result was
    // saved while the application was quitting: they are done.
    for (const QString& path : std::as_const(m_savedWhileQuitting))
        m_inFlight.remove(path);
    writeJournal(journal());
}

bool FolderMonitor::startWatching(const QString& folderPath)
{
    m_stream.reset();
    m_retryTimer.stop();
    m_folder = QDir::cleanPath(folderPath);
    m_failure.clear();

    if (m_queueFolder != m_folder) {
        // The queue of another folder is not this one's work.
        if (!m_waiting.isEmpty())
            logLine(QStringLiteral("[FolderMonitor] Dropped %1 waiting files of %2, which is no longer monitored")
                        .arg(m_waiting.size())
                        .arg(m_queueFolder));
        m_waiting.clear();
        m_lastSeen = {};
        m_queueFolder = m_folder;
        scheduleJournal();
    }
    if (!openStream()) {
        watchFailed(m_failure);
        return false;
    }
    // After the caller has shown "Monitoring": the files left waiting start now.
    QMetaObject::invokeMethod(this, [this, generation = m_generation] {
        if (generation == m_generation)
            startWaitingFiles();
    }, Qt::QueuedConnection);
    return true;
}

bool FolderMonitor::openStream()
{
    const int generation = ++m_generation;
    FolderEventStream::Options streamOptions = m_options.stream;
    // Files that arrived while nobody watched are reported by the stream's first walk.
    streamOptions.reportFilesNewerThan = m_lastSeen;
    QString error;
    m_stream = FolderEventStream::start(m_folder, eventCallback(generation, m_folder), streamOptions, &error);
    if (!m_stream) {
        m_failure = QFileInfo(m_folder).isDir() ? QStringLiteral("Cannot watch %1: %2").arg(m_folder, error)
                                                : QStringLiteral("The folder %1 does not exist").arg(m_folder);
        return false;
    }
    m_lastSeen = QDateTime::currentDateTimeUtc();
    scheduleJournal();
    return true;
}

void FolderMonitor::watchFailed(const QString& reason)
{
    logLine(QStringLiteral("[FolderMonitor] ") + reason + QStringLiteral("; trying again until it can be watched"));
    m_retryTimer.start();
}

// The folder that could not be watched: watched again as soon as it can be.
void FolderMonitor::retryWatch()
{
    if (m_folder.isEmpty()) {
        m_retryTimer.stop();
        return;
    }
    if (!openStream()) {
        publishStatus();
        return;
    }
    m_retryTimer.stop();
    m_failure.clear();
    logLine(QStringLiteral("[AppState] Started monitoring folder: ") + m_folder);
    startWaitingFiles();
    publishStatus();
}

int FolderMonitor::stopWatching()
{
    m_stream.reset();
    m_retryTimer.stop();
    ++m_generation;
    m_folder.clear();
    m_failure.clear();
    m_burstStarted = 0;
    const int left = int(m_waiting.size());
    if (left > 0)
        logLine(QStringLiteral("[FolderMonitor] Stopped with %1 files waiting; they are processed when this "
                               "folder is monitored again")
                    .arg(left));
    // The files waiting stay in the journal; the time of the stop is when the folder was last seen.
    m_lastSeen = QDateTime::currentDateTimeUtc();
    scheduleJournal();
    return left;
}

// Runs on the stream's thread: filters the events and hands the arrivals to the window's thread.
FolderEventStream::Callback FolderMonitor::eventCallback(int generation, const QString& folder)
{
    return [this, generation, folder](const QList<FolderEvent>& events) {
        constexpr quint32 arrival = FolderEvent::itemCreated | FolderEvent::itemIsFile;
        for (const FolderEvent& event : events) {
            if (event.flags & FolderEvent::rootChanged) {
                QMetaObject::invokeMethod(this, [this, generation] { watchedFolderLost(generation); },
                                          Qt::QueuedConnection);
            } else if (event.flags & FolderEvent::historyDone) {
                QMetaObject::invokeMethod(this, [this, generation] {
                    if (generation == m_generation)
                        emit watchReady();
                }, Qt::QueuedConnection);
            } else if ((event.flags & arrival) == arrival && isMonitoredFilePath(event.path, folder)) {
                // A file found at the start that has its result already was processed before.
                if ((event.flags & FolderEvent::itemFoundAtStart) && hasMonitorResult(event.path))
                    continue;
                QMetaObject::invokeMethod(
                    this,
                    [this, generation, url = QUrl::fromLocalFile(event.path), signature = Signature::of(event.path)] {
                        if (generation == m_generation)
                            handleNewFile(url, signature);
                    },
                    Qt::QueuedConnection);
            }
        }
    };
}

// The watched folder was deleted or moved away: an error until it is back, and then watched
// again by itself.
void FolderMonitor::watchedFolderLost(int generation)
{
    if (generation != m_generation || !m_stream)
        return;
    m_stream.reset();
    ++m_generation;
    m_failure = QStringLiteral("The monitored folder was removed or moved: ") + m_folder;
    logLine(QStringLiteral("[FolderMonitor] ") + m_failure);
    m_retryTimer.start();
    publishStatus();
}

void FolderMonitor::handleNewFile(const QUrl& file, const Signature& signature)
{
    if (!m_appState.userPreferences().triggerEnabled || m_folder.isEmpty())
        return;
    const QString path = file.toLocalFile();
    if (m_waiting.contains(path))
        return;
    if (signature.size >= 0 && (m_done.value(path) == signature || m_inFlight.value(path) == signature))
        return;
    m_waiting.append(path);
    scheduleJournal();
    startWaitingFiles();
    publishStatus();
}

void FolderMonitor::startWaitingFiles()
{
    if (!m_stream || m_folder.isEmpty())
        return;
    while (m_inFlight.size() < std::max(1, m_options.filesAtOnce) && !m_waiting.isEmpty()) {
        const QString path = m_waiting.takeFirst();
        if (m_inFlight.contains(path)) {
            // The same file changed again while it is being processed: after this one.
            m_waiting.append(path);
            break;
        }
        const UserPreferences& preferences = m_appState.userPreferences();
        TriggerActivity* activity = m_appState.addTriggerActivity(QFileInfo(path).fileName());
        activity->setSourcePath(path);
        const FileJob job{path,
                          Signature::of(path),
                          activity,
                          preferences.triggerAIModel == u"kivo",
                          RemoteServiceSnapshot{preferences.backendBaseURLString, m_appState.accountInfo()},
                          preferences};
        m_inFlight.insert(path, job.signature);
        ++m_burstStarted;
        m_engineUsed = m_engineUsed || !job.useService;
        m_idleTimer.stop();
        m_workers.start([this, job] { process(job); });
    }
    scheduleJournal();
}

// On a worker: load, remove the background, save; the outcome goes back by a queued call.
void FolderMonitor::process(const FileJob& job)
{
    if (m_shuttingDown)
        return;
    Outcome outcome;
    const ImageLoadResult loaded = readImageFile(job.path);
    if (loaded.image.isNull()) {
        // "not an image" would be true but useless for a file that has no bytes at all.
        const QFileInfo file(job.path);
        const QString reason = !file.exists()          ? QStringLiteral("the file is gone")
            : file.isFile() && file.size() == 0      ? QStringLiteral("the file is empty")
                                                     : loaded.error;
        outcome.error = QStringLiteral("Failed to load image: ") + reason;
        logLine(QStringLiteral("[FolderMonitor] Failed to load image %1: %2").arg(job.path, reason));
    } else if (!m_shuttingDown) {
        ThreadLogCapture capture;
        const std::optional<QImage> cutout = job.useService
            ? m_client.removeBackgroundWithService(loaded.image, job.remote)
            : removeBackgroundLocally(loaded.image, removalOptionsFromPreferences(job.preferences));
        if (cutout) {
            outcome.cutOut = true;
            outcome.saved = saveMonitorResult(*cutout, job.path, job.preferences, QDateTime::currentDateTime());
            if (!outcome.saved.error.isEmpty())
                outcome.error = QStringLiteral("Failed to save processed image: ") + outcome.saved.error;
        } else {
            outcome.error = reasonFromLogLine(capture.lastLine(), QStringLiteral("Failed to remove background"));
        }
    }
    if (m_shuttingDown) {
        if (outcome.cutOut && outcome.saved.error.isEmpty()) {
            const QMutexLocker lock(&m_savedWhileQuittingMutex);
            m_savedWhileQuitting.append(job.path);
        }
        return;
    }
    QMetaObject::invokeMethod(this, [this, job, outcome] { finish(job, outcome); }, Qt::QueuedConnection);
}

void FolderMonitor::finish(const FileJob& job, const Outcome& outcome)
{
    m_inFlight.remove(job.path);
    m_done.insert(job.path, job.signature);
    scheduleJournal();
    if (job.activity) {
        if (!outcome.saved.path.isEmpty())
            job.activity->setResultPath(outcome.saved.path);
        job.activity->setError(outcome.error.isEmpty() ? std::nullopt : std::optional<QString>(outcome.error));
        job.activity->setStatus(outcome.error.isEmpty() ? TriggerActivityStatus::completed
                                                        : TriggerActivityStatus::failed);
    }
    // A file that did not load was logged by its job; a failed save by the writer.
    if (!outcome.cutOut && !outcome.error.startsWith(u"Failed to load image"))
        logLine(QStringLiteral("[AppState] Failed to process image: ") + outcome.error);
    else if (outcome.cutOut && outcome.error.isEmpty())
        logLine(QStringLiteral("[AppState] Successfully processed image with ")
                + (job.useService ? QStringLiteral("Kivo Model") : QStringLiteral("Local Free Model")));
    emit fileFinished(QFileInfo(job.path).fileName(), outcome.cutOut && outcome.error.isEmpty());
    startWaitingFiles();
    publishStatus();
}

// One truth for the dot, the word and the line: derived from the watch and the queue alone.
void FolderMonitor::publishStatus()
{
    if (m_folder.isEmpty()) {
        // Stopped: the application state shows "Idle"; a file finishing now changes nothing.
        return;
    }
    if (!m_failure.isEmpty()) {
        m_appState.setTriggerStatus(TriggerStatus::error, m_failure);
        m_appState.setTriggerProgress({});
        return;
    }
    const int left = int(m_waiting.size() + m_inFlight.size());
    if (left > 0) {
        m_appState.setTriggerProgress({m_burstStarted, m_burstStarted + int(m_waiting.size())});
        m_appState.setTriggerStatus(TriggerStatus::processing);
        return;
    }
    m_burstStarted = 0;
    m_appState.setTriggerStatus(TriggerStatus::monitoring);
    m_appState.setTriggerProgress({});
    if (m_engineUsed && !m_idleTimer.isActive())
        m_idleTimer.start(releaseDelay());
}

std::chrono::milliseconds FolderMonitor::releaseDelay() const
{
    using namespace std::chrono_literals;
    if (m_options.releaseAfterIdle > 0ms)
        return m_options.releaseAfterIdle;
    return releaseDelayFor(m_appState.userPreferences().memoryUsage);
}

std::chrono::milliseconds FolderMonitor::releaseDelayFor(MemoryUsage memoryUsage)
{
    using namespace std::chrono_literals;
    switch (memoryUsage) {
    case MemoryUsage::conservative: return 0ms;
    case MemoryUsage::balanced: return 2min;
    case MemoryUsage::aggressive: return 10min;
    }
    return 2min;
}

void FolderMonitor::scheduleJournal()
{
    if (!m_journalTimer.isActive())
        m_journalTimer.start();
}

MonitorJournal FolderMonitor::journal() const
{
    MonitorJournal journal{m_queueFolder, m_lastSeen, {}};
    // The files in progress first: they were the oldest.
    for (auto file = m_inFlight.cbegin(); file != m_inFlight.cend(); ++file)
        journal.waiting.append(file.key());
    journal.waiting += m_waiting;
    if (!m_folder.isEmpty() && m_stream)
        journal.lastSeen = QDateTime::currentDateTimeUtc();
    return journal;
}

void FolderMonitor::writeJournal(const MonitorJournal& journal) const
{
    QDir().mkpath(QFileInfo(m_journalPath).path());
    if (const std::optional<QString> failure = writeFileAtomically(m_journalPath, journal.toJson()))
        logLine(QStringLiteral("[FolderMonitor] Cannot keep the queue in %1: %2").arg(m_journalPath, *failure));
}

} // namespace kivo
