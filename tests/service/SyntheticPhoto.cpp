#include "service/SyntheticPhoto.h"

#include <cmath>

namespace kivo::test {

QImage makeBallPhoto()
{
    QImage image(640, 480, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            QRgb pixel = qRgb(200 - y / 12, 210 - y / 12, 225 - y / 14);
            if (std::hypot(x - 320.0, y - 250.0) < 150.0) {
                const double light = std::max(0.0, 1.0 - std::hypot(x - 270.0, y - 200.0) / 260.0);
                pixel = qRgb(int(150 + 100 * light), int(60 + 90 * light), int(20 + 40 * light));
            }
            line[x] = pixel;
        }
    }
    return image;
}

} // namespace kivo::test
