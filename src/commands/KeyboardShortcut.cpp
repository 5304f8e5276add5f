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

} // namespace

QStringList KeyboardShortcut::modifierSymbols() const
{
    // The program's own order, not the platform's usual ⌃⌥⇧⌘.
    QStringList symbols;
    if (modifiers & command)
        symbols << QStringLiteral("⌘");
    if (modifiers & option)
        symbols << QStringLiteral("⌥");
    if (modifiers & control)
        symbols << QStringLiteral("⌃");
    if (modifiers & shift)
        symbols << QStringLiteral("⇧");
    return symbols;
}

QList<KeyboardShortcut> defaultKeyboardShortcuts()
{
    using A = KeyboardAction;
    using C = ShortcutCategory;
    // ⌘1 appears twice; the first row wins, so it always means Actual Size.
    return {
        binding("New Session", "N", command, A::newSession, C::file),
        binding("Open Image", "O", command, A::openImage, C::file),
        binding("Save", "S", command, A::save, C::file),
        binding("Export", "E", command, A::exportImage, C::file),
        binding("Undo", "Z", command, A::undo, C::edit),
        binding("Redo", "Z", command | shift, A::redo, C::edit),
        binding("Copy", "C", command, A::copy, C::edit),
        binding("Paste", "V", command, A::paste, C::edit),
        binding("Select All", "A", command, A::selectAll, C::edit),
        binding("Zoom In", "+", command, A::zoomIn, C::view),
        binding("Zoom Out", "-", command, A::zoomOut, C::view),
        binding("Fit to Screen", "0", command, A::fitToScreen, C::view),
        binding("Actual Size", "1", command, A::actualSize, C::view),
        binding("Switch to Background Removal", "1", command, A::switchToBackgroundRemoval, C::navigation),
        binding("Switch to Image Editor", "2", command, A::switchToImageEditor, C::navigation),
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

QList<KeyboardShortcut> settingsShortcutList()
{
    using A = KeyboardAction;
    QList<KeyboardShortcut> defaults = defaultKeyboardShortcuts();
    const auto row = [&defaults](A action) {
        for (const KeyboardShortcut& shortcut : defaults)
            if (shortcut.action == action)
                return shortcut;
        Q_UNREACHABLE();
    };
    return {row(A::newSession), row(A::openImage),        row(A::save),           row(A::exportImage),
            row(A::undo),       row(A::redo),             row(A::copy),           row(A::paste),
            row(A::zoomIn),     row(A::zoomOut),          row(A::fitToScreen),    row(A::actualSize),
            row(A::toggleLayersPanel), row(A::toggleToolsPanel), row(A::processAll), row(A::settings)};
}

} // namespace kivo
