#pragma once

#include "core/RawValueEnum.h"

#include <QKeySequence>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>

namespace kivo {

// The order of the cases is the order of the default table.
enum class KeyboardAction {
    newSession,
    openImage,
    save,
    exportImage,
    undo,
    redo,
    copy,
    cut,
    paste,
    selectAll,
    zoomIn,
    zoomOut,
    fitToScreen,
    actualSize,
    switchToBackgroundRemoval,
    switchToImageEditor,
    switchToTransactions,
    switchToTrigger,
    processAll,
    stopProcessing,
    toggleToolsPanel,
    toggleLayersPanel,
    selectPenTool,
    selectBrushTool,
    selectEraserTool,
    settings,
    quit,
};
constexpr RawValueTable<KeyboardAction, 27> rawValueTable(KeyboardAction)
{
    return {{{KeyboardAction::newSession, "newSession"},
             {KeyboardAction::openImage, "openImage"},
             {KeyboardAction::save, "save"},
             {KeyboardAction::exportImage, "export"},
             {KeyboardAction::undo, "undo"},
             {KeyboardAction::redo, "redo"},
             {KeyboardAction::copy, "copy"},
             {KeyboardAction::cut, "cut"},
             {KeyboardAction::paste, "paste"},
             {KeyboardAction::selectAll, "selectAll"},
             {KeyboardAction::zoomIn, "zoomIn"},
             {KeyboardAction::zoomOut, "zoomOut"},
             {KeyboardAction::fitToScreen, "fitToScreen"},
             {KeyboardAction::actualSize, "actualSize"},
             {KeyboardAction::switchToBackgroundRemoval, "switchToBackgroundRemoval"},
             {KeyboardAction::switchToImageEditor, "switchToImageEditor"},
             {KeyboardAction::switchToTransactions, "switchToTransactions"},
             {KeyboardAction::switchToTrigger, "switchToTrigger"},
             {KeyboardAction::processAll, "processAll"},
             {KeyboardAction::stopProcessing, "stopProcessing"},
             {KeyboardAction::toggleToolsPanel, "toggleToolsPanel"},
             {KeyboardAction::toggleLayersPanel, "toggleLayersPanel"},
             {KeyboardAction::selectPenTool, "selectPenTool"},
             {KeyboardAction::selectBrushTool, "selectBrushTool"},
             {KeyboardAction::selectEraserTool, "selectEraserTool"},
             {KeyboardAction::settings, "settings"},
             {KeyboardAction::quit, "quit"}}};
}

enum class ShortcutCategory { file, edit, view, navigation, processing, tools, drawing, system };
constexpr RawValueTable<ShortcutCategory, 8> rawValueTable(ShortcutCategory)
{
    return {{{ShortcutCategory::file, "File"},
             {ShortcutCategory::edit, "Edit"},
             {ShortcutCategory::view, "View"},
             {ShortcutCategory::navigation, "Navigation"},
             {ShortcutCategory::processing, "Processing"},
             {ShortcutCategory::tools, "Tools"},
             {ShortcutCategory::drawing, "Drawing"},
             {ShortcutCategory::system, "System"}}};
}

// Modifier-flag bits, device-independent part of a key event's flags. Command is the Ctrl key
// here, Option is Alt and Control is the Meta (Super) key.
namespace modifier {
inline constexpr quint64 capsLock = 0x10000;
inline constexpr quint64 shift = 0x20000;
inline constexpr quint64 control = 0x40000;
inline constexpr quint64 option = 0x80000;
inline constexpr quint64 command = 0x100000;
inline constexpr quint64 numericPad = 0x200000;
inline constexpr quint64 help = 0x400000;
inline constexpr quint64 function = 0x800000;
inline constexpr quint64 deviceIndependentMask = 0xFFFF0000;
} // namespace modifier

// One key binding. `key` is the character as the user sees it (upper-case letters, digits,
// punctuation); `modifiers` holds the bits above.
struct KeyboardShortcut {
    QUuid id = QUuid::createUuid();
    QString name;
    QString key;
    quint64 modifiers = 0;
    KeyboardAction action = KeyboardAction::newSession;
    ShortcutCategory category = ShortcutCategory::file;
    bool isEnabled = true;

    // The binding as Qt writes key sequences; empty for a key Qt cannot name.
    QKeySequence keySequence() const;
    // "Ctrl+Shift+Z" as the desktop writes it (QKeySequence::NativeText).
    QString keyText() const;
};

// The binding of a key sequence's first chord: its character and modifier bits. Nothing for
// an empty sequence, a modifier alone or a key without a character (F-keys, arrows).
struct KeyBinding {
    QString key;
    quint64 modifiers = 0;
};
std::optional<KeyBinding> keyBindingFromSequence(const QKeySequence& sequence);

// The bindings in matching order; every call makes fresh ids.
QList<KeyboardShortcut> defaultKeyboardShortcuts();

// The name of the binding other than `action`'s that already uses these keys, if any.
std::optional<QString> shortcutUsingKeys(const QList<KeyboardShortcut>& shortcuts, KeyboardAction action,
                                         const KeyBinding& keys);

} // namespace kivo

Q_DECLARE_METATYPE(kivo::KeyboardAction)
