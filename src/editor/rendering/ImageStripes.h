#pragma once

#include <QRect>

#include <functional>

namespace kivo {

// Runs `work` on horizontal stripes covering `area`, one stripe per core, side by side: the
// calling thread takes the first stripe and waits for the others. An area below `minimumPixels`
// is worked on whole by the calling thread. `work` must only write inside the stripe it is given.
void forEachStripe(const QRect& area, const std::function<void(const QRect&)>& work,
                   qint64 minimumPixels = qint64(1) << 20);

} // namespace kivo
