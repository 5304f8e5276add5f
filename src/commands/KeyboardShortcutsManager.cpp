#include "KeyboardShortcutsManager.h"

#include "core/DefaultsStore.h"
#include "core/NotificationCenter.h"

#include <QJsonDocument>
#include <QJsonObject>

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

namespace {

constexpr quint64 meaningfulModifiers = modifier::command | modifier::option | modifier::control | modifier::shift;

bool isLetter(const QString& characters)
{
    return characters.size() == 1 && characters.front().isLetter();
}

std::optional<KeyboardAction> matchExactly(const QList<KeyboardShortcut>& shortcuts, const QString& characters,
                                           quint64 flags)
{
    for (const KeyboardShortcut& shortcut : shortcuts)
        if (shortcut.key.compare(characters, Qt::CaseInsensitive) == 0 && shortcut.modifiers == flags)
            return shortcut.action;
    return std::nullopt;
}

} // namespace

std::optional<KeyboardAction> matchKeyPress(const QList<KeyboardShortcut>& shortcuts, const KeyPress& press)
{
    if (press.characters.isEmpty())
        return std::nullopt;
    quint64 flags = press.modifierFlags & meaningfulModifiers;
    if (!isLetter(press.characters))
        flags &= ~modifier::shift;
    if (const auto action = matchExactly(shortcuts, press.characters, flags))
        return action;
    if (press.characters == u"=")
        return matchExactly(shortcuts, QStringLiteral("+"), flags);
    return std::nullopt;
}

QList<KeyboardShortcut> loadKeyboardShortcuts(const DefaultsStore& store)
{
    QList<KeyboardShortcut> shortcuts = defaultKeyboardShortcuts();
    const auto stored = store.data(KeyboardShortcutsManager::storeKey);
    if (!stored)
        return shortcuts;
    const QJsonObject changes = QJsonDocument::fromJson(*stored).object();
    for (KeyboardShortcut& shortcut : shortcuts) {
        const QJsonValue keys = changes.value(rawValue(shortcut.action));
        if (!keys.isString())
            continue;
        if (const auto binding = keyBindingFromSequence(QKeySequence(keys.toString(), QKeySequence::PortableText))) {
            shortcut.key = binding->key;
            shortcut.modifiers = binding->modifiers;
        }
    }
    return shortcuts;
}

KeyboardShortcutsManager::KeyboardShortcutsManager(DefaultsStore& store, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_shortcuts(loadKeyboardShortcuts(store))
{
    connect(&NotificationCenter::defaultCenter(), &NotificationCenter::posted, this,
            [this](const QString& name) {
                if (name == kKeyboardShortcutsChanged)
                    reload();
            });
}

std::optional<QString> KeyboardShortcutsManager::rebind(KeyboardAction action, const KeyBinding& keys)
{
    if (const auto owner = shortcutUsingKeys(m_shortcuts, action, keys)) {
        KeyboardShortcut taken;
        taken.key = keys.key;
        taken.modifiers = keys.modifiers;
        return tr("%1 is already used by \u201c%2\u201d.").arg(taken.keyText(), *owner);
    }
    for (KeyboardShortcut& shortcut : m_shortcuts)
        if (shortcut.action == action) {
            shortcut.key = keys.key;
            shortcut.modifiers = keys.modifiers;
        }
    save();
    return std::nullopt;
}

void KeyboardShortcutsManager::resetToDefaults()
{
    m_store.remove(storeKey);
    NotificationCenter::defaultCenter().post(kKeyboardShortcutsChanged);
}

void KeyboardShortcutsManager::save()
{
    // Only the bindings the user changed are kept, so a later version's new defaults reach them.
    const QList<KeyboardShortcut> defaults = defaultKeyboardShortcuts();
    QJsonObject changes;
    for (const KeyboardShortcut& shortcut : m_shortcuts)
        for (const KeyboardShortcut& original : defaults)
            if (original.action == shortcut.action
                && (original.key != shortcut.key || original.modifiers != shortcut.modifiers))
                changes.insert(rawValue(shortcut.action), shortcut.keySequence().toString(QKeySequence::PortableText));
    if (changes.isEmpty())
        m_store.remove(storeKey);
    else
        m_store.setData(storeKey, QJsonDocument(changes).toJson(QJsonDocument::Compact));
    NotificationCenter::defaultCenter().post(kKeyboardShortcutsChanged);
}

void KeyboardShortcutsManager::reload()
{
    m_shortcuts = loadKeyboardShortcuts(m_store);
    emit shortcutsChanged();
}

void KeyboardShortcutsManager::installKeyMonitor(QObject& application, PressFilter mayFire)
{
    m_mayFire = std::move(mayFire);
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
    if (event->type() != QEvent::KeyPress || !watched->isWindowType())
        return false;
    if (m_mayFire && !m_mayFire(watched))
        return false;
    const auto& keyEvent = static_cast<const QKeyEvent&>(*event);
    return handleKeyDown(KeyPress::fromEvent(keyEvent, capsLockIn(keyEvent))).has_value();
}

} // namespace kivo
