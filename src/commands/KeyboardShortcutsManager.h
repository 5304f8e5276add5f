#pragma once

#include "KeyboardShortcut.h"

#include <QObject>

#include <functional>
#include <optional>

class QKeyEvent;

namespace kivo {

class DefaultsStore;

// One key press as the shortcuts see it: the characters the key produces without modifiers
// other than Shift, and the modifier-flag bits.
struct KeyPress {
    QString characters;
    quint64 modifierFlags = 0;

    // Ctrl counts as Command, Alt as Option, Meta as Control; keypad keys and Caps Lock set
    // their own bits. `capsLockOn` comes from the window system's key state.
    static KeyPress fromEvent(const QKeyEvent& event, bool capsLockOn);
};

// The binding whose key equals the characters (letters in either case) and whose modifiers
// equal the press's Ctrl, Alt, Meta and Shift. Caps Lock, Num Lock and the keypad never change
// what a key means; Shift counts only for letters, since other characters already carry it
// ("+" is Shift+= on many keyboards). "=" is also Zoom In's "+", as on keyboards without a
// separate plus key.
std::optional<KeyboardAction> matchKeyPress(const QList<KeyboardShortcut>& shortcuts, const KeyPress& press);

// The table with the user's changes from the store applied; changes name the action by its
// raw value and the keys in Qt's portable text ("Ctrl+Shift+Z"). Unknown actions and keys are
// skipped.
QList<KeyboardShortcut> loadKeyboardShortcuts(const DefaultsStore& store);

// Holds the table of bindings, lets the user change it, and turns matching key presses into a
// "keyboardShortcutTriggered" notification. Every manager over the same store follows the
// changes any of them makes. Lives on the window's thread.
class KeyboardShortcutsManager : public QObject {
    Q_OBJECT
public:
    static constexpr QLatin1StringView storeKey{"keyboardShortcuts"};

    explicit KeyboardShortcutsManager(DefaultsStore& store, QObject* parent = nullptr);

    const QList<KeyboardShortcut>& shortcuts() const { return m_shortcuts; }

    // Binds the action to the keys and keeps the change. A key another binding already has is
    // refused: the answer is the sentence the user reads, naming that binding.
    std::optional<QString> rebind(KeyboardAction action, const KeyBinding& keys);
    void resetToDefaults();

    // Watches the key presses the application receives. `mayFire` says whether a press that
    // reached the given window belongs to the shortcuts at all (not typed into a text field, not
    // in another window); a press that fires a shortcut is consumed.
    using PressFilter = std::function<bool(QObject* window)>;
    void installKeyMonitor(QObject& application, PressFilter mayFire);

    // The matched action, whose notification is posted on the next turn of the event loop.
    std::optional<KeyboardAction> handleKeyDown(const KeyPress& press);

signals:
    void shortcutsChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void save();
    void reload();

    DefaultsStore& m_store;
    QList<KeyboardShortcut> m_shortcuts;
    PressFilter m_mayFire;
};

} // namespace kivo
