#pragma once

#include "editor/document/DrawingTypes.h"

#include "core/DomainModel.h"

#include <QImage>
#include <QList>
#include <QPainter>

#include <optional>

namespace kivo {

// Flattens a session into one image the size of its current image: the canvas background,
// then the visible layers bottom first, each stretched over the whole image (the base layer
// through the enabled filters), then the overlay strokes. Overlay, soft light and hard light
// flatten like normal; multiply and screen blend. Nothing when the session has no current
// image or memory runs out. Reads the session only; logs its steps with the "[Export] " tag.
std::optional<QImage> renderCanvasToImage(const EditorSession& session,
                                          const std::optional<QList<DrawingStroke>>& overlayStrokes = std::nullopt);

// The image scaled to `size` in pixels (stretched, premultiplied): averaging when it shrinks,
// bilinear when it grows. The image itself when it has that size already; null when memory
// runs out.
QImage resizedImage(const QImage& image, QSize size);

// The composition mode a layer is flattened with.
QPainter::CompositionMode flatteningMode(BlendMode mode);
// The composition mode a layer is shown with on screen, where every mode blends as it says.
QPainter::CompositionMode displayMode(BlendMode mode);

} // namespace kivo
