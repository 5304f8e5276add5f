#include "BatchRemovalQueue.h"

#include "CutoutFiles.h"
#include "DropRules.h"
#include "removal/engine/ForegroundSegmenter.h"
#include "removal/engine/LocalRemovalEngine.h"

#include "core/AppState.h"
#include "core/Log.h"

#include <QDir>
#include <QFileInfo>
#include <QFuture>
#include <QSemaphore>
#include <QSet>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <deque>
#include <mutex>

namespace kivo {

// What one drop collects while its files come in.
struct BatchRemovalQueue::DropSession {
    QStringList invalidNames;
    QStringList duplicateNames;
    // "name: reason" for the files that did not load.
    QStringList refusals;
    bool added = false;
};

BatchRemovalQueue::BatchRemovalQueue(AppState& appState, RemovalServiceClient& client, QObject* parent)
    : BatchRemovalQueue(appState, client, ImageCache::shared(), parent)
{
}

BatchRemovalQueue::BatchRemovalQueue(AppState& appState, RemovalServiceClient& client, ImageCache& cache,
                                     QObject* parent)
    : QObject(parent)
    , m_appState(appState)
    , m_client(client)
    , m_cache(cache)
{
    m_processingQueue.setMaxThreadCount(1);
    m_processingQueue.setObjectName(QStringLiteral("BackgroundRemovalQueue"));
    m_loadingQueue.setMaxThreadCount(1);
    m_decodingPool.setMaxThreadCount(std::max(2, QThread::idealThreadCount()));
    m_keepingPool.setMaxThreadCount(1);
}

BatchRemovalQueue::~BatchRemovalQueue()
{
    shutdown();
}

void BatchRemovalQueue::shutdown()
{
    // Workers stop between files and between images.
    m_shuttingDown = true;
    m_cancelledThrough = m_lastGeneration;
    m_loadingQueue.waitForDone();
    m_processingQueue.waitForDone();
    m_keepingPool.waitForDone();
}

void BatchRemovalQueue::setAiModel(AIModelSelection model)
{
    m_aiModel = model;
    setProcessing(false);
}

// ---- Adding files ---------------------------------------------------------------------------

void BatchRemovalQueue::loadFilesInBackground(const QList<QUrl>& roots, bool isDrop,
                                              std::function<void(LoadedFile)> onFile, std::function<void()> onDone)
{
    // Files already in the list are not decoded again; the decisive check runs on this thread.
    const QSet<QUrl> queued = isDrop ? m_urls : QSet<QUrl>();

    ++m_addOperations;
    emit addingChanged();
    m_loadingQueue.start([this, roots, isDrop, queued, onFile, onDone] {
        const QList<QUrl> files = isDrop ? collectDroppedFiles(roots) : roots;
        QMetaObject::invokeMethod(this, [this, n = int(files.size())] {
            m_filesBeingAdded += n;
            emit addingChanged();
        }, Qt::QueuedConnection);

        // Files are read, kept and decoded a few at a time on the decoding pool and handed
        // over in their order, gathered: thousands of small photos decode faster than the window
        // could take them one call each, and one list change per file would hold it for seconds.
        auto gathered = std::make_shared<GatheredFiles>();
        const auto handOver = [this, onFile, gathered](const LoadedFile& file) {
            std::lock_guard lock(gathered->mutex);
            gathered->files.push_back(file);
            if (std::exchange(gathered->posted, true))
                return;
            QMetaObject::invokeMethod(this, [this, onFile, gathered] { takeGathered(gathered, onFile); },
                                      Qt::QueuedConnection);
        };
        std::deque<QFuture<LoadedFile>> reading;
        const qsizetype readAhead = m_decodingPool.maxThreadCount();
        for (const QUrl& url : files) {
            if (m_shuttingDown)
                break;
            reading.push_back(QtConcurrent::run(&m_decodingPool, [this, url, isDrop, queued] {
                LoadedFile file{url, {}, LoadedFile::Kind::loaded};
                if (isDrop && !hasAcceptedDropExtension(url)) {
                    file.kind = LoadedFile::Kind::wrongExtension;
                } else if (queued.contains(url)) {
                    file.kind = LoadedFile::Kind::duplicate;
                } else {
                    file.kept = keepOriginal(url.toLocalFile(), m_cache);
                    file.kind = file.kept.image.isNull() ? LoadedFile::Kind::unreadable : LoadedFile::Kind::loaded;
                }
                return file;
            }));
            if (qsizetype(reading.size()) > readAhead) {
                handOver(reading.front().result());
                reading.pop_front();
            }
        }
        for (; !reading.empty(); reading.pop_front())
            handOver(reading.front().result());
        // The end comes after the last round of files.
        auto finish = std::make_shared<std::function<void()>>();
        *finish = [this, onDone, gathered, finish] {
            bool waiting = false;
            {
                std::lock_guard lock(gathered->mutex);
                waiting = gathered->posted;
            }
            if (waiting) {
                QMetaObject::invokeMethod(this, [finish] { (*finish)(); }, Qt::QueuedConnection);
                return;
            }
            // The function holds itself; the cycle is broken once the locals are out of it.
            BatchRemovalQueue* const queue = this;
            const std::function<void()> done = onDone;
            const auto keep = finish;
            *keep = nullptr;
            --queue->m_addOperations;
            done();
            emit queue->addingChanged();
        };
        QMetaObject::invokeMethod(this, [finish] { (*finish)(); }, Qt::QueuedConnection);
    });
}

// Takes at most a few hundred of the files handed over so far in one go, and posts itself again
// for the rest, so that the window's thread stays free between the rounds.
void BatchRemovalQueue::takeGathered(const std::shared_ptr<GatheredFiles>& gathered, const std::function<void(LoadedFile)>& onFile)
{
    constexpr size_t filesPerRound = 100;
    std::vector<LoadedFile> files;
    {
        std::lock_guard lock(gathered->mutex);
        const size_t count = std::min(filesPerRound, gathered->files.size());
        files.assign(std::make_move_iterator(gathered->files.begin()), std::make_move_iterator(gathered->files.begin() + qsizetype(count)));
        gathered->files.erase(gathered->files.begin(), gathered->files.begin() + qsizetype(count));
        gathered->posted = !gathered->files.empty();
        if (gathered->posted)
            QMetaObject::invokeMethod(this, [this, onFile, gathered] { takeGathered(gathered, onFile); },
                                      Qt::QueuedConnection);
    }
    m_filesBeingAdded -= int(files.size());
    m_holdListChanges = true;
    const qsizetype before = m_tasks.size();
    for (LoadedFile& file : files)
        onFile(std::move(file));
    m_holdListChanges = false;
    if (m_tasks.size() != before) {
        publish();
        emit tasksChanged();
    }
    emit addingChanged();
}

void BatchRemovalQueue::addImages(const QList<QUrl>& files)
{
    auto session = std::make_shared<DropSession>();
    loadFilesInBackground(
        files, false,
        [this, session](LoadedFile file) {
            if (file.kind == LoadedFile::Kind::loaded)
                appendTask(file.url, file.kept);
            else if (file.kind == LoadedFile::Kind::unreadable)
                refuse(*session, file);
        },
        [this, session] {
            // Picked files are not checked for duplicates; only those that did not load are told.
            if (!session->invalidNames.isEmpty())
                emit alertRequested(dropSummary(false, 0, {}, session->invalidNames, session->refusals));
        });
}

void BatchRemovalQueue::handleDrop(const QList<QUrl>& dropped)
{
    auto session = std::make_shared<DropSession>();
    loadFilesInBackground(
        dropped, true, [this, session](LoadedFile file) { acceptDroppedFile(*session, std::move(file)); },
        [this, session] {
            const QString summary = dropSummary(session->added, m_tasks.size(), session->duplicateNames,
                                                session->invalidNames, session->refusals);
            if (!summary.isEmpty())
                emit alertRequested(summary);
        });
}

// The checks and the insertion of one dropped file, as one step on the window's thread.
void BatchRemovalQueue::acceptDroppedFile(DropSession& session, LoadedFile file)
{
    const QString name = file.url.fileName();
    if (file.kind == LoadedFile::Kind::wrongExtension) {
        session.invalidNames << name;
    } else if (file.kind == LoadedFile::Kind::duplicate || containsURL(file.url)) {
        session.duplicateNames << name;
    } else if (file.kind == LoadedFile::Kind::unreadable) {
        refuse(session, file);
    } else {
        appendTask(file.url, file.kept);
        session.added = true;
    }
}

// A file that looked like a photo but did not load: named in the alert with its reason.
void BatchRemovalQueue::refuse(DropSession& session, const LoadedFile& file)
{
    const QString name = file.url.fileName();
    const QString refusal = name + QStringLiteral(": ") + file.kept.error.value_or(QStringLiteral("not an image"));
    logLine(QStringLiteral("[Batch] Skipped ") + refusal);
    session.invalidNames << name;
    session.refusals << refusal;
}

bool BatchRemovalQueue::containsURL(const QUrl& url) const
{
    return m_urls.contains(url);
}

void BatchRemovalQueue::setTasks(QList<ImageProcessingTask> tasks)
{
    m_tasks = std::move(tasks);
    m_urls.clear();
    for (const ImageProcessingTask& task : std::as_const(m_tasks))
        m_urls.insert(task.originalURL);
}

// A photo whose bytes could not be kept is added as failed, with the reason: the user sees it,
// and a later run tries it again from the file.
void BatchRemovalQueue::appendTask(const QUrl& url, const KeptImage& kept)
{
    ImageProcessingTask task;
    task.originalImage = kept.image;
    task.originalURL = url;
    if (kept.error) {
        task.status = ProcessingStatus::failed;
        task.error = kept.error;
    }
    m_tasks.append(task);
    m_urls.insert(url);
    if (m_holdListChanges)
        return;
    publish();
    emit tasksChanged();
}

// ---- Processing -----------------------------------------------------------------------------

void BatchRemovalQueue::processAllImagesInTab()
{
    if (m_tasks.isEmpty())
        return;
    QList<RunTask> run;
    for (qsizetype index = 0; index < m_tasks.size(); ++index) {
        const ImageProcessingTask& task = m_tasks.at(index);
        const bool open = task.status == ProcessingStatus::pending || task.status == ProcessingStatus::failed;
        if (open && !m_inRun.contains(task.id))
            run.append(RunTask{index, task.id});
    }
    if (run.isEmpty())
        return;

    const int generation = ++m_lastGeneration;
    RunState state;
    state.tasksLeft = int(run.size());
    if (!m_isProcessing) {
        m_runPhotoCount = 0;
        m_runFinishedCount = 0;
        m_completedInRun.clear();
        m_failedInRun = 0;
    }
    m_isProcessing = true;
    m_isCancelling = false;
    m_currentProcessingIndex = int(run.first().index);
    m_runPhotoCount += int(run.size());
    for (const RunTask& task : std::as_const(run))
        m_inRun.insert(task.id);
    updateProgress();

    if (m_aiModel == AIModelSelection::kivo) {
        state.uploads = std::make_shared<UploadRun>();
        m_client.setMaxUploadsInFlight(m_appState.userPreferences().maxConcurrentProcesses);
        for (const RunTask& task : std::as_const(run))
            setNote(task.index, task.id, tr("Waiting for the service…"));
        RemoteServiceSnapshot remote{m_appState.userPreferences().backendBaseURLString, m_appState.accountInfo(),
                                     storedRemovalOptions(m_appState)};
        m_runs.insert(generation, state);
        m_processingQueue.start([this, generation, snapshot = m_tasks, run, remote, uploads = state.uploads] {
            sendRemoteJob(generation, snapshot, run, remote, uploads);
        });
        return;
    }
    m_runs.insert(generation, state);
    m_processingQueue.start([this, generation, snapshot = m_tasks, run] { runLocalJob(generation, snapshot, run); });
}

void BatchRemovalQueue::cancelProcessing()
{
    if (!m_isProcessing)
        return;
    m_cancelledThrough = m_lastGeneration;
    for (const RunState& run : std::as_const(m_runs))
        if (run.uploads)
            run.uploads->cancel();
    m_isCancelling = true;
    emit processingStateChanged();
}

int localPhotosAtOnce(qint64 maxConcurrentProcesses)
{
    return int(std::clamp<qint64>(maxConcurrentProcesses, 1, 8));
}

// On the serial worker: the run's tasks, up to "Max concurrent processes" of them at once on the
// photo pool. The network serves one inference at a time; the other photos are decoded before
// it and refined and encoded after it meanwhile. A photo waits for a free place before it is
// decoded, so no more than that many are held decoded at once.
void BatchRemovalQueue::runLocalJob(int generation, QList<ImageProcessingTask> snapshot, QList<RunTask> run)
{
    m_modelProblemReported = false;
    const int photosAtOnce = localPhotosAtOnce(m_appState.userPreferences().maxConcurrentProcesses);
    m_photoPool.setMaxThreadCount(photosAtOnce);
    QSemaphore freePlaces(photosAtOnce);
    for (qsizetype position = 0; position < run.size(); ++position) {
        const RunTask& task = run.at(position);
        freePlaces.acquire();
        if (generation <= m_cancelledThrough) {
            freePlaces.release();
            // The rest leave the run in one call: thousands of calls would hold the window.
            QList<QUuid> rest;
            for (qsizetype later = position; later < run.size(); ++later)
                rest.append(run.at(later).id);
            QMetaObject::invokeMethod(this, [this, generation, rest] {
                for (const QUuid& id : rest)
                    taskLeftRun(generation, id, false, false);
                updateProgress();
            }, Qt::QueuedConnection);
            break;
        }
        QMetaObject::invokeMethod(this, [this, task] {
            m_currentProcessingIndex = int(task.index);
            setTaskStatus(task.index, task.id, ProcessingStatus::processing);
            emit processingStateChanged();
        }, Qt::QueuedConnection);

        m_photoPool.start([this, generation, task, photo = snapshot.at(task.index), &freePlaces] {
            processLocally(task.index, task.id, photo);
            QMetaObject::invokeMethod(this, [this, generation, id = task.id] { taskLeftRun(generation, id, true); },
                                      Qt::QueuedConnection);
            freePlaces.release();
        });
    }
    m_photoPool.waitForDone();
    QMetaObject::invokeMethod(this, [this, generation] { runFinishedDispatching(generation); }, Qt::QueuedConnection);
}

void BatchRemovalQueue::processLocally(qsizetype index, const QUuid& id, const ImageProcessingTask& task)
{
    const auto post = [this, index, id](const KeptImage& result, std::optional<QString> error) {
        QMetaObject::invokeMethod(this, [=, this] { applyOutcome(index, id, result, error); }, Qt::QueuedConnection);
    };

    // Read per image, so that a change in the settings applies from the next image on.
    const RemovalOptions options = storedRemovalOptions(m_appState);
    const auto working = makeWorkingImage(decodeOriginal(task));
    if (!working)
        return post({}, QStringLiteral("Failed to process image"));
    const auto mask = generateForegroundMask(*working, options);
    if (!mask) {
        // A missing or damaged model fails every image the same way: say once per run what
        // to do about it, the cards only say "Failed to create mask".
        const QString modelProblem = ForegroundSegmenter::shared().load(networkInputSide(options.quality));
        if (!modelProblem.isEmpty() && !m_modelProblemReported.exchange(true))
            QMetaObject::invokeMethod(this, [this, modelProblem] { emit alertRequested(modelProblem + u'.'); },
                                      Qt::QueuedConnection);
        return post({}, QStringLiteral("Failed to create mask"));
    }
    const auto composited = applyForegroundMask(*mask, *working);
    const auto cutout = composited ? renderCutout(*composited) : std::nullopt;
    if (!cutout)
        return post({}, QStringLiteral("Failed to render image"));
    const KeptImage result = keepCutout(*cutout, m_cache);
    post(result, result.error);
}

// On the serial worker: every upload of the run handed to the client, which sends them as its
// rules allow. The settings are those of the run's start: uploads leave long after.
void BatchRemovalQueue::sendRemoteJob(int generation, QList<ImageProcessingTask> snapshot, QList<RunTask> run,
                                      RemoteServiceSnapshot remote, std::shared_ptr<UploadRun> uploads)
{
    for (const RunTask& task : std::as_const(run)) {
        const QUuid id = task.id;
        m_client.removeBackgroundRemotely(
            task.index, snapshot, remote, this,
            [this, generation, id](qsizetype at, const RemoteRemovalOutcome& outcome) {
                remoteOutcome(generation, at, id, outcome);
            },
            uploads, [this, id](qsizetype at, const UploadProgress& progress) { remoteProgress(at, id, progress); });
    }
    QMetaObject::invokeMethod(this, [this, generation] { runFinishedDispatching(generation); }, Qt::QueuedConnection);
}

void BatchRemovalQueue::remoteProgress(qsizetype index, const QUuid& id, const UploadProgress& progress)
{
    if (progress.kind == UploadProgress::Kind::sent) {
        if (progress.attempt == 1)
            ++m_uploadsAtService;
        m_currentProcessingIndex = int(index);
        setNote(index, id, QString());
        setTaskStatus(index, id, ProcessingStatus::processing);
        emit processingStateChanged();
    } else {
        setNote(index, id, progress.note);
    }
}

void BatchRemovalQueue::remoteOutcome(int generation, qsizetype index, const QUuid& id,
                                      const RemoteRemovalOutcome& outcome)
{
    const qsizetype at = indexOf(index, id);
    const QString name = at >= 0 ? m_tasks.at(at).originalURL.fileName() : QString();
    if (outcome.notSent) {
        // Never reached the service, or turned away unseen: the task is as it was before the run.
        ++m_runs[generation].notSent;
        if (at >= 0 && m_tasks.at(at).status == ProcessingStatus::processing)
            --m_uploadsAtService;
        setNote(index, id, QString());
        if (at >= 0 && m_tasks.at(at).status == ProcessingStatus::processing)
            setTaskStatus(index, id, ProcessingStatus::pending);
        taskLeftRun(generation, id, false);
        return;
    }
    if (at >= 0 && m_tasks.at(at).status == ProcessingStatus::processing)
        --m_uploadsAtService;
    setNote(index, id, QString());
    if (!outcome.image) {
        logLine(QStringLiteral("Kivo Model: %1 failed (%2): %3")
                    .arg(name, outcome.status ? QStringLiteral("HTTP %1").arg(outcome.status) : QStringLiteral("no answer"),
                         outcome.error));
        applyOutcome(index, id, {}, outcome.error);
        taskLeftRun(generation, id, true);
        return;
    }
    // Encoding and keeping a large cut-out takes a while: not on the window's thread.
    QtConcurrent::run(&m_keepingPool, [this, image = *outcome.image] { return keepCutout(image, m_cache); })
        .then(this, [this, index, id, generation](const KeptImage& result) {
            applyOutcome(index, id, result, result.error);
            taskLeftRun(generation, id, true);
        });
}

qsizetype BatchRemovalQueue::indexOf(qsizetype hint, const QUuid& id) const
{
    return hint >= 0 && hint < m_tasks.size() && m_tasks.at(hint).id == id ? hint : -1;
}

// Applies an engine's outcome to its task; dropped when the list no longer holds it. A result
// that could not be kept fails the task with the reason.
void BatchRemovalQueue::applyOutcome(qsizetype index, const QUuid& id, const KeptImage& result,
                                     std::optional<QString> error)
{
    if (indexOf(index, id) < 0)
        return;
    ImageProcessingTask& task = m_tasks[index];
    if (!error && !result.image.isNull()) {
        task.processedImage = result.image;
        task.status = ProcessingStatus::completed;
        task.error.reset();
        m_completedInRun.append(id);
    } else {
        task.status = ProcessingStatus::failed;
        task.error = error;
        ++m_failedInRun;
    }
    publish();
    emit taskChanged(index);
}

void BatchRemovalQueue::setTaskStatus(qsizetype index, const QUuid& id, ProcessingStatus status)
{
    if (indexOf(index, id) < 0)
        return;
    m_tasks[index].status = status;
    publish();
    emit taskChanged(index);
}

void BatchRemovalQueue::setNote(qsizetype index, const QUuid& id, const QString& note)
{
    const QString previous = note.isEmpty() ? m_notes.take(id) : std::exchange(m_notes[id], note);
    if (previous != note && indexOf(index, id) >= 0)
        emit taskChanged(index);
}

void BatchRemovalQueue::taskLeftRun(int generation, const QUuid& id, bool finished, bool showProgress)
{
    m_inRun.remove(id);
    if (finished)
        ++m_runFinishedCount;
    else
        --m_runPhotoCount;
    if (m_runs.contains(generation))
        --m_runs[generation].tasksLeft;
    if (showProgress)
        updateProgress();
    endRunIfDone(generation);
}

void BatchRemovalQueue::updateProgress()
{
    m_processingProgress = m_runPhotoCount > 0 ? double(m_runFinishedCount) / double(m_runPhotoCount) : 1.0;
    emit processingStateChanged();
}

void BatchRemovalQueue::runFinishedDispatching(int generation)
{
    m_runs[generation].dispatchDone = true;
    endRunIfDone(generation);
}

// A run ends after the outcome of its last task; the flag clears when no run is left. A run that
// the service stopped says why once, and how many photos it did not send.
void BatchRemovalQueue::endRunIfDone(int generation)
{
    const RunState run = m_runs.value(generation);
    if (!run.dispatchDone || run.tasksLeft > 0)
        return;
    m_runs.remove(generation);
    if (run.uploads && !run.uploads->stopReason().isEmpty()) {
        QString message = run.uploads->stopReason();
        if (run.notSent > 0)
            message += run.notSent == 1 ? QStringLiteral(" 1 photo was not sent.")
                                        : QStringLiteral(" %1 photos were not sent.").arg(run.notSent);
        emit alertRequested(message);
    }
    if (!m_runs.isEmpty())
        return;
    m_uploadsAtService = 0;
    setProcessing(false);
    emit runEnded(int(m_completedInRun.size()), m_failedInRun);
}

void BatchRemovalQueue::setProcessing(bool processing)
{
    if (m_isProcessing == processing && !m_isCancelling)
        return;
    m_isProcessing = processing;
    m_isCancelling = false;
    emit processingStateChanged();
}

// The kept files of the tasks go with the last copy of the tasks.
void BatchRemovalQueue::clearAll()
{
    setTasks({});
    m_notes.clear();
    publish();
    emit tasksChanged();
    // With nothing left to work on, the memory of the work goes back to the system.
    if (!m_isProcessing)
        m_keepingPool.start(releaseEngineMemory);
}

void BatchRemovalQueue::publish()
{
    m_appState.setProcessingQueue(m_tasks);
}

void BatchRemovalQueue::takeListFromAppState()
{
    setTasks(m_appState.processingQueue());
    emit tasksChanged();
}

// ---- Results --------------------------------------------------------------------------------

void BatchRemovalQueue::downloadImage(const ImageProcessingTask& task, const QString& path,
                                      std::function<void(bool)> done)
{
    if (!task.processedImage)
        return;
    auto future = QtConcurrent::run([cutout = *task.processedImage, path] { return saveCutoutFile(cutout, path); });
    future.then(this, [done](bool ok) { done(ok); });
}

void BatchRemovalQueue::downloadAllImages(const QString& folder, std::function<void(QString)> done)
{
    QList<ImageProcessingTask> completed;
    for (const ImageProcessingTask& task : std::as_const(m_tasks))
        if (task.status == ProcessingStatus::completed && task.processedImage)
            completed.append(task);
    if (completed.isEmpty())
        return;

    auto future = QtConcurrent::run([completed, folder] {
        // The folder may be the export subfolder, made on first use.
        QDir().mkpath(folder);
        // Two sources with the same base name must not overwrite each other's result.
        QSet<QString> taken;
        int successes = 0;
        int failures = 0;
        for (const ImageProcessingTask& task : completed) {
            const QString path = distinctPathInFolder(folder, cutoutFileName(task.originalURL), taken);
            (saveCutoutFile(*task.processedImage, path) ? successes : failures)++;
        }
        if (failures > 0)
            return QStringLiteral("Saved %1 images successfully. %2 failed to save.").arg(successes).arg(failures);
        return QStringLiteral("Successfully saved %1 processed images!").arg(successes);
    });
    future.then(this, [done](QString message) { done(message); });
}

void BatchRemovalQueue::openInEditor(const ImageProcessingTask& task)
{
    if (task.processedImage)
        openSessions({task});
}

void BatchRemovalQueue::editSelected()
{
    QList<ImageProcessingTask> completed;
    for (const ImageProcessingTask& task : std::as_const(m_tasks))
        if (task.status == ProcessingStatus::completed && task.processedImage)
            completed.append(task);
    openSessions(completed);
}

void BatchRemovalQueue::openRunResults()
{
    QList<ImageProcessingTask> completed;
    for (const ImageProcessingTask& task : std::as_const(m_tasks))
        if (task.status == ProcessingStatus::completed && task.processedImage && m_completedInRun.contains(task.id))
            completed.append(task);
    openSessions(completed);
}

// The editor works on decoded images: they are decoded here, in order, off the window's thread.
// Each session holds its full-size layers and history, so thousands of cut-outs opened at once
// would exhaust the memory: the first few open and the alert says how to open the others.
void BatchRemovalQueue::openSessions(QList<ImageProcessingTask> tasks)
{
    if (tasks.isEmpty())
        return;
    if (tasks.size() > sessionsOpenedAtOnce) {
        emit alertRequested(tr("%1 cut-outs are ready. The first %2 are open in the editor; open the others "
                               "with Edit on their cards.")
                                .arg(tasks.size())
                                .arg(sessionsOpenedAtOnce));
        tasks.resize(sessionsOpenedAtOnce);
    }
    auto future = QtConcurrent::run([tasks] {
        QList<EditorSession> sessions;
        for (const ImageProcessingTask& task : tasks)
            if (const QImage image = task.processedImage->decode(); !image.isNull())
                sessions.append(EditorSession::fromImage(task.originalURL.fileName(), image));
        return sessions;
    });
    future.then(this, [this](const QList<EditorSession>& sessions) {
        for (const EditorSession& session : sessions)
            m_appState.appendEditorSession(session);
        if (!m_appState.editorSessions().isEmpty())
            m_appState.setActiveTab(AppTab::imageEditor);
    });
}

} // namespace kivo
