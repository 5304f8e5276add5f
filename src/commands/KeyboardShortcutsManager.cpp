#include "KeyboardShortcutsManager.h"

#include "core/NotificationCenter.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QTimer>

namespace kivo {

namespace {

// X11's (and xkb's) Lock bit in a key event's native modifier state.
constexpr quint32 nativeLockMask = 0x2;

bool capsLockIn(const QKeyEvent& event)
{
    const QString platform = QGuiApplication::platformName();
    if (platform != u"xcb" && !platform.startsWith(u"wayland"))
        return false;
    return event.nativeModifiers() & nativeLockMask;
}

} // namespace

KeyPress KeyPress::fromEvent(const QKeyEvent& event, bool capsLockOn)
{
    KeyPress press;
    const Qt::KeyboardModifiers mods = event.modifiers();
    if (mods & Qt::ControlModifier)
        press.modifierFlags |= modifier::command;
    if (mods & Qt::AltModifier)
        press.modifierFlags |= modifier::option;
    if (mods & Qt::MetaModifier)
        press.modifierFlags |= modifier::control;
    if (mods & Qt::ShiftModifier)
        press.modifierFlags |= modifier::shift;
    if (mods & Qt::KeypadModifier)
        press.modifierFlags |= modifier::numericPad;
    if (capsLockOn)
        press.modifierFlags |= modifier::capsLock;

    // Text from an input method or a compose sequence can be several characters at once; it is
    // kept whole so that it matches nothing. Otherwise the key code is the character the key
    // produces with Shift applied but without Ctrl, Alt or Meta ("Z" for Ctrl+Shift+Z).
    if (event.text().size() > 1) {
        press.characters = event.text();
        return press;
    }
    const int key = event.key();
    if (key == 0 || key == Qt::Key_unknown || key >= Qt::Key_Escape)
        return press; // a modifier, function or navigation key: no characters
    const char32_t codePoint = char32_t(key);
    press.characters = QString::fromUcs4(&codePoint, 1);
    return press;
}

std::optional<KeyboardAction> matchKeyPress(const QList<KeyboardShortcut>& shortcuts, const KeyPress& press)
{
    if (press.characters.isEmpty())
        return std::nullopt;
    const QString characters = press.characters.toLower();
    const quint64 flags = press.modifierFlags & modifier::deviceIndependentMask;
    for (const KeyboardShortcut& shortcut : shortcuts) {
        if (shortcut.key.toLower() != characters)
            continue;
        if (shortcut.modifiers != flags)
            continue;
        return shortcut.action;
    }
    return std::nullopt;
}

KeyboardShortcutsManager::KeyboardShortcutsManager(QObject* parent)
    : QObject(parent)
    , m_shortcuts(defaultKeyboardShortcuts())
{
}

void KeyboardShortcutsManager::installKeyMonitor(QObject& application)
{
    application.installEventFilter(this);
}

std::optional<KeyboardAction> KeyboardShortcutsManager::handleKeyDown(const KeyPress& press)
{
    const auto action = matchKeyPress(m_shortcuts, press);
    if (!action)
        return std::nullopt;
    const KeyboardAction matched = *action;
    QTimer::singleShot(0, &NotificationCenter::defaultCenter(), [matched] {
        NotificationCenter::defaultCenter().post(kKeyboardShortcutTriggered,
                                                 {{QStringLiteral("action"), QVariant::fromValue(matched)}});
    });
    return action;
}

bool KeyboardShortcutsManager::eventFilter(QObject* watched, QEvent* event)
{
    // A key press reaches the application's filters once for its window and again for every
    // widget it passes on its way to the focus; the window's delivery is the press itself.
    if (event->type() == QEvent::KeyPress && watched->isWindowType()) {
        const auto& keyEvent = static_cast<const QKeyEvent&>(*event);
        handleKeyDown(KeyPress::fromEvent(keyEvent, capsLockIn(keyEvent)));
    }
    return false;
}

} // namespace kivo
