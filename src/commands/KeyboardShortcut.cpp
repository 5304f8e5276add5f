#include "KeyboardShortcut.h"

namespace kivo {

namespace {

using namespace modifier;

KeyboardShortcut binding(const char* name, const char* key, quint64 modifiers, KeyboardAction action,
                         ShortcutCategory category)
{
    KeyboardShortcut shortcut;
    shortcut.name = QString::fromUtf8(name);
    shortcut.key = QString::fromUtf8(key);
    shortcut.modifiers = modifiers;
    shortcut.action = action;
    shortcut.category = category;
    return shortcut;
}

bool isLetter(const QString& key)
{
    return key.size() == 1 && key.front().isLetter();
}

} // namespace

QKeySequence KeyboardShortcut::keySequence() const
{
    if (key.size() != 1)
        return {};
    Qt::KeyboardModifiers mods;
    if (modifiers & command)
        mods |= Qt::ControlModifier;
    if (modifiers & option)
        mods |= Qt::AltModifier;
    if (modifiers & control)
        mods |= Qt::MetaModifier;
    if (modifiers & shift)
        mods |= Qt::ShiftModifier;
    // Qt's key codes for letters are their upper-case characters, for digits and punctuation
    // the characters themselves.
    return QKeySequence(QKeyCombination(mods, Qt::Key(key.front().toUpper().unicode())));
}

QString KeyboardShortcut::keyText() const
{
    return keySequence().toString(QKeySequence::NativeText);
}

std::optional<KeyBinding> keyBindingFromSequence(const QKeySequence& sequence)
{
    if (sequence.isEmpty())
        return std::nullopt;
    const QKeyCombination chord = sequence[0];
    const int key = chord.key();
    if (key <= 0 || key >= Qt::Key_Escape || key == Qt::Key_Space)
        return std::nullopt;
    KeyBinding binding;
    binding.key = QString(QChar(key)).toUpper();
    const Qt::KeyboardModifiers mods = chord.keyboardModifiers();
    if (mods & Qt::ControlModifier)
        binding.modifiers |= command;
    if (mods & Qt::AltModifier)
        binding.modifiers |= option;
    if (mods & Qt::MetaModifier)
        binding.modifiers |= control;
    // Shift is part of a letter's binding; for other keys it is already in the character ("+"
    // is Shift+= on many keyboards), so it is not kept twice.
    if ((mods & Qt::ShiftModifier) && isLetter(binding.key))
        binding.modifiers |= shift;
    return binding;
}

QList<KeyboardShortcut> defaultKeyboardShortcuts()
{
    using A = KeyboardAction;
    using C = ShortcutCategory;
    // One key, one action: the four tabs take Ctrl+1 to Ctrl+4, so Actual Size has Ctrl+Alt+0.
    return {
        binding("New Session", "N", command, A::newSession, C::file),
        binding("Open Image", "O", command, A::openImage, C::file),
        binding("Save", "S", command, A::save, C::file),
        binding("Export", "E", command, A::exportImage, C::file),
        binding("Undo", "Z", command, A::undo, C::edit),
        binding("Redo", "Z", command | shift, A::redo, C::edit),
        binding("Copy", "C", command, A::copy, C::edit),
        binding("Cut", "X", command, A::cut, C::edit),
        binding("Paste", "V", command, A::paste, C::edit),
        binding("Select All", "A", command, A::selectAll, C::edit),
        binding("Zoom In", "+", command, A::zoomIn, C::view),
        binding("Zoom Out", "-", command, A::zoomOut, C::view),
        binding("Fit to Screen", "0", command, A::fitToScreen, C::view),
        binding("Actual Size", "0", command | option, A::actualSize, C::view),
        binding("Switch to Background Removal", "1", command, A::switchToBackgroundRemoval, C::navigation),
        binding("Switch to Image Editor", "2", command, A::switchToImageEditor, C::navigation),
        binding("Switch to Transactions", "3", command, A::switchToTransactions, C::navigation),
        binding("Switch to Trigger", "4", command, A::switchToTrigger, C::navigation),
        binding("Process All", "P", command | shift, A::processAll, C::processing),
        binding("Stop Processing", ".", command, A::stopProcessing, C::processing),
        binding("Toggle Tools Panel", "T", command | option, A::toggleToolsPanel, C::tools),
        binding("Toggle Layers Panel", "L", command | option, A::toggleLayersPanel, C::tools),
        binding("Select Pen Tool", "P", 0, A::selectPenTool, C::drawing),
        binding("Select Brush Tool", "B", 0, A::selectBrushTool, C::drawing),
        binding("Select Eraser Tool", "E", 0, A::selectEraserTool, C::drawing),
        binding("Settings", ",", command, A::settings, C::system),
        binding("Quit", "Q", command, A::quit, C::system),
    };
}

std::optional<QString> shortcutUsingKeys(const QList<KeyboardShortcut>& shortcuts, KeyboardAction action,
                                         const KeyBinding& keys)
{
    for (const KeyboardShortcut& shortcut : shortcuts)
        if (shortcut.action != action && shortcut.key.compare(keys.key, Qt::CaseInsensitive) == 0
            && shortcut.modifiers == keys.modifiers)
            return shortcut.name;
    return std::nullopt;
}

} // namespace kivo
