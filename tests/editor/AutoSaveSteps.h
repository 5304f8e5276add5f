#pragma once

// The session the auto-save crash test has saved over and over: an opaque noise photo under an
// opaque noise layer that is new at every step, so that each step's file is large, slow to
// encode and unlike the one before. The helper program and the test make the same images.

#include <QImage>
#include <QRandomGenerator>
#include <QString>

namespace kivo::test {

inline QImage autoSaveNoise(QSize size, quint32 seed)
{
    QImage image(size, QImage::Format_ARGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < image.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            row[x] = random.generate() | 0xff000000u;
    }
    return image;
}

inline QImage autoSaveBase(QSize size)
{
    return autoSaveNoise(size, 7);
}

// The top layer at step `step`.
inline QImage autoSaveStepLayer(QSize size, int step)
{
    return autoSaveNoise(size, 1000 + quint32(step));
}

inline QString autoSaveStepName(int step)
{
    return QStringLiteral("step %1").arg(step);
}

} // namespace kivo::test
