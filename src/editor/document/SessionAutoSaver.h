#pragma once

#include <QDir>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <QUuid>

namespace kivo {

class AppState;

// Keeps every editor session saved as an OpenRaster file in one folder, so that work survives
// a restart: a change is saved a moment after the last one (debounced), off the window's
// thread, each file replaced atomically; a session that leaves the list loses its file.
// restore() brings the saved sessions back into the list, in their last state (the undo
// history is not kept). Runs only while the "Auto-save sessions" preference is on.
class SessionAutoSaver : public QObject {
    Q_OBJECT
public:
    SessionAutoSaver(AppState& appState, const QString& folder, QObject* parent = nullptr);

    // Reads the folder off the window's thread and appends its sessions to the list.
    void restore();
    // Saves what changed now, without waiting for the debounce (tests, quitting).
    void saveNow();
    bool isSaving() const { return m_saving > 0; }

    static constexpr int debounceMs = 1500;

signals:
    void restored();
    void saved();

private:
    void sessionsChanged();
    QString fileOf(const QUuid& id) const;

    AppState& m_appState;
    QDir m_folder;
    QTimer m_debounce;
    // What each session looked like when last saved.
    QHash<QUuid, QString> m_savedStates;
    int m_saving = 0;
    bool m_restoring = false;
};

} // namespace kivo
