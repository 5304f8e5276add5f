// Benchmark of the image editor's core on a 12-megapixel session: history, compositing,
// filters and export (medians), then 100 brush strokes with the resident memory, and undo and
// redo through all of them, checked against the pixels of every step.
//
//   kivo_editor_bench --source PHOTO --work DIR [--runs N] [--strokes N]    (bash bench/run.sh editor)

#include "BenchSupport.h"
#include "support/IsolatedAppState.h"

#include "editor/rendering/CanvasRenderer.h"
#include "editor/export/ExportManager.h"
#include "editor/document/ImageEditorModel.h"
#include "editor/rendering/ImageFilters.h"
#include "editor/document/PixelEdits.h"
#include "editor/document/SessionEdits.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

using namespace kivo;
using namespace kivo::bench;

struct Options {
    int runs = 5;
    int strokes = 100;
};

// Brush strokes as a user draws them: a wandering line of 30 points, 24 pixels wide.
QImage paintRandomStroke(const QImage& image, QRandomGenerator& random)
{
    QList<QPointF> points;
    QPointF at(random.bounded(image.width()), random.bounded(image.height()));
    for (int i = 0; i < 30; ++i) {
        points << at;
        at += QPointF(random.bounded(120) - 60, random.bounded(120) - 60);
    }
    const QColor color = QColor::fromHsv(random.bounded(360), 200, 220);
    return paintStroke(image, points, 24, color, false);
}

// Fingerprint of a snapshot's pixels: two seeds, so a change is all but certain to show.
std::pair<size_t, size_t> fingerprint(const QImage& image)
{
    const auto bytes = reinterpret_cast<const char*>(image.constBits());
    return {qHashBits(bytes, size_t(image.sizeInBytes()), 1), qHashBits(bytes, size_t(image.sizeInBytes()), 2)};
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("MISSED");
}

// The 12 MP base with three more layers: a smaller multiply layer, a stretched 100 × 100 one
// and a full-size translucent screen layer.
void buildSession(ImageEditorModel& model, const QImage& photo)
{
    model.createNamedSession(QStringLiteral("bench"));
    model.importImage(QUrl::fromLocalFile(QStringLiteral("/bench/photo.jpg")), photo);
    QImage shade = photo.scaled(2000, 1500).convertToFormat(QImage::Format_ARGB32);
    shade.fill(QColor(200, 180, 160));
    model.importImage(QUrl::fromLocalFile(QStringLiteral("/bench/shade.png")), shade);
    model.setLayerBlendMode(model.selectedSession()->layers.back().id, BlendMode::multiply);
    model.setLayerOpacity(model.selectedSession()->layers.back().id, 0.6);
    model.addLayer();
    QImage glow(photo.size(), QImage::Format_ARGB32_Premultiplied);
    glow.fill(QColor(40, 60, 200, 90));
    model.importImage(QUrl::fromLocalFile(QStringLiteral("/bench/glow.png")), glow);
    model.setLayerBlendMode(model.selectedSession()->layers.back().id, BlendMode::screen);
    // Strokes land on the base layer, as they do on a freshly opened photo.
    model.selectLayer(model.selectedSession()->layers.front().id);
}

void report(const QString& what, const Timings& timings, double targetMs)
{
    say(QStringLiteral("%1 %2   (target < %3 ms) %4")
            .arg(what.leftJustified(36), timings.describe())
            .arg(targetMs)
            .arg(verdict(timings.medianWall() < targetMs)));
}

void timeTargets(ImageEditorModel& model, const Options& options)
{
    QRandomGenerator random(5);
    Timings save, render, filters, png;
    QTemporaryDir folder;
    UserPreferences preferences;
    for (int run = 0; run < options.runs; ++run) {
        const QImage stroked = paintRandomStroke(*model.selectedSession()->currentImage, random);
        save.measure([&] { model.saveToHistory(stroked, actions::brushStroke); });
        std::optional<QImage> flattened;
        render.measure([&] { flattened = renderCanvasToImage(*model.selectedSession()); });
        EditorSession filtered = *model.selectedSession();
        for (FilterType type : allFilterTypes)
            filtered.enabledFilterNames.insert(filterName(type));
        filters.measure([&] { applyFilters(filtered); });
        const QString target = folder.filePath(QStringLiteral("export-%1.png").arg(run));
        png.measure([&] {
            auto future = ExportManager::shared().exportTo(*flattened, target, preferences);
            future.waitForFinished();
        });
        ImageHistory::waitForCompression();
    }
    report(QStringLiteral("saveToHistory after a brush stroke"), save, 100);
    report(QStringLiteral("renderCanvasToImage, 4 layers"), render, 300);
    report(QStringLiteral("applyFilters, all five"), filters, 1000);
    report(QStringLiteral("export to PNG (encode, write, move)"), png, 1500);

    // Where the filter time goes: each filter alone on the base image.
    QStringList alone;
    for (FilterType type : allFilterTypes) {
        Timings timings;
        for (int run = 0; run < options.runs; ++run)
            timings.measure([&] { applyFilterChain(*model.selectedSession()->currentImage, {filterName(type)}); });
        alone << filterName(type) + QLatin1Char(' ') + timings.describe().simplified();
    }
    say(QStringLiteral("    each filter alone: ") + alone.join(QStringLiteral(", ")));
}

