#pragma once

// What the benchmarks share: timing and medians, the 12-megapixel test photo, and running a
// program while the kernel accounts its peak memory.

#include <QHash>
#include <QImage>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace kivo::bench {

inline constexpr QSize photoSize(4000, 3000);

// What every benchmark takes: --source PHOTO --work DIR [--runs N] [--remove-tool PATH]; the
// other "--name value" pairs are in `named`.
struct CommonOptions {
    QString source;
    QString work;
    QString removeTool;
    int runs = 5;
    QHash<QString, QString> named;
};

// From a command line, the program's name first as Qt gives it.
CommonOptions parseCommonOptions(const QStringList& arguments);

// Makes the work folder and the 12-megapixel photo in it (see makePhoto); the photo's path, or
// empty after saying what is missing.
QString prepareWork(const CommonOptions& options, const QString& usage);

// Runs the event loop until `condition` holds; false after `timeoutMs`.
bool pumpUntil(const std::function<bool()>& condition, int timeoutMs);

// A folder dragged onto the middle of `target` (a widget of that size) and dropped, as a file
// manager would; `beforeDrop` runs between the drag's entry and the drop.
void dropFolder(QObject* target, QSize targetSize, const QString& folder, const std::function<void()>& beforeDrop = {});

// One line on standard output, flushed.
void say(const QString& line);

double median(std::vector<double> values);
double milliseconds(const std::function<void()>& work);
QString ms(double value);
// "(min …, max …, n runs)".
QString spread(const std::vector<double>& values);

// CPU time of the whole process (all threads) so far, in milliseconds: on a shared machine it
// shows the work apart from the waiting.
double processCpuMilliseconds();

// Repeated measurements of one piece of work: wall-clock and process CPU time.
struct Timings {
    std::vector<double> wall;
    std::vector<double> cpu;

    void measure(const std::function<void()>& work);
    double medianWall() const { return median(wall); }
    // "  123.4 ms (cpu 98 ms)"
    QString describe() const;
};

// The 12-megapixel photo made from a small one: scaled to cover 4000 × 3000, cropped, with a
// little grain so that decoding and compression see photo-like data, not a smooth gradient.
// `seed` varies the grain between photos. Made once; false when the source cannot be read.
bool makePhoto(const QString& source, const QString& target, quint32 seed = 12);

// `count` distinct JPEGs "photo-NNNN.jpg" in `folder`: the first `large` of 12 MP, the others of
// `smallSize`, each the photo made from `source` seen through a slightly moved window.
bool generateMixedPhotos(const QString& source, const QString& folder, int count, int large, QSize smallSize);

// Folders made empty for a benchmark's run and removed again when it ends.
class ScratchFolders {
public:
    explicit ScratchFolders(QStringList paths);
    ~ScratchFolders();
    ScratchFolders(const ScratchFolders&) = delete;
    ScratchFolders& operator=(const ScratchFolders&) = delete;

private:
    QStringList m_paths;
};

// Decoded as the application decodes photos (orientation applied, large sizes allowed).
QImage decode(const QString& path);

bool writeFile(const QString& path, const QByteArray& bytes);

// One network inference at the default side; the benchmark ends when the network cannot run.
std::vector<float> inferOrDie(std::span<const float> input);

// This process's resident memory now and at its peak, in MiB (VmRSS, VmHWM).
double residentMiB();
double peakResidentMiB();

// The machine's load averages, for the record beside the figures.
QString loadAverages();

struct ProgramRun {
    int exitCode = -1;
    double wallSeconds = 0;
    double peakMiB = 0;
    // What the program printed on standard output.
    QString output;
};

// Runs a program to its end; nothing when it cannot be started. Its peak memory is the larger of
// its own and the caller's peak so far (the kernel carries that over into a spawned child), so
// measure before the caller has grown.
std::optional<ProgramRun> runMeasured(const QString& program, const QStringList& arguments, const QString& logPath);

} // namespace kivo::bench
