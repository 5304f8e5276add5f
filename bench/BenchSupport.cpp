#include "BenchSupport.h"

#include "removal/engine/ForegroundSegmenter.h"

#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kivo::bench {

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double milliseconds(const std::function<void()>& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e6;
}

QString ms(double value)
{
    return QStringLiteral("%1 ms").arg(value, 7, 'f', 1);
}

QString spread(const std::vector<double>& values)
{
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return QStringLiteral("(min %1, max %2, %3 runs)").arg(*low, 0, 'f', 0).arg(*high, 0, 'f', 0).arg(values.size());
}

bool makePhoto(const QString& source, const QString& target, quint32 seed)
{
    if (QFile::exists(target))
        return true;
    const QImage small(source);
    if (small.isNull())
        return false;
    QImage photo = small.scaled(photoSize, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation)
                       .convertToFormat(QImage::Format_RGB32);
    photo = photo.copy(QRect((photo.width() - photoSize.width()) / 2, (photo.height() - photoSize.height()) / 2,
                             photoSize.width(), photoSize.height()));
    QRandomGenerator grain(seed);
    for (int y = 0; y < photo.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(photo.scanLine(y));
        for (int x = 0; x < photo.width(); ++x) {
            const int n = int(grain.bounded(9)) - 4;
            row[x] = qRgb(std::clamp(qRed(row[x]) + n, 0, 255), std::clamp(qGreen(row[x]) + n, 0, 255),
                          std::clamp(qBlue(row[x]) + n, 0, 255));
        }
    }
    QImageWriter writer(target, "jpeg");
    writer.setQuality(92);
    return writer.write(photo);
}

QImage decode(const QString& path)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    reader.setAllocationLimit(1024);
    return reader.read();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

std::vector<float> inferOrDie(std::span<const float> input)
{
    kivo::ForegroundSegmenter::Result result = kivo::ForegroundSegmenter::shared().segment(input);
    if (result.probabilities.empty()) {
        say(QStringLiteral("inference failed: ") + result.error);
        std::exit(1);
    }
    return std::move(result.probabilities);
}

double peakResidentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

} // namespace kivo::bench
