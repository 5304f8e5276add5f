#include "SessionAutoSaver.h"

#include "OpenRasterFile.h"

#include "core/AppState.h"
#include "core/Log.h"

#include <QFile>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kivo {

namespace {

// A session's state as far as saving is concerned: another step, an undo or a rename shows.
QString stateOf(const EditorSession& session)
{
    return QStringLiteral("%1/%2/%3/%4")
        .arg(session.name)
        .arg(session.currentHistoryIndex)
        .arg(session.documentHistory.size())
        .arg(session.history.size());
}

// A save cut short (a crash, kill -9) leaves its temporary file beside the session's file:
// "<id>.ora.XXXXXX". The session's file itself is whole, the old state or the new one.
void removeUnfinishedSaves(const QDir& folder)
{
    for (const QFileInfo& info : folder.entryInfoList({QStringLiteral("*.ora.*")}, QDir::Files | QDir::Hidden))
        if (QFile::remove(info.filePath()))
            logLine(QStringLiteral("Removed an unfinished auto-save: ") + info.fileName());
}

// Saves give way to the window's thread: the writer's thread runs at a raised niceness (Linux
// keeps it per thread; raising needs no privilege).
void yieldToTheWindow()
{
    static thread_local bool raised = false;
    if (!raised)
        ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), SessionAutoSaver::writerNiceness);
    raised = true;
}

} // namespace

SessionAutoSaver::SessionAutoSaver(AppState& appState, const QString& folder, QObject* parent)
    : QObject(parent)
    , m_appState(appState)
    , m_folder(folder)
{
    m_writer.setMaxThreadCount(1);
    m_debounce.setSingleShot(true);
    m_longestWait.setSingleShot(true);
    setDelays(debounceMs, longestWaitMs);
    connect(&m_debounce, &QTimer::timeout, this, &SessionAutoSaver::saveWhenIdle);
    connect(&m_longestWait, &QTimer::timeout, this, &SessionAutoSaver::saveWhenIdle);
    connect(&appState, &AppState::editorSessionsChanged, this, &SessionAutoSaver::sessionsChanged);
}

SessionAutoSaver::~SessionAutoSaver()
{
    m_writer.waitForDone();
}

void SessionAutoSaver::setDelays(int debounce, int longestWait)
{
    m_debounce.setInterval(debounce);
    m_longestWait.setInterval(longestWait);
}

QString SessionAutoSaver::fileOf(const QUuid& id) const
{
    return m_folder.filePath(id.toString(QUuid::WithoutBraces) + QStringLiteral(".ora"));
}

void SessionAutoSaver::sessionsChanged()
{
    if (m_restoring || !m_appState.userPreferences().autoSaveSessions)
        return;
    m_debounce.start();
    if (!m_longestWait.isActive())
        m_longestWait.start();
}

void SessionAutoSaver::saveWhenIdle()
{
    if (m_saving > 0) {
        m_saveAgain = true;
        return;
    }
    saveNow();
}

void SessionAutoSaver::saveNow()
{
    m_debounce.stop();
    m_longestWait.stop();
    m_saveAgain = false;
    if (!m_appState.userPreferences().autoSaveSessions)
        return;
    m_folder.mkpath(QStringLiteral("."));
    QHash<QUuid, QString> current;
    for (const EditorSession& session : m_appState.editorSessions()) {
        if (session.layers.isEmpty())
            continue;
        const QString state = stateOf(session);
        current.insert(session.id, state);
        if (m_savedStates.value(session.id) == state)
            continue;
        // The copy shares the session's images and history; nothing is copied or encoded here.
        const QString path = fileOf(session.id);
        write([session, path] {
            yieldToTheWindow();
            if (const auto failure = saveSessionFile(path, session))
                logLine(QStringLiteral("Auto-save failed: ") + *failure);
        });
    }
    // Closed sessions take their files with them, after any save of theirs still queued.
    QStringList closed;
    for (auto it = m_savedStates.cbegin(); it != m_savedStates.cend(); ++it)
        if (!current.contains(it.key()))
            closed << fileOf(it.key());
    if (!closed.isEmpty())
        write([closed] {
            for (const QString& path : closed)
                QFile::remove(path);
        });
    m_savedStates = current;
    if (m_saving == 0)
        emit saved();
}

void SessionAutoSaver::write(std::function<void()> work)
{
    ++m_saving;
    auto* watcher = new QFutureWatcher<void>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        if (--m_saving > 0)
            return;
        if (m_saveAgain)
            saveNow();
        else
            emit saved();
    });
    watcher->setFuture(QtConcurrent::run(&m_writer, std::move(work)));
}

bool SessionAutoSaver::waitForSaves(int timeoutMs)
{
    return m_writer.waitForDone(timeoutMs);
}

void SessionAutoSaver::restore()
{
    if (!m_appState.userPreferences().autoSaveSessions) {
        emit restored();
        return;
    }
    m_restoring = true;
    using Found = QList<EditorSession>;
    auto* watcher = new QFutureWatcher<Found>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        for (const EditorSession& session : watcher->result()) {
            m_savedStates.insert(session.id, stateOf(session));
            m_appState.appendEditorSession(session);
        }
        m_restoring = false;
        emit restored();
    });
    const QDir folder = m_folder;
    // On the writer's thread: no save of this run can have started a file yet.
    watcher->setFuture(QtConcurrent::run(&m_writer, [folder] {
        removeUnfinishedSaves(folder);
        Found found;
        const QFileInfoList files = folder.entryInfoList({QStringLiteral("*.ora")}, QDir::Files, QDir::Time | QDir::Reversed);
        for (const QFileInfo& info : files) {
            auto opened = readSessionFile(info.filePath());
            if (auto* document = std::get_if<OpenedDocument>(&opened)) {
                // The file is named after the session it keeps.
                const QUuid id(info.completeBaseName());
                if (!id.isNull())
                    document->session.id = id;
                found << document->session;
            } else {
                logLine(QStringLiteral("Auto-saved session could not be read: ") + info.fileName());
            }
        }
        return found;
    }));
}

} // namespace kivo
