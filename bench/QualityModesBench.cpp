// Benchmark of the processing settings on this machine: the network at the candidate input sizes
// for Fast with their masks' agreement with the full size's, the processing modes on the
// 12-megapixel photo, and the peak memory of kivopro-remove in each mode. Run through
// bench/run.sh quality.

#include "BenchSupport.h"

#include "core/PngEncoder.h"

#include "removal/engine/EdgeRefinement.h"
#include "removal/engine/ForegroundSegmenter.h"
#include "removal/engine/LocalRemovalEngine.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <map>
#include <memory>

namespace {

using namespace kivo;
using namespace kivo::bench;

struct Options : CommonOptions {
    // Further photos with one clear subject for the masks' agreement.
    QStringList photos;
};

struct Photo {
    QString name;
    WorkingImage image;
};

struct Mode {
    QString name;
    RemovalOptions options;
    QStringList toolArguments;
};

const QList<Mode>& modes()
{
    static const QList<Mode> all{
        {QStringLiteral("Balanced"), {}, {}},
        {QStringLiteral("Fast"), {ProcessingQuality::fast, 0, true}, {QStringLiteral("--quality"), QStringLiteral("fast")}},
        {QStringLiteral("Balanced + refine 0.5"), {ProcessingQuality::balanced, 0.5, true},
         {QStringLiteral("--refine"), QStringLiteral("0.5")}},
        {QStringLiteral("High Quality"), {ProcessingQuality::highQuality, 0, true}, {QStringLiteral("--quality"), QStringLiteral("high")}},
        {QStringLiteral("Balanced, crisp edges"), {ProcessingQuality::balanced, 0, false}, {QStringLiteral("--hard-edges")}},
    };
    return all;
}

void loadOrDie(int side)
{
    if (const QString error = ForegroundSegmenter::shared().load(side); !error.isEmpty()) {
        say(error);
        std::exit(1);
    }
}

// The network's mask of a photo at one input side, scaled to the photo.
QImage networkMask(ForegroundSegmenter& segmenter, const WorkingImage& photo, int side)
{
    const ForegroundSegmenter::Result result = segmenter.segment(makeNetworkInput(photo.pixels, side), side);
    return scaleNetworkMask(result.probabilities, side, photo.pixels.size(), nullptr).value_or(QImage());
}

// Intersection over union of two masks thresholded at one half.
double intersectionOverUnion(const QImage& a, const QImage& b)
{
    qint64 both = 0;
    qint64 either = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* left = reinterpret_cast<const quint16*>(a.constScanLine(y));
        const auto* right = reinterpret_cast<const quint16*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const bool inLeft = left[x] >= 32768;
            const bool inRight = right[x] >= 32768;
            both += inLeft && inRight;
            either += inLeft || inRight;
        }
    }
    return either == 0 ? 1.0 : double(both) / double(either);
}

// (a) One inference at each candidate side on the 12 MP photo, and how well each side's mask
// agrees with the full size's on every photo. Each side has its own network session, so that the
// sides can take turns inference by inference and see the same machine.
void compareInputSides(const Options& options, const QList<Photo>& photos)
{
    const int fastSide = networkInputSide(ProcessingQuality::fast);
    const std::vector<int> sides{1024, 768, 704, 640, 576, 512};
    const QString modelPath =
        QStandardPaths::locate(QStandardPaths::GenericDataLocation, ForegroundSegmenter::modelRelativePath());
    std::vector<std::unique_ptr<ForegroundSegmenter>> segmenters;
    std::vector<std::vector<float>> inputs;
    for (int side : sides) {
        segmenters.push_back(std::make_unique<ForegroundSegmenter>(modelPath));
        if (const QString error = segmenters.back()->load(side); !error.isEmpty()) {
            say(error);
            std::exit(1);
        }
        inputs.push_back(makeNetworkInput(photos.first().image.pixels, side));
    }
    std::vector<std::vector<double>> times(sides.size());
    for (int round = 0; round < options.runs + 2; ++round) {
        for (size_t s = 0; s < sides.size(); ++s) {
            const double elapsed = milliseconds([&] { segmenters[s]->segment(inputs[s], sides[s]); });
            // The first two runs of a session are slow (its memory is touched for the first time).
            if (round >= 2)
                times[s].push_back(elapsed);
        }
    }

    say(QStringLiteral("(a) network input side for Fast: inference on the 12 MP photo (medians, sides taking turns) and mask IoU against 1024"));
    std::vector<QImage> reference;
    for (const Photo& photo : photos)
        reference.push_back(networkMask(*segmenters[0], photo.image, sides[0]));
    for (size_t s = 0; s < sides.size(); ++s) {
        QStringList agreement;
        double worst = 1.0;
        for (qsizetype p = 0; s > 0 && p < photos.size(); ++p) {
            const double iou = intersectionOverUnion(networkMask(*segmenters[s], photos[p].image, sides[s]), reference[size_t(p)]);
            worst = std::min(worst, iou);
            agreement << QStringLiteral("%1 %2").arg(photos[p].name).arg(iou, 0, 'f', 3);
        }
        say(QStringLiteral("    %1%2 %3 %4 = %5 x 1024%6")
                .arg(sides[s], 4)
                .arg(sides[s] == fastSide ? QStringLiteral(" (Fast)") : QStringLiteral("       "))
                .arg(ms(median(times[s])), spread(times[s]))
                .arg(median(times[s]) / median(times[0]), 0, 'f', 3)
                .arg(s == 0 ? QString()
                            : QStringLiteral(", IoU worst %1: %2").arg(worst, 0, 'f', 3).arg(agreement.join(QStringLiteral(", ")))));
    }
}

