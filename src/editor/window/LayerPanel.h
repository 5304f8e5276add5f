#pragma once

#include "core/DomainModel.h"

#include <QFrame>
#include <QUuid>

class QComboBox;
class QGroupBox;
class QLabel;
class QSlider;
class QToolButton;
class QVBoxLayout;

namespace kivo {

class ImageEditorModel;

// One row of the layer list: drag handle, symbol, name and the visibility button. A click
// selects the layer; the row can be dragged onto another row (its payload is the layer's id
// as text) to put it directly above that row's layer.
class LayerItemView : public QFrame {
    Q_OBJECT
public:
    LayerItemView(const ImageLayer& layer, bool isSelected, QWidget* parent = nullptr);

    const ImageLayer& layer() const { return m_layer; }
    bool isSelected() const { return m_isSelected; }
    QToolButton* visibilityButton() const { return m_visibilityButton; }

signals:
    void selectRequested(const QUuid& layerId);
    void visibilityToggled(const QUuid& layerId);
    // A layer's id was dropped on this row.
    void layerDropped(const QUuid& draggedLayerId, const QUuid& targetLayerId);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    ImageLayer m_layer;
    bool m_isSelected = false;
    QToolButton* m_visibilityButton = nullptr;
    QPoint m_pressPosition;
    bool m_pressed = false;
};

// The layer column: "Layers" with the add button, the rows from the top layer down, and the
// selected layer's opacity and blend mode.
class LayerPanel : public QWidget {
    Q_OBJECT
public:
    explicit LayerPanel(ImageEditorModel& model, QWidget* parent = nullptr);

    QToolButton* addButton() const { return m_addButton; }
    QList<LayerItemView*> rows() const;
    QGroupBox* propertiesGroup() const { return m_properties; }
    QSlider* opacitySlider() const { return m_opacitySlider; }
    QLabel* opacityLabel() const { return m_opacityLabel; }
    QComboBox* blendMenu() const { return m_blendMenu; }

private:
    QWidget* buildProperties();
    void refresh();

    ImageEditorModel& m_model;
    QToolButton* m_addButton = nullptr;
    QVBoxLayout* m_rows = nullptr;
    QGroupBox* m_properties = nullptr;
    QSlider* m_opacitySlider = nullptr;
    QLabel* m_opacityLabel = nullptr;
    QComboBox* m_blendMenu = nullptr;
};

} // namespace kivo
