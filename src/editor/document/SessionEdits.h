#pragma once

#include "editor/rendering/ImageFilters.h"

#include "core/DomainModel.h"

#include <QDateTime>
#include <QImage>
#include <QRect>
#include <QString>
#include <QUuid>

#include <optional>

// The named edits of an editor session, as plain operations on a session value. They know
// nothing of where the session is kept: ImageEditorModel finds the session, hands a copy to
// one of these and stores it back. Functions that return bool change nothing and return false
// when the layer they address is not in the session (or the edit would change nothing).
//
// A session is a document of one pixel size, the base layer's. Every layer has that size, an
// edit changes exactly one layer, and every change is one step of the document's history,
// which holds the whole layer stack: undo and redo give it back exactly.

namespace kivo {

// Action names in a session's history log.
namespace actions {
inline const QString importImage = QStringLiteral("Import Image");
inline const QString brushStroke = QStringLiteral("Brush Stroke");
inline const QString eraserStroke = QStringLiteral("Eraser Stroke");
inline const QString selectionDelete = QStringLiteral("Selection Delete");
inline const QString cropImage = QStringLiteral("Crop Image");
inline const QString removeBackground = QStringLiteral("Remove Background");
inline const QString addLayer = QStringLiteral("Add Layer");
inline const QString deleteLayer = QStringLiteral("Delete Layer");
inline const QString renameLayer = QStringLiteral("Rename Layer");
inline const QString duplicateLayer = QStringLiteral("Duplicate Layer");
inline const QString layerOpacity = QStringLiteral("Layer Opacity");
inline const QString blendMode = QStringLiteral("Blend Mode");
inline const QString layerVisibility = QStringLiteral("Layer Visibility");
inline const QString moveLayer = QStringLiteral("Move Layer");
inline const QString canvasBackground = QStringLiteral("Canvas Background");
inline const QString toggleFilter = QStringLiteral("Toggle Filter");
inline const QString paste = QStringLiteral("Paste");
inline const QString undo = QStringLiteral("Undo");
inline const QString redo = QStringLiteral("Redo");
} // namespace actions

// The size of a blank document.
inline constexpr QSize blankDocumentSize{800, 600};

// A new empty session named "Session - MM/dd/yyyy HH:mm" after `now` (local time).
EditorSession makeDefaultSession(const QDateTime& now = QDateTime::currentDateTime());
// A new empty session named exactly `name`.
EditorSession makeNamedSession(const QString& name);

const ImageLayer* findLayer(const EditorSession& session, const QUuid& id);
ImageLayer* findLayer(EditorSession& session, const QUuid& id);
const ImageLayer* baseLayer(const EditorSession& session);
// The content of the selected layer: the layer of `layers` with the selection's id.
const ImageLayer* selectedLayerContent(const EditorSession& session);
// The layer an edit works on: the selected layer, else the base layer.
const ImageLayer* targetLayer(const EditorSession& session);

// The document's pixel size: the base layer's, else the current image's, else a blank one's.
QSize documentSize(const EditorSession& session);
// A copy of `image` in the form every layer holds: 32-bit premultiplied, one pixel per point.
QImage layerImage(const QImage& image);
// A transparent image of `size` with `image` fitted inside (aspect kept, centred).
QImage fittedInto(const QImage& image, QSize size);

// A session holding a current image but no base layer (a blank session, or one made before
// layers) gets its base layer holding that image. Records no step.
void ensureBaseLayer(EditorSession& session);

// The first image of a session without one becomes its base layer as it is, and sets the
// document's size; later images become layers fitted into the document. The new layer is
// selected; a step "Import Image".
void importImage(EditorSession& session, const QString& fileName, const QImage& image);
// Appends and selects "Layer N" (N = the number of layers after adding): transparent, of the
// document's size.
void addLayer(EditorSession& session);
// The base layer cannot be deleted; the layer below (else above) the deleted one is selected.
bool deleteLayer(EditorSession& session, const QUuid& layerId);
bool renameLayer(EditorSession& session, const QUuid& layerId, const QString& name);
// A copy named "<name> copy" right above the layer, selected; never a base layer.
bool duplicateLayer(EditorSession& session, const QUuid& layerId);
bool selectLayer(EditorSession& session, const QUuid& layerId);
bool toggleLayerVisibility(EditorSession& session, const QUuid& layerId);
// With `record` false the opacity changes without a step (a slider being dragged); the step
// comes with the last value.
bool setLayerOpacity(EditorSession& session, const QUuid& layerId, double opacity, bool record = true);
bool setLayerBlendMode(EditorSession& session, const QUuid& layerId, BlendMode mode);
// Puts the dragged layer directly above the target; with a null target, at the bottom.
// Dropping a layer on itself changes nothing.
bool moveLayer(EditorSession& session, const QUuid& draggedLayerId, const QUuid& targetLayerId);
bool setCanvasBackground(EditorSession& session, CanvasBackground background);
bool setCustomBackgroundColor(EditorSession& session, const QColor& color);
// Switches one filter on or off: a view of the base layer, never written into it; a step.
bool toggleFilter(EditorSession& session, FilterType type, bool enabled);

// An edit of one layer's pixels: the layer takes `image` (which has the document's size); a step.
bool updateLayerImage(EditorSession& session, const QImage& image, const QUuid& layerId, const QString& action);
// The same for an image made by the editor itself (a painted copy of the layer, premultiplied,
// owning its pixels): the layer shares it instead of taking a copy of its own.
bool updatePaintedLayerImage(EditorSession& session, const QImage& image, const QUuid& layerId, const QString& action);
// Every layer cut to `area` (document pixels), as one step.
bool cropDocument(EditorSession& session, const QRect& area);
// A new layer holding `image` at `position` (document pixels), or without a position fitted into
// the document as an imported image is; selected; a step "Paste".
void pasteImage(EditorSession& session, const QImage& image, const std::optional<QPoint>& position);

// Records the session's layer stack, background and filters as a step after the current one
// (a redo branch is dropped); logs `action`. A session whose history is empty first records
// `before`, so that this first change can be undone.
void recordStep(EditorSession& session, const DocumentState& before, const QString& action);
bool canUndo(const EditorSession& session);
bool canRedo(const EditorSession& session);
// Steps to the previous or next step, restoring the whole stack; false when there is none.
bool undo(EditorSession& session);
bool redo(EditorSession& session);

} // namespace kivo