// (b) Each mode on the 12 MP photo: the engine's one call, and the whole photo (decode, engine,
// PNG encode). The network serves one input side at a time, so each round runs Fast, then the
// modes at 1024 side by side, each block after a reload and an untimed warm-up.
void compareModes(const Options& options, const QString& photoPath)
{
    say(QStringLiteral("(b) processing modes on the 12 MP photo, medians of %1 rounds").arg(options.runs));
    std::map<QString, std::vector<double>> engine;
    std::map<QString, std::vector<double>> whole;
    for (int round = 0; round < options.runs; ++round) {
        for (bool fastBlock : {true, false}) {
            loadOrDie(fastBlock ? networkInputSide(ProcessingQuality::fast) : ForegroundSegmenter::defaultInputSide);
            QImage photo;
            const double decodeMs = milliseconds([&] { photo = decode(photoPath); });
            removeBackgroundLocally(photo, RemovalOptions{fastBlock ? ProcessingQuality::fast : ProcessingQuality::balanced});
            QList<Mode> block;
            for (const Mode& mode : modes())
                if ((mode.options.quality == ProcessingQuality::fast) == fastBlock)
                    block.append(mode);
            // Each round starts with another mode, so that none is always the first after the warm-up.
            std::rotate(block.begin(), block.begin() + round % block.size(), block.end());
            for (const Mode& mode : block) {
                std::optional<QImage> cutout;
                const double engineMs = milliseconds([&] { cutout = removeBackgroundLocally(photo, mode.options); });
                const double encodeMs = milliseconds([&] { encodePNG(cutout.value_or(QImage())); });
                engine[mode.name].push_back(engineMs);
                whole[mode.name].push_back(decodeMs + engineMs + encodeMs);
            }
        }
    }
    const double balancedEngine = median(engine[modes()[0].name]);
    const double balancedWhole = median(whole[modes()[0].name]);
    for (const Mode& mode : modes()) {
        const double engineRatio = median(engine[mode.name]) / balancedEngine;
        const double wholeRatio = median(whole[mode.name]) / balancedWhole;
        QString target;
        if (mode.options.quality == ProcessingQuality::fast)
            target = QStringLiteral("   (target <= 0.45) %1").arg(wholeRatio <= 0.45 ? QStringLiteral("met") : QStringLiteral("MISSED"));
        else if (effectiveEdgeRefinement(mode.options) > 0)
            target = QStringLiteral("   (target <= 1.15) %1").arg(wholeRatio <= 1.15 ? QStringLiteral("met") : QStringLiteral("MISSED"));
        say(QStringLiteral("    %1 engine %2 %3 = %4 x, whole photo %5 = %6 x%7")
                .arg(mode.name, -22)
                .arg(ms(median(engine[mode.name])), spread(engine[mode.name]))
                .arg(engineRatio, 0, 'f', 3)
                .arg(ms(median(whole[mode.name])))
                .arg(wholeRatio, 0, 'f', 3)
                .arg(target));
    }
}

