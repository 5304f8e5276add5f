#pragma once

#include "KeyboardShortcut.h"

#include <QWidget>

#include <optional>

class QVBoxLayout;

namespace kivo {

// The read-only list of shortcuts on the settings window's "Shortcuts" tab.
class KeyboardShortcutsView : public QWidget {
    Q_OBJECT
public:
    explicit KeyboardShortcutsView(QWidget* parent = nullptr);

    const QList<KeyboardShortcut>& shortcuts() const { return m_shortcuts; }

    // Rebuilds the list from the defaults (the bindings themselves cannot be changed).
    void resetToDefaults();

private:
    void rebuildRows();

    QList<KeyboardShortcut> m_shortcuts;
    QVBoxLayout* m_rows = nullptr;
};

// The modal open panel of the "Open Image" shortcut: one PNG, JPEG or TIFF file.
std::optional<QUrl> chooseImageToOpen(QWidget* parent);

} // namespace kivo
