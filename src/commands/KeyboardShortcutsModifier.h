#pragma once

#include "KeyboardShortcutsManager.h"

#include <QObject>

#include <functional>

namespace kivo {

class AppState;

// Performs the actions of "keyboardShortcutTriggered" that belong to the whole window (tabs,
// panels, settings, quit) and hands the processing ones on as the notifications the batch tab
// listens for. Actions of a screen's own work (undo, zoom, clipboard, tools, open, save, stop)
// are performed by the screen that is on show, which listens for the same notification. Owns
// the shortcut registry. Lives on the window's thread.
class KeyboardShortcutsModifier : public QObject {
    Q_OBJECT
public:
    // `requestQuit` closes the main window, so quitting goes through its guard.
    KeyboardShortcutsModifier(AppState& appState, std::function<void()> requestQuit, QObject* parent = nullptr);

    KeyboardShortcutsManager& shortcutsManager() { return m_shortcutsManager; }

    void perform(KeyboardAction action);

private:
    void onNotification(const QString& name, const QVariantMap& userInfo);

    AppState& m_appState;
    std::function<void()> m_requestQuit;
    KeyboardShortcutsManager m_shortcutsManager;
};

} // namespace kivo
