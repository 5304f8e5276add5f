#pragma once

#include <QImage>

// Edge treatments of the foreground mask after it has been scaled to the photo's size. Both
// work on a Format_Grayscale16 mask in place and may throw cv::Exception or std::bad_alloc
// when memory runs out.

namespace kivo {

// Draws the mask's soft edge to the photo's own boundary (a guided filter with the photo as
// the guide): where the network's edge lies beside the real one, it moves over; strands that
// the photo shows become soft. Pixels the network leaves mostly background whose colour is that
// of the sure background around them become transparent, so no glow of a plain backdrop stays
// around the subject. Pixels away from the soft edge keep their values exactly.
// `strength` (0 … 1] sets the reach and how closely the edge follows the photo; `photo` is
// Format_ARGB32 of the mask's size.
void refineMaskEdges(QImage& mask, const QImage& photo, double strength);

// Snaps the mask to clean edges: 0 or 65535 everywhere except on a band about one pixel wide
// along the line where the mask crosses one half, which stays soft against jagged steps.
void snapMaskToCrispEdges(QImage& mask);

} // namespace kivo
