#pragma once

#include "DrawingTypes.h"

#include "editor/rendering/ImageFilters.h"

#include "core/DomainModel.h"

#include <QObject>
#include <QRectF>
#include <QUrl>
#include <QUuid>

#include <functional>
#include <optional>

namespace kivo {

class AppState;

// The image editor's state and operations, without widgets: the editor's own copy of the
// selected session, the session choice, and every edit of sessions, layers and history. Each
// edit follows one rule: find the session by id in the application state's list, change a
// copy, store it back at its index, update the editor's copy; nothing happens when the
// session or the layer is gone. Lives on the window's thread.
class ImageEditorModel : public QObject {
    Q_OBJECT
public:
    explicit ImageEditorModel(AppState& appState, QObject* parent = nullptr);
    ~ImageEditorModel() override;

    AppState& appState() const { return m_appState; }

    const std::optional<EditorSession>& selectedSession() const { return m_selectedSession; }
    // The session picker: a session of the list, or none.
    void selectSession(const std::optional<QUuid>& sessionId);

    // When the editor appears: keeps the selection, else selects the last session, else
    // creates a default one.
    void ensureSelectedSession();
    void createDefaultSession();
    // Named exactly as typed (no trimming); an empty name creates nothing.
    void createNamedSession(const QString& name);

    // Loads the files off the window's thread, then imports each one that loads, in order,
    // into the session selected now. Files that do not load are skipped.
    void importImageFiles(const QList<QUrl>& files);
    void importImage(const QUrl& url, const QImage& image);
    // The last image opened through importImageFiles.
    const std::optional<QImage>& selectedImage() const { return m_selectedImage; }

    void addLayer();
    void selectLayer(const QUuid& layerId);
    void toggleLayerVisibility(const QUuid& layerId);
    void setLayerOpacity(const QUuid& layerId, double opacity);
    void setLayerBlendMode(const QUuid& layerId, BlendMode mode);
    void moveLayer(const QUuid& draggedLayerId, const QUuid& targetLayerId);
    void updateLayerImage(const QImage& image, const QUuid& layerId, const QString& action);
    void setCanvasBackground(CanvasBackground background);
    void setCustomBackgroundColor(const QColor& color);

    void saveToHistory(const QImage& image, const QString& action);
    bool canUndo() const;
    bool canRedo() const;
    // A snapshot that is not held as an image is restored off the window's thread first; the
    // step happens when it is back. Steps asked for meanwhile are ignored.
    void undo();
    void redo();
    bool isRestoringHistory() const { return m_isRestoringHistory; }

    void toggleFilter(FilterType type, bool enabled);
    bool isFilterEnabled(FilterType type) const;

    // Tools. The brush is a marker in the brush colour and size; while it is the current tool a
    // change of either replaces it, otherwise they wait for the next choice of the brush. The
    // eraser is always 12 wide.
    const DrawingTool& currentTool() const { return m_currentTool; }
    void chooseBrush();
    void chooseEraser();
    void chooseSelection();
    void chooseCrop();
    const QColor& brushColor() const { return m_brushColor; }
    void setBrushColor(const QColor& color);
    double brushSize() const { return m_brushSize; }
    void setBrushSize(double size);
    DrawingPolicy drawingPolicy() const { return m_drawingPolicy; }

    // The drawing canvas's size, which strokes are mapped against.
    QSizeF canvasSize() const { return m_canvasSize; }
    void setCanvasSize(const QSizeF& size) { m_canvasSize = size; }

    // A finished stroke, by the current tool: the brush paints, the eraser erases, selection
    // and crop set the selection; pen and pencil strokes are ignored.
    void handleFinishedStroke(const DrawingStroke& stroke);
    // Paint or erase into the target image: the selected layer's, else the current image. A
    // stroke with no point on the image changes nothing and leaves no history step.
    void applyBrushStroke(const DrawingStroke& stroke, const QSizeF& canvasSize);
    void applyEraserStroke(const DrawingStroke& stroke, const QSizeF& canvasSize);

    // The selection rectangle in canvas points (origin at the lower-left), if any.
    const std::optional<QRectF>& selectionRectCanvas() const { return m_selectionRectCanvas; }
    void setSelectionFromStroke(const DrawingStroke& stroke);
    void clearSelection();
    void deleteSelection();
    void copySelection();
    void cutSelection();
    void cropToSelection();

    // Removes the current image's background with the local engine off the window's thread,
    // then stores the cut-out as a history step of the session it was made from. Refused while
    // one runs. Failures reach alertRequested.
    void removeBackgroundInEditor();
    bool isRemovingBackground() const { return m_isRemovingBackground; }

    // Strokes drawn over the canvas without being applied to an image. Finished strokes are
    // applied at once, so the editor's own overlay stays empty; exports pass it on all the same.
    const SimpleDrawing& overlayDrawing() const { return m_overlayDrawing; }

signals:
    // The editor's copy of the selected session changed: another session, or an edit.
    void selectedSessionChanged();
    void restoringHistoryChanged();
    // The "exportImage" notification (the export shortcut): the editor's window runs its export.
    void exportRequested();
    void toolChanged();
    void selectionChanged();
    void removingBackgroundChanged();
    // A message for the editor's alert ("Background Removal").
    void alertRequested(const QString& message);

protected:
    // The write-back rule around `change`, on the session with `sessionId` (the selected
    // session's when empty). `change` returns false when it changed nothing.
    bool edit(const std::function<bool(EditorSession&)>& change, QUuid sessionId = {});

private:
    void onSessionListChanged();
    void onActiveTabChanged();
    void selectLastSession();
    void setSelectedSession(const std::optional<EditorSession>& session);
    void stepHistory(bool forward);
    void setCurrentTool(const DrawingTool& tool);
    void applyStroke(const DrawingStroke& stroke, const QSizeF& canvasSize, bool erase);
    std::optional<QRect> selectionInTarget(const EditorSession& session, const QImage& target) const;
    void setRemovingBackground(bool removing);

    AppState& m_appState;
    std::optional<EditorSession> m_selectedSession;
    std::optional<QImage> m_selectedImage;
    SimpleDrawing m_overlayDrawing;
    DrawingTool m_currentTool = DrawingTool::marker(Qt::black, 12.0);
    QColor m_brushColor = Qt::black;
    double m_brushSize = 12.0;
    DrawingPolicy m_drawingPolicy = DrawingPolicy::anyInput;
    QSizeF m_canvasSize{0, 0};
    std::optional<QRectF> m_selectionRectCanvas;
    bool m_isRemovingBackground = false;
    QList<QUuid> m_sessionIds;
    bool m_isRestoringHistory = false;
};

} // namespace kivo
