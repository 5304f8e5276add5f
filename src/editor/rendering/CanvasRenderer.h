#pragma once

#include "editor/document/DrawingTypes.h"

#include "core/DomainModel.h"

#include <QImage>
#include <QList>
#include <QPainter>
#include <QRect>

#include <optional>

namespace kivo {

// The one composition of a document, for the canvas and for every export: inside `region` of
// `target` (the document's size), the canvas background, then the visible layers bottom first,
// each with its blend mode and opacity; the base layer shows `filteredBase` when it is given.
// Every layer has the document's size, so nothing is scaled.
void composeRegion(QImage& target, const QRect& region, const DocumentState& document,
                   const QImage* filteredBase = nullptr);

// A session's document composed whole, the base layer through the enabled filters, then the
// overlay strokes. Nothing when the session has no layer or memory runs out. Reads the session
// only, so it may run on any thread; logs its steps with the "[Export] " tag.
std::optional<QImage> renderCanvasToImage(const EditorSession& session,
                                          const std::optional<QList<DrawingStroke>>& overlayStrokes = std::nullopt);

// The image scaled to `size` in pixels (stretched, premultiplied): averaging when it shrinks,
// bilinear when it grows. The image itself when it has that size already; null when memory
// runs out.
QImage resizedImage(const QImage& image, QSize size);

// The composition mode a layer's blend mode composes with: the W3C "Compositing and Blending"
// separable modes, which QPainter's raster engine implements.
QPainter::CompositionMode compositionMode(BlendMode mode);

// The smallest rectangle holding every pixel in which two images of one size and format
// differ; empty when they are equal, the whole image when their geometry differs.
QRect changedArea(const QImage& before, const QImage& after);

// A session's layer stack with its background and filters.
DocumentState documentOf(const EditorSession& session);

} // namespace kivo
