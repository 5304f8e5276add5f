#pragma once

#include "editor/rendering/ImageFilters.h"

#include <QScrollArea>

#include <array>

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSlider;
class QToolButton;

namespace kivo {

class ColorButton;
class ImageEditorModel;
class ToolButton;

// The editor's tool column: the drawing tools with the brush colour and size, the selection
// and crop actions while their tool is chosen, the five filters and the canvas background.
class ToolPanel : public QScrollArea {
    Q_OBJECT
public:
    explicit ToolPanel(ImageEditorModel& model, QWidget* parent = nullptr);

    ToolButton* brushButton() const { return m_brushButton; }
    ToolButton* penButton() const { return m_penButton; }
    ToolButton* eraserMenuButton() const { return m_eraserMenuButton; }
    QAction* eraserToolAction() const { return m_eraserToolAction; }
    QAction* removeBackgroundAction() const { return m_removeBackgroundAction; }
    ToolButton* selectionButton() const { return m_selectionButton; }
    ToolButton* cropButton() const { return m_cropButton; }
    ColorButton* brushColorButton() const { return m_brushColorButton; }
    QSlider* brushSizeSlider() const { return m_brushSizeSlider; }
    QLabel* brushSizeLabel() const { return m_brushSizeLabel; }
    QGroupBox* selectionGroup() const { return m_selectionGroup; }
    QPushButton* copyButton() const { return m_copyButton; }
    QPushButton* cutButton() const { return m_cutButton; }
    QPushButton* pasteButton() const { return m_pasteButton; }
    QPushButton* deleteButton() const { return m_deleteButton; }
    QGroupBox* cropGroup() const { return m_cropGroup; }
    QPushButton* applyCropButton() const { return m_applyCropButton; }
    QPushButton* cancelCropButton() const { return m_cancelCropButton; }
    QCheckBox* filterBox(FilterType type) const { return m_filterBoxes[size_t(type)]; }
    QComboBox* backgroundMenu() const { return m_backgroundMenu; }
    ColorButton* customColorButton() const { return m_customColorButton; }

private:
    QWidget* buildDrawingGroup();
    QWidget* buildSelectionGroup();
    QWidget* buildCropGroup();
    QWidget* buildFiltersGroup();
    QWidget* buildCanvasGroup();
    void refreshTools();
    void refreshSession();

    ImageEditorModel& m_model;
    ToolButton* m_brushButton = nullptr;
    ToolButton* m_penButton = nullptr;
    ToolButton* m_eraserMenuButton = nullptr;
    QAction* m_eraserToolAction = nullptr;
    QAction* m_removeBackgroundAction = nullptr;
    ToolButton* m_selectionButton = nullptr;
    ToolButton* m_cropButton = nullptr;
    ColorButton* m_brushColorButton = nullptr;
    QSlider* m_brushSizeSlider = nullptr;
    QLabel* m_brushSizeLabel = nullptr;
    QGroupBox* m_selectionGroup = nullptr;
    QPushButton* m_copyButton = nullptr;
    QPushButton* m_cutButton = nullptr;
    QPushButton* m_pasteButton = nullptr;
    QPushButton* m_deleteButton = nullptr;
    QGroupBox* m_cropGroup = nullptr;
    QPushButton* m_applyCropButton = nullptr;
    QPushButton* m_cancelCropButton = nullptr;
    std::array<QCheckBox*, 5> m_filterBoxes{};
    QComboBox* m_backgroundMenu = nullptr;
    QLabel* m_customColorLabel = nullptr;
    ColorButton* m_customColorButton = nullptr;
};

} // namespace kivo
