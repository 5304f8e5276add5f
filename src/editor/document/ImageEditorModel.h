#pragma once

#include "DrawingTypes.h"
#include "PixelEdits.h"

#include "editor/rendering/DocumentRenderer.h"

#include "editor/rendering/ImageFilters.h"

#include "core/DomainModel.h"

#include <QHash>
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
    // The session leaves the list with its file and saved state forgotten (an auto-save of it goes
    // with it); the last remaining session becomes the selected one.
    void closeSession(const QUuid& sessionId);

    // Loads the files off the window's thread, then imports each one that loads, in order,
    // into the session selected now. Files that do not load are skipped.
    void importImageFiles(const QList<QUrl>& files);
    void importImage(const QUrl& url, const QImage& image);
    // Sessions as OpenRaster files, read and written off the window's thread. Saving remembers
    // the file for the next saveSession(); opening appends the file's session to the list (it
    // becomes the selected one). Failures and what a file held that the editor drops reach
    // alertRequested.
    void saveSessionAs(const QString& path);
    // False, with nothing done, when the selected session has no file yet.
    bool saveSession();
    std::optional<QString> sessionFile() const;
    void openSessionFile(const QString& path);
    // Sessions with content changed since they were last saved to or opened from a file.
    QList<QUuid> unsavedSessions() const;
    // Saves every unsaved session that has a file and waits until the files are written;
    // the ids of those without a file are returned.
    QList<QUuid> saveAllWithFiles();

    // The last image opened through importImageFiles.
    const std::optional<QImage>& selectedImage() const { return m_selectedImage; }

public slots:
    // Layers: every call but selectLayer is one step of the history.
    void addLayer();
    void deleteLayer(const QUuid& layerId);
    void renameLayer(const QUuid& layerId, const QString& name);
    void duplicateLayer(const QUuid& layerId);
    void selectLayer(const QUuid& layerId);
    void toggleLayerVisibility(const QUuid& layerId);
    // One step per call; previewLayerOpacity shows a value without a step (a slider being
    // dragged), the following setLayerOpacity records it.
    void setLayerOpacity(const QUuid& layerId, double opacity);
    void previewLayerOpacity(const QUuid& layerId, double opacity);
    void setLayerBlendMode(const QUuid& layerId, BlendMode mode);
    // Directly above the target; a null target moves the layer to the bottom.
    void moveLayer(const QUuid& draggedLayerId, const QUuid& targetLayerId);
    void updateLayerImage(const QImage& image, const QUuid& layerId, const QString& action);
    void setCanvasBackground(CanvasBackground background);
    void setCustomBackgroundColor(const QColor& color);

    // History of the whole document. A step whose layer images are not held as images is
    // restored off the window's thread first; steps asked for meanwhile are ignored.
    void undo();
    void redo();

    void toggleFilter(FilterType type, bool enabled);

    // Tools. The brush is a marker in the brush colour and size, the pen a hard line in the same
    // colour and size, the eraser takes the brush size; a change of the size or colour applies
    // to the current tool.
    void chooseBrush();
    void choosePen();
    void chooseEraser();
    void chooseSelection();
    void chooseCrop();
    void setBrushColor(const QColor& color);
    void setBrushSize(double size);

    // The canvas's zoom and pan. Zoom steps by 1.25 around the canvas's centre; fit shows the
    // whole document and follows the canvas's size until the next zoom; actual size shows one
    // document pixel per point.
    void zoomIn();
    void zoomOut();
    void zoomToFit();
    void zoomToActualSize();
    // Zooms by `factor` keeping the document point under `widgetPoint` in place.
    void zoomAt(double factor, const QPointF& widgetPoint);
    void panBy(const QPointF& widgetDelta);

    // The selection: whole document, copy, cut (copy and clear), delete, crop, and paste of the
    // clipboard's image as a new layer (at the selection's corner, else fitted like an import).
    void selectAll();
    void clearSelection();
    void deleteSelection();
    void copySelection();
    void cutSelection();
    void paste();
    void cropToSelection();

    // Removes the target layer's background with the local engine off the window's thread,
    // then stores the cut-out as a step on that layer of the session it was made from. Refused
    // while one runs. Failures reach alertRequested.
    void removeBackgroundInEditor();

public:
    bool canUndo() const;
    bool canRedo() const;
    bool isRestoringHistory() const { return m_isRestoringHistory; }
    bool isFilterEnabled(FilterType type) const;

    const DrawingTool& currentTool() const { return m_currentTool; }
    const QColor& brushColor() const { return m_brushColor; }
    double brushSize() const { return m_brushSize; }
    DrawingPolicy drawingPolicy() const { return m_drawingPolicy; }

    // The drawing canvas's size, which strokes and the view are worked out against.
    QSizeF canvasSize() const { return m_canvasSize; }
    void setCanvasSize(const QSizeF& size);
    // Where the document shows in the canvas.
    CanvasView canvasView() const;
    double zoom() const { return canvasView().scale; }
    bool isFitting() const { return m_isFitting; }

    // The selected session composed as the canvas shows it at 100 % and as it is exported;
    // `changed` receives the document area that changed since the last call.
    const QImage& composition(QRect* changed = nullptr);

    // A finished stroke, by the current tool: the brush paints, the eraser erases, selection
    // and crop set the selection; the pen paints like the brush, pencil strokes are ignored. Points are in the
    // canvas's space (origin at the lower-left, y upwards).
    void handleFinishedStroke(const DrawingStroke& stroke);
    // Paint or erase into the target layer (the selected one, else the base). A stroke with no
    // point on the document changes nothing and leaves no step.
    void applyBrushStroke(const DrawingStroke& stroke);
    void applyEraserStroke(const DrawingStroke& stroke);

    // The selection in document pixels, if any.
    const std::optional<QRect>& selectionRect() const { return m_selectionRect; }
    void setSelectionFromStroke(const DrawingStroke& stroke);
    void setSelectionRect(const std::optional<QRect>& rect);
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
    // The zoom or pan changed.
    void viewChanged();

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
    void applyStroke(const DrawingStroke& stroke, bool erase);
    QPointF toDocument(const QPointF& canvasPoint) const;
    void setView(const CanvasView& view);
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
    CanvasView m_view;
    bool m_isFitting = true;
    QSize m_viewDocumentSize;
    std::optional<QRect> m_selectionRect;
    bool m_isRemovingBackground = false;
    QList<QUuid> m_sessionIds;
    bool m_isRestoringHistory = false;
    DocumentRenderer m_renderer;
    QHash<QUuid, QString> m_sessionFiles;
    // Each session's step and history length when it was last saved or opened.
    QHash<QUuid, QPair<int, qsizetype>> m_savedSteps;
    QUuid m_renderedSession;
};

} // namespace kivo
