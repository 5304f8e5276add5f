#pragma once

#include "KeyboardShortcut.h"

#include <QObject>

#include <optional>

class QKeyEvent;

namespace kivo {

// One key press as the shortcuts see it: the characters the key produces without modifiers
// other than Shift, and the modifier-flag bits.
struct KeyPress {
    QString characters;
    quint64 modifierFlags = 0;

    // Ctrl counts as Command, Alt as Option, Meta as Control; keypad keys and Caps Lock set
    // their own bits. `capsLockOn` comes from the window system's key state.
    static KeyPress fromEvent(const QKeyEvent& event, bool capsLockOn);
};

// The first binding whose key equals the characters (both lower-cased, whole strings) and
// whose modifiers equal the flags' device-independent bits exactly.
std::optional<KeyboardAction> matchKeyPress(const QList<KeyboardShortcut>& shortcuts, const KeyPress& press);

// Holds the fixed table of bindings and turns matching key presses into a
// "keyboardShortcutTriggered" notification. Lives on the window's thread.
class KeyboardShortcutsManager : public QObject {
    Q_OBJECT
public:
    explicit KeyboardShortcutsManager(QObject* parent = nullptr);

    const QList<KeyboardShortcut>& shortcuts() const { return m_shortcuts; }

    // Watches every key press the application receives. The presses are only observed: the
    // focused control still gets them, so typing "p" into a text field still types a "p".
    void installKeyMonitor(QObject& application);

    // The matched action, whose notification is posted on the next turn of the event loop.
    std::optional<KeyboardAction> handleKeyDown(const KeyPress& press);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QList<KeyboardShortcut> m_shortcuts;
};

} // namespace kivo
