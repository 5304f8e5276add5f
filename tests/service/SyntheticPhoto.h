#pragma once

#include <QImage>

namespace kivo::test {

// A 640 × 480 "photo" with a clear subject: a shaded orange ball in front of a pale, slightly
// graded backdrop. The segmentation network finds the ball; no photo file is needed.
QImage makeBallPhoto();

} // namespace kivo::test
