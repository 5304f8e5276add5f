#pragma once

// Helpers shared by the benchmarks: timing, medians, memory figures and the 12-megapixel photo.

#include "core/AppState.h"

#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <optional>
#include <vector>

namespace kivo::bench {

inline constexpr QSize photoSize(4000, 3000);

void say(const QString& line);
double median(std::vector<double> values);
double milliseconds(const std::function<void()>& work);
// CPU time of the whole process (all threads) so far, in milliseconds: on a shared machine it
// shows the work apart from the waiting.
double processCpuMilliseconds();
QString ms(double value);

// Repeated measurements of one piece of work: wall-clock and process CPU time.
struct Timings {
    std::vector<double> wall;
    std::vector<double> cpu;

    void measure(const std::function<void()>& work);
    double medianWall() const { return median(wall); }
    // "  123.4 ms (cpu 98 ms)"
    QString describe() const;
};

// This process's resident memory now and at its peak, in MiB (VmRSS, VmHWM).
double residentMiB();
double peakResidentMiB();

// A 12-megapixel photo made from a small one: scaled to cover 4000 × 3000, cropped, with a
// little grain so that decoding and compression see photo-like data, not a smooth gradient.
QImage makePhoto(const QImage& small);

// The editor benchmarks' command line: --source PHOTO [--runs N] [--strokes N]. The photo is
// the 12-megapixel one made from PHOTO. Nothing when it does not load or a count is not positive.
struct EditorOptions {
    QImage photo;
    int runs = 5;
    int strokes = 100;
};
std::optional<EditorOptions> parseEditorOptions(const QStringList& arguments);

// An application state over its own per-user defaults in a temporary folder.
struct IsolatedAppState {
    QTemporaryDir home;
    DefaultsStore store{home.filePath(QStringLiteral("defaults.ini"))};
    PreferenceManager preferences{store};
    AppState appState{store, preferences};
};

} // namespace kivo::bench
