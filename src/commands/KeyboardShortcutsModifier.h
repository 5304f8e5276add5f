#pragma once

#include "KeyboardShortcutsManager.h"

#include <QObject>
#include <QUrl>

#include <functional>
#include <optional>

namespace kivo {

class AppState;

// Performs the action of every "keyboardShortcutTriggered" notification on the application
// state, or hands it on as the notification the owning screen listens for. Owns the shortcut
// registry. Lives on the window's thread.
class KeyboardShortcutsModifier : public QObject {
    Q_OBJECT
public:
    // Asks the user for one image file (modal); nothing when cancelled.
    using ImageFileChooser = std::function<std::optional<QUrl>()>;

    KeyboardShortcutsModifier(AppState& appState, ImageFileChooser chooseImageFile, QObject* parent = nullptr);

    KeyboardShortcutsManager& shortcutsManager() { return m_shortcutsManager; }

    void perform(KeyboardAction action);

private:
    void onNotification(const QString& name, const QVariantMap& userInfo);
    void changeZoom(double delta);

    AppState& m_appState;
    ImageFileChooser m_chooseImageFile;
    KeyboardShortcutsManager m_shortcutsManager;
};

} // namespace kivo
