#pragma once

#include "core/DomainModel.h"

#include <QFrame>
#include <QHash>
#include <QPixmap>
#include <QUuid>

#include <optional>

class QComboBox;
class QGroupBox;
class QLabel;
class QSlider;
class QToolButton;
class QVBoxLayout;

namespace kivo {

class ImageEditorModel;

// One row of the layer list: drag handle, thumbnail, name (elided with "…" when long) and the
// visibility button. A click selects the layer, a double-click renames it; the row can be
// dragged onto another row (its payload is the layer's id as text) to put it directly above
// that row's layer.
class LayerItemView : public QFrame {
    Q_OBJECT
public:
    LayerItemView(const ImageLayer& layer, bool isSelected, const QPixmap& thumbnail, QWidget* parent = nullptr);

    const ImageLayer& layer() const { return m_layer; }
    bool isSelected() const { return m_isSelected; }
    QToolButton* visibilityButton() const { return m_visibilityButton; }
    QLabel* nameLabel() const { return m_name; }
    QLabel* thumbnailLabel() const { return m_thumbnail; }

signals:
    void selectRequested(const QUuid& layerId);
    void renameRequested(const QUuid& layerId);
    void visibilityToggled(const QUuid& layerId);
    // A layer's id was dropped on this row.
    void layerDropped(const QUuid& draggedLayerId, const QUuid& targetLayerId);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    ImageLayer m_layer;
    bool m_isSelected = false;
    QToolButton* m_visibilityButton = nullptr;
    QLabel* m_name = nullptr;
    QLabel* m_thumbnail = nullptr;
    QPoint m_pressPosition;
    bool m_pressed = false;
};

// The layer column: "Layers" with the add, duplicate and delete buttons, the rows from the top
// layer down (a drop below the last row moves a layer to the bottom), and the selected layer's
// opacity and blend mode. The Delete key deletes the selected layer while the panel has focus.
class LayerPanel : public QWidget {
    Q_OBJECT
public:
    explicit LayerPanel(ImageEditorModel& model, QWidget* parent = nullptr);

    QToolButton* addButton() const { return m_addButton; }
    QToolButton* duplicateButton() const { return m_duplicateButton; }
    QToolButton* deleteButton() const { return m_deleteButton; }
    QWidget* bottomDropArea() const { return m_bottomDropArea; }
    // Asks for the layer's new name in a line editor over its row.
    void beginRename(const QUuid& layerId);
    QList<LayerItemView*> rows() const;
    QGroupBox* propertiesGroup() const { return m_properties; }
    QSlider* opacitySlider() const { return m_opacitySlider; }
    QLabel* opacityLabel() const { return m_opacityLabel; }
    QComboBox* blendMenu() const { return m_blendMenu; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildProperties();
    void refresh();
    QPixmap thumbnail(const QImage& image);
    std::optional<QUuid> selectedLayerId() const;

    ImageEditorModel& m_model;
    QToolButton* m_addButton = nullptr;
    QToolButton* m_duplicateButton = nullptr;
    QToolButton* m_deleteButton = nullptr;
    QWidget* m_bottomDropArea = nullptr;
    // Thumbnails by the image's cache key, kept while the image is shown.
    QHash<qint64, QPixmap> m_thumbnails;
    QVBoxLayout* m_rows = nullptr;
    QGroupBox* m_properties = nullptr;
    QSlider* m_opacitySlider = nullptr;
    QLabel* m_opacityLabel = nullptr;
    QComboBox* m_blendMenu = nullptr;
};

} // namespace kivo
