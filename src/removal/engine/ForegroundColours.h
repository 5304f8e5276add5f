#pragma once

#include <QImage>

namespace kivo {

// Colour decontamination of a cut-out's soft edge. A partly transparent pixel of a photo mixes
// the subject's colour with the background's: photo = α · F + (1 − α) · B. Its colour in the
// cut-out becomes the estimated F, so that the edge no longer carries the old background's
// tint over a new one. The estimate needs only the photo and the mask: the nearby background
// and subject colours come from the sure pixels around each edge pixel, and the colour moves
// only straight away from the background, never past the subject's colour nor across neutral
// into the opposite hue; where the estimate is unsure (subject and background alike, alpha near
// 0) the pixel keeps more of the photo's colour. Time is linear in the pixel count.
//
// `cutout` (Format_ARGB32, straight alpha) is changed in place: pixels whose alpha is neither 0
// nor 255 get the estimated colour; all others keep theirs, so fully opaque pixels keep the
// photo's exact colours. `photo` is Format_ARGB32 and
// `mask` Format_Grayscale16, all three of one size. May throw cv::Exception or std::bad_alloc
// when memory runs out.
void decontaminateEdgeColours(QImage& cutout, const QImage& photo, const QImage& mask);

} // namespace kivo