void strokesAndHistory(ImageEditorModel& model, const Options& options)
{
    QRandomGenerator random(9);
    std::vector<std::pair<size_t, size_t>> steps;
    const ImageHistory& earlier = model.selectedSession()->imageHistory;
    for (qsizetype index = 0; index < earlier.size(); ++index)
        steps.push_back(fingerprint(earlier.at(index)));
    const double before = residentMiB();
    for (int stroke = 0; stroke < options.strokes; ++stroke) {
        const QImage stroked = paintRandomStroke(*model.selectedSession()->currentImage, random);
        model.saveToHistory(stroked, actions::brushStroke);
        steps.push_back(fingerprint(stroked));
    }
    const double afterStrokes = residentMiB();
    ImageHistory::waitForCompression();
    const EditorSession& session = *model.selectedSession();
    say(QStringLiteral("%1 brush strokes: resident %2 MiB before, %3 MiB right after, %4 MiB once compressed; "
                       "compressed history %5 MiB")
            .arg(options.strokes)
            .arg(before, 0, 'f', 0)
            .arg(afterStrokes, 0, 'f', 0)
            .arg(residentMiB(), 0, 'f', 0)
            .arg(double(session.imageHistory.compressedBytes()) / (1 << 20), 0, 'f', 0));

    // Undo and redo as fast as the window lets the user: every step is shown before the next.
    std::vector<double> undoTimes, redoTimes;
    int mismatches = 0;
    auto step = [&](bool forward, std::vector<double>& times) {
        const int target = model.selectedSession()->currentHistoryIndex + (forward ? 1 : -1);
        times.push_back(milliseconds([&] {
            forward ? model.redo() : model.undo();
            pumpUntil([&] { return model.selectedSession()->currentHistoryIndex == target; }, 60000);
        }));
        if (fingerprint(*model.selectedSession()->currentImage) != steps[size_t(target)])
            ++mismatches;
    };
    while (model.canUndo())
        step(false, undoTimes);
    while (model.canRedo())
        step(true, redoTimes);
    const double slowest = std::max(*std::max_element(undoTimes.begin(), undoTimes.end()),
                                    *std::max_element(redoTimes.begin(), redoTimes.end()));
    say(QStringLiteral("undo through %1 steps: median %2, slowest %3; redo back: median %4")
            .arg(undoTimes.size())
            .arg(ms(median(undoTimes)), ms(*std::max_element(undoTimes.begin(), undoTimes.end())), ms(median(redoTimes))));
    say(QStringLiteral("slowest step %1   (target < 300 ms) %2").arg(ms(slowest), verdict(slowest < 300)));
    say(QStringLiteral("steps whose pixels differ from the original: %1   (target 0) %2").arg(mismatches).arg(verdict(mismatches == 0)));
    const double peak = peakResidentMiB();
    say(QStringLiteral("peak resident memory %1 MiB   (target < 1536 MiB) %2").arg(peak, 0, 'f', 0).arg(verdict(peak < 1536)));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const CommonOptions common = parseCommonOptions(app.arguments());
    const QString photo =
        prepareWork(common, QStringLiteral("kivo_editor_bench --source PHOTO --work DIR [--runs N] [--strokes N]"));
    if (photo.isEmpty())
        return 2;
    const Options options{common.runs, std::max(1, common.named.value(QStringLiteral("--strokes"), QStringLiteral("100")).toInt())};

    test::IsolatedAppState state;
    ImageEditorModel model(state.appState);
    buildSession(model, decode(photo));

    say(QStringLiteral("KIVOPRO editor core: %1 cores, load %2, 12 MP base (4000 x 3000) with 3 more layers, medians of %3 runs")
            .arg(QThread::idealThreadCount())
            .arg(loadAverages())
            .arg(options.runs));
    timeTargets(model, options);
    strokesAndHistory(model, options);
    return 0;
}
