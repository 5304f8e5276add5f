#pragma once

#include "KeyboardShortcutsManager.h"

#include <QWidget>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace kivo {

class DefaultsStore;

// The settings window's "Shortcuts" tab: every binding by category with the desktop's names
// for its keys. Clicking a binding and pressing new keys changes it; a key another binding has
// is refused with that binding's name; "Reset to Defaults" restores the table.
class KeyboardShortcutsView : public QWidget {
    Q_OBJECT
public:
    explicit KeyboardShortcutsView(DefaultsStore& store, QWidget* parent = nullptr);

    const QList<KeyboardShortcut>& shortcuts() const { return m_manager.shortcuts(); }
    // The button showing the action's keys (clicked to change them).
    QPushButton* keyButton(KeyboardAction action) const;
    QString message() const;

    void resetToDefaults();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rebuildRows();
    void startCapture(KeyboardAction action);
    void finishCapture(const QKeyEvent& event);

    KeyboardShortcutsManager m_manager;
    QVBoxLayout* m_rows = nullptr;
    QLabel* m_message = nullptr;
    std::optional<KeyboardAction> m_capturing;
};

// Whether a key press that reached `window` belongs to the main window's shortcuts: it went to
// the main window (its popups are inside it), no dialog or menu is open, and the focus is not
// in a text field, which keeps every key typed into it.
bool mainWindowShortcutMayFire(const QWidget& mainWindow, QObject* window);

} // namespace kivo