// The edge steps alone on the 12 MP photo's Balanced mask: what refinement, decontamination
// and crisp edges add to a photo, measured directly rather than as the difference of two runs.
void measureEdgeSteps(const Options& options, const QString& photoPath)
{
    const std::optional<WorkingImage> photo = makeWorkingImage(decode(photoPath));
    loadOrDie(ForegroundSegmenter::defaultInputSide);
    const std::optional<ForegroundMask> mask = photo ? generateForegroundMask(*photo) : std::nullopt;
    if (!mask) {
        say(QStringLiteral("    no mask for the 12 MP photo; edge steps skipped"));
        return;
    }
    std::vector<double> refineHalf, refineFull, decontaminate, crisp, plain;
    for (int i = 0; i < options.runs; ++i) {
        QImage values = mask->values.copy();
        refineHalf.push_back(milliseconds([&] { refineMaskEdges(values, photo->pixels, 0.5); }));
        values = mask->values.copy();
        refineFull.push_back(milliseconds([&] { refineMaskEdges(values, photo->pixels, 1.0); }));
        plain.push_back(milliseconds([&] { applyForegroundMask(ForegroundMask{values, 1, false}, *photo); }));
        decontaminate.push_back(milliseconds([&] { applyForegroundMask(ForegroundMask{values, 1, true}, *photo); }));
        crisp.push_back(milliseconds([&] { snapMaskToCrispEdges(values); }));
    }
    say(QStringLiteral("    edge steps alone: refine 0.5 %1, refine 1.0 %2, decontamination %3 (composite with it, less without), crisp edges %4")
            .arg(ms(median(refineHalf)), ms(median(refineFull)), ms(median(decontaminate) - median(plain)), ms(median(crisp))));
}

// (c) Peak resident memory of kivopro-remove on the 12 MP photo in each mode, one process each;
// run first, while the benchmark itself is small (see runMeasured).
void measurePeakMemory(const Options& options, const QString& photoPath)
{
    say(QStringLiteral("(c) kivopro-remove on the 12 MP photo, one process per mode (measured first)"));
    for (const Mode& mode : modes()) {
        QStringList arguments = mode.toolArguments;
        arguments << photoPath << QStringLiteral("-o") << QDir(options.work).filePath(QStringLiteral("out"));
        const auto run = runMeasured(options.removeTool, arguments, QDir(options.work).filePath(QStringLiteral("kivopro-remove.log")));
        if (!run) {
            say(QStringLiteral("    cannot start %1; skipped").arg(options.removeTool));
            return;
        }
        say(QStringLiteral("    %1 peak %2 MiB (target < 1536 MiB) %3, exit %4, %5 s with the network's load")
                .arg(mode.name, -22)
                .arg(run->peakMiB, 5, 'f', 0)
                .arg(run->peakMiB < 1536 ? QStringLiteral("met") : QStringLiteral("MISSED"))
                .arg(run->exitCode)
                .arg(run->wallSeconds, 0, 'f', 2));
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Options options{parseCommonOptions(app.arguments()), {}};
    options.photos = options.named.value(QStringLiteral("--photos")).split(QLatin1Char(','), Qt::SkipEmptyParts);
    const QString photoPath = prepareWork(
        options, QStringLiteral("kivo_quality_modes_bench --source PHOTO --work DIR [--runs N] [--photos A,B,...] [--remove-tool PATH]"));
    if (photoPath.isEmpty())
        return 2;
    say(QStringLiteral("KIVOPRO processing modes: %1 cores, load averages at the start %2")
            .arg(QThread::idealThreadCount()).arg(loadAverages()));
    if (!options.removeTool.isEmpty())
        measurePeakMemory(options, photoPath);

    QList<Photo> photos;
    for (const QString& path : QStringList{photoPath} + options.photos) {
        if (const auto working = makeWorkingImage(decode(path)))
            photos.append({QFileInfo(path).completeBaseName(), *working});
        else
            say(QStringLiteral("cannot decode %1; left out").arg(path));
    }
    compareInputSides(options, photos);
    compareModes(options, photoPath);
    measureEdgeSteps(options, photoPath);
    say(QStringLiteral("load averages at the end %1").arg(loadAverages()));
    return 0;
}
