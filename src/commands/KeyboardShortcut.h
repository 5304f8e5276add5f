#pragma once

#include "core/RawValueEnum.h"

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QUuid>

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
    paste,
    selectAll,
    zoomIn,
    zoomOut,
    fitToScreen,
    actualSize,
    switchToBackgroundRemoval,
    switchToImageEditor,
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
constexpr RawValueTable<KeyboardAction, 24> rawValueTable(KeyboardAction)
{
    return {{{KeyboardAction::newSession, "newSession"},
             {KeyboardAction::openImage, "openImage"},
             {KeyboardAction::save, "save"},
             {KeyboardAction::exportImage, "export"},
             {KeyboardAction::undo, "undo"},
             {KeyboardAction::redo, "redo"},
             {KeyboardAction::copy, "copy"},
             {KeyboardAction::paste, "paste"},
             {KeyboardAction::selectAll, "selectAll"},
             {KeyboardAction::zoomIn, "zoomIn"},
             {KeyboardAction::zoomOut, "zoomOut"},
             {KeyboardAction::fitToScreen, "fitToScreen"},
             {KeyboardAction::actualSize, "actualSize"},
             {KeyboardAction::switchToBackgroundRemoval, "switchToBackgroundRemoval"},
             {KeyboardAction::switchToImageEditor, "switchToImageEditor"},
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

// One key binding.
struct KeyboardShortcut {
    QUuid id = QUuid::createUuid();
    QString name;
    QString key;
    quint64 modifiers = 0;
    KeyboardAction action = KeyboardAction::newSession;
    ShortcutCategory category = ShortcutCategory::file;
    bool isEnabled = true;

    // "⌘", "⌥", "⌃", "⇧" in that order, each only when its bit is set.
    QStringList modifierSymbols() const;
};

// The 24 bindings in matching order; every call makes fresh ids.
QList<KeyboardShortcut> defaultKeyboardShortcuts();

// The 16 rows the settings window lists, in its own order; every call makes fresh ids.
QList<KeyboardShortcut> settingsShortcutList();

} // namespace kivo

Q_DECLARE_METATYPE(kivo::KeyboardAction)
