#pragma once

#include "editor/rendering/ImageFilters.h"

#include "core/DomainModel.h"

#include <QDateTime>
#include <QImage>
#include <QString>
#include <QUuid>

// The named edits of an editor session, as plain operations on a session value. They know
// nothing of where the session is kept: ImageEditorModel finds the session, hands a copy to
// one of these and stores it back. Functions that return bool change nothing and return false
// when the layer they address is not in the session.

namespace kivo {

// Action names in a session's history log.
namespace actions {
inline const QString importImage = QStringLiteral("Import Image");
inline const QString brushStroke = QStringLiteral("Brush Stroke");
inline const QString eraserStroke = QStringLiteral("Eraser Stroke");
inline const QString selectionDelete = QStringLiteral("Selection Delete");
inline const QString cropImage = QStringLiteral("Crop Image");
inline const QString removeBackground = QStringLiteral("Remove Background");
inline const QString undo = QStringLiteral("Undo");
inline const QString redo = QStringLiteral("Redo");
} // namespace actions

// A new empty session named "Session - MM/dd/yyyy HH:mm" after `now` (local time).
EditorSession makeDefaultSession(const QDateTime& now = QDateTime::currentDateTime());
// A new empty session named exactly `name`.
EditorSession makeNamedSession(const QString& name);

const ImageLayer* findLayer(const EditorSession& session, const QUuid& id);
ImageLayer* findLayer(EditorSession& session, const QUuid& id);
// The content of the selected layer: the layer of `layers` with the selection's id.
const ImageLayer* selectedLayerContent(const EditorSession& session);

// The image a pixel edit works on: the selected layer's, else the current image.
std::optional<QImage> targetImage(const EditorSession& session);
// Stores an edited target image: into the selected layer when that is an ordinary layer (the
// flattened canvas becomes the history step), else as a history step of its own.
void storeTargetImage(EditorSession& session, const QImage& image, const QString& action);

// Appends a layer named `fileName` holding the image and selects it. It is the base layer when
// the session has neither a current image nor a base layer; only then the image also enters the
// history ("Import Image").
void importImage(EditorSession& session, const QString& fileName, const QImage& image);
// Appends and selects "Layer N" (N = the number of layers after adding): 100 × 100 transparent.
void addLayer(EditorSession& session);
bool selectLayer(EditorSession& session, const QUuid& layerId);
bool toggleLayerVisibility(EditorSession& session, const QUuid& layerId);
bool setLayerOpacity(EditorSession& session, const QUuid& layerId, double opacity);
bool setLayerBlendMode(EditorSession& session, const QUuid& layerId, BlendMode mode);
// Puts the dragged layer directly above the target. Dropping a layer on itself changes nothing.
bool moveLayer(EditorSession& session, const QUuid& draggedLayerId, const QUuid& targetLayerId);
// Sets an ordinary layer's image, then stores the flattened canvas as a history step. False,
// with nothing changed, when the layer is gone.
bool updateLayerImage(EditorSession& session, const QImage& image, const QUuid& layerId, const QString& action);

// Makes `image` the current image, the filter base and the base layer's image, and appends it
// as a snapshot after the current one (a redo branch is dropped); logs `action`.
void saveToHistory(EditorSession& session, const QImage& image, const QString& action);
bool canUndo(const EditorSession& session);
bool canRedo(const EditorSession& session);
// Steps to the previous or next snapshot; false when there is none. The snapshot replaces the
// current image and the base layer's image only: ordinary layers stay as they are.
bool undo(EditorSession& session);
bool redo(EditorSession& session);

// Switches one filter on or off and refreshes the filtered image; no history step.
void toggleFilter(EditorSession& session, FilterType type, bool enabled);

} // namespace kivo
