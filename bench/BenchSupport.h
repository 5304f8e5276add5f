#pragma once

// What the benchmarks share: printing, medians, timing, and photos of 12 megapixels made from a
// small one.

#include <QImage>
#include <QSize>
#include <QString>

#include <functional>
#include <span>
#include <vector>

namespace kivo::bench {

inline constexpr QSize photoSize(4000, 3000);

// One line on standard output, flushed at once.
void say(const QString& line);

double median(std::vector<double> values);
// The wall-clock time `work` takes, in milliseconds.
double milliseconds(const std::function<void()>& work);
// "1234.5 ms", right-aligned.
QString ms(double value);
// "(min 1200, max 1300, 5 runs)"
QString spread(const std::vector<double>& values);

// A 12-megapixel photo made from a small one: scaled to cover 4000 × 3000, cropped, with a
// little grain (from `seed`) so that decoding and compression see photo-like data, not a
// smooth gradient. Kept when `target` exists already.
bool makePhoto(const QString& source, const QString& target, quint32 seed = 12);

// Decodes as the application does (orientation applied, large photos allowed).
QImage decode(const QString& path);
bool writeFile(const QString& path, const QByteArray& bytes);

// One network inference; the benchmark ends when the network cannot run.
std::vector<float> inferOrDie(std::span<const float> input);

// The process's peak resident memory so far (VmHWM), in MiB.
double peakResidentMiB();

} // namespace kivo::bench
