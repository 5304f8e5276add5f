#pragma once

#include <QDir>
#include <QHash>
#include <QObject>
#include <QThreadPool>
#include <QTimer>
#include <QUuid>

#include <functional>

namespace kivo {

class AppState;

// Keeps every editor session saved as an OpenRaster file in one folder, so that work survives
// a restart: a change is saved a moment after the last one (debounced, and at the latest
// `longestWaitMs` after the first unsaved change while changes keep coming), off the window's
// thread, each file replaced atomically. The window's thread only hands over the session (its
// images are shared, not copied); composing and encoding happen on the saver's own thread, which
// writes one file after the other in the order asked, so a file never goes back to an older
// state. A session that leaves the list loses its file. restore() brings the saved sessions back
// into the list, in their last state (the undo history is not kept), and clears what a save cut
// short by a crash left behind. Runs only while the "Auto-save sessions" preference is on.
class SessionAutoSaver : public QObject {
    Q_OBJECT
public:
    SessionAutoSaver(AppState& appState, const QString& folder, QObject* parent = nullptr);
    // Waits for the saves under way.
    ~SessionAutoSaver() override;

    // Reads the folder off the window's thread and appends its sessions to the list.
    void restore();
    // Saves what changed now, without waiting for the debounce (tests, quitting).
    void saveNow();
    bool isSaving() const { return m_saving > 0; }
    // Blocks until every save asked for so far is on disk (quitting); false after `timeoutMs`.
    bool waitForSaves(int timeoutMs);

    // The pauses before a save; tests shorten them.
    void setDelays(int debounceMs, int longestWaitMs);

    static constexpr int debounceMs = 1500;
    static constexpr int longestWaitMs = 10000;
    // The writer's thread runs this much nicer than the window's, so that a save slows no stroke.
    static constexpr int writerNiceness = 5;

signals:
    void restored();
    void saved();

private:
    void sessionsChanged();
    // A timer's save: while a save is still being written, the next one waits for it.
    void saveWhenIdle();
    QString fileOf(const QUuid& id) const;
    // Runs on the writer's thread after what was queued before; isSaving() until it is done.
    void write(std::function<void()> work);

    AppState& m_appState;
    QDir m_folder;
    QTimer m_debounce;
    QTimer m_longestWait;
    // One thread: the files are written one after the other, in the order they were asked for.
    QThreadPool m_writer;
    // What each session looked like when last saved.
    QHash<QUuid, QString> m_savedStates;
    int m_saving = 0;
    bool m_saveAgain = false;
    bool m_restoring = false;
};

} // namespace kivo
