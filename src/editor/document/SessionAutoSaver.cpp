#include "SessionAutoSaver.h"

#include "OpenRasterFile.h"

#include "core/AppState.h"
#include "core/Log.h"

#include <QFile>
#include <QFutureWatcher>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

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

} // namespace

SessionAutoSaver::SessionAutoSaver(AppState& appState, const QString& folder, QObject* parent)
    : QObject(parent)
    , m_appState(appState)
    , m_folder(folder)
{
    m_debounce.setSingleShot(true);
    m_debounce.setInterval(debounceMs);
    connect(&m_debounce, &QTimer::timeout, this, &SessionAutoSaver::saveNow);
    connect(&appState, &AppState::editorSessionsChanged, this, &SessionAutoSaver::sessionsChanged);
}

QString SessionAutoSaver::fileOf(const QUuid& id) const
{
    return m_folder.filePath(id.toString(QUuid::WithoutBraces) + QStringLiteral(".ora"));
}

void SessionAutoSaver::sessionsChanged()
{
    if (!m_restoring && m_appState.userPreferences().autoSaveSessions)
        m_debounce.start();
}

void SessionAutoSaver::saveNow()
{
    m_debounce.stop();
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
        ++m_saving;
        auto* watcher = new QFutureWatcher<void>(this);
        connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
            watcher->deleteLater();
            if (--m_saving == 0)
                emit saved();
        });
        const QString path = fileOf(session.id);
        watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [session, path] {
            if (const auto failure = saveSessionFile(path, session))
                logLine(QStringLiteral("Auto-save failed: ") + *failure);
        }));
    }
    // Closed sessions take their files with them.
    for (auto it = m_savedStates.cbegin(); it != m_savedStates.cend(); ++it)
        if (!current.contains(it.key()))
            QFile::remove(fileOf(it.key()));
    m_savedStates = current;
    if (m_saving == 0)
        emit saved();
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
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [folder] {
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
