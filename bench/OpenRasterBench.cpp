// Benchmark of sessions as OpenRaster files: writing and reading a 12-megapixel document of four
// layers (medians), checked pixel for pixel. The written file stays in the work folder as
// "openraster-12mp.ora" for a look in other programs (Krita: `krita FILE --export
// --export-filename OUT.png` under Xvfb).
//
//   kivo_openraster_bench --source PHOTO --work DIR [--runs N]    (bash bench/run.sh openraster)
//
// With --open FILE [--against OTHER], it only opens FILE (written by another program, say) and
// prints its layers and notes, and how many pixels of each layer differ from OTHER's layer of
// the same position. With --modes DIR it writes one small file per blend mode (a photo under a
// colour-ramp layer at 70 % and a hidden layer) with its merged image beside it, for a check of
// each mode in another program.
//
// Then auto-save while editing: the same photo as a session of four layers in the editor's
// model, strokes on its layers (bursts of strokes with pauses, so that the auto-saver's debounce
// runs out and its saves overlap the next strokes), the auto-saver on, and a 10 ms timer on the
// window's thread that records every stall. Stalls while a stroke ran are the stroke's own cost;
// the others are what auto-save (and the machine) held the thread for. Then the auto-saver's
// hand-off alone: the time saveNow() takes on the window's thread for a changed 12 MP session.
// --part files|autosave runs one part only; --autosave-seconds N the editing time per run.

#include "BenchSupport.h"

#include "support/IsolatedAppState.h"

#include "editor/document/ImageEditorModel.h"
#include "editor/document/SessionAutoSaver.h"
#include "editor/openraster/OpenRaster.h"
#include "editor/rendering/CanvasRenderer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <optional>

namespace {

using namespace kivo;
using namespace kivo::bench;

// The merged picture for the file, by QPainter's separable blend modes.
QImage merge(const OpenRasterDocument& document)
{
    QImage merged(document.size, QImage::Format_ARGB32_Premultiplied);
    merged.fill(Qt::transparent);
    QPainter painter(&merged);
    for (const OpenRasterLayer& layer : document.layers) {
        if (!layer.visible)
            continue;
        painter.setCompositionMode(compositionMode(layer.blend));
        painter.setOpacity(layer.opacity);
        painter.drawImage(layer.offset, layer.image);
    }
    painter.end();
    return merged.convertToFormat(QImage::Format_ARGB32);
}

QImage strokes(QSize size, QColor color, quint32 seed)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QRandomGenerator random(seed);
    for (int i = 0; i < 40; ++i) {
        painter.setPen(QPen(color, 20 + random.bounded(60), Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(random.bounded(size.width()), random.bounded(size.height())),
                         QPointF(random.bounded(size.width()), random.bounded(size.height())));
    }
    return image;
}

} // namespace

int describeFile(const QString& path, const QString& against)
{
    const auto opened = readOpenRaster(path);
    if (const auto* error = std::get_if<QString>(&opened)) {
        say(*error);
        return 1;
    }
    std::optional<OpenedOpenRaster> other;
    if (!against.isEmpty()) {
        const auto read = readOpenRaster(against);
        if (const auto* file = std::get_if<OpenedOpenRaster>(&read))
            other = *file;
    }
    const OpenedOpenRaster& file = std::get<OpenedOpenRaster>(opened);
    say(QStringLiteral("%1: %2 × %3, %4 layers (bottom first)")
            .arg(path)
            .arg(file.document.size.width())
            .arg(file.document.size.height())
            .arg(file.document.layers.size()));
    for (size_t i = 0; i < file.document.layers.size(); ++i) {
        const OpenRasterLayer& layer = file.document.layers[i];
        QString line = QStringLiteral("  %1  %2  opacity %3  %4").arg(layer.name, openRasterCompositeOp(layer.blend))
                           .arg(layer.opacity, 0, 'f', 3)
                           .arg(layer.visible ? QStringLiteral("visible") : QStringLiteral("hidden"));
        if (other && i < other->document.layers.size()) {
            const QImage& mine = other->document.layers[i].image;
            qint64 differing = 0;
            int worst = 0;
            for (int y = 0; y < std::min(mine.height(), layer.image.height()); ++y)
                for (int x = 0; x < std::min(mine.width(), layer.image.width()); ++x) {
                    const QRgb a = layer.image.pixel(x, y);
                    const QRgb b = mine.pixel(x, y);
                    // Colour under a fully transparent pixel is not part of the picture.
                    if (a == b || (qAlpha(a) == 0 && qAlpha(b) == 0))
                        continue;
                    ++differing;
                    worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                      std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
                }
            line += QStringLiteral("  differs from “%1” in %2 pixels (at most %3/255)")
                        .arg(other->document.layers[i].name)
                        .arg(differing)
                        .arg(worst);
        }
        say(line);
    }
    for (const QString& note : file.notes)
        say(QStringLiteral("  note: ") + note);
    return 0;
}

int writeModeFiles(const QString& source, const QString& folder)
{
    const QImage photo = decode(source).scaled(600, 400, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                             .convertToFormat(QImage::Format_ARGB32);
    QImage ramp(photo.size(), QImage::Format_ARGB32);
    for (int y = 0; y < ramp.height(); ++y)
        for (int x = 0; x < ramp.width(); ++x)
            ramp.setPixel(x, y, qRgba(x * 255 / ramp.width(), y * 255 / ramp.height(), 255 - x * 255 / ramp.width(),
                                      55 + 200 * y / ramp.height()));
    QImage hidden(photo.size(), QImage::Format_ARGB32);
    hidden.fill(Qt::red);
    QDir().mkpath(folder);
    for (const BlendMode mode : allCases<BlendMode>()) {
        OpenRasterDocument document;
        document.size = photo.size();
        document.layers = {{QStringLiteral("Photo"), photo, {}, 1.0, true, BlendMode::normal, true},
                           {QStringLiteral("Ramp"), ramp, {}, 0.7, true, mode, false},
                           {QStringLiteral("Hidden"), hidden, {}, 1.0, false, BlendMode::normal, false}};
        const QImage merged = merge(document);
        const QString name = openRasterCompositeOp(mode).mid(4);
        merged.save(QDir(folder).filePath(name + QStringLiteral("-merged.png")));
        if (const auto error = writeOpenRaster(QDir(folder).filePath(name + QStringLiteral(".ora")), document, merged)) {
            say(*error);
            return 1;
        }
    }
    return 0;
}

// The window's thread while a 12 MP session of four layers is edited with auto-save on.
struct AutoSaveRun {
    double longestStall = 0;          // any stall of the 10 ms probe
    double longestStrokeStall = 0;    // stalls overlapping a stroke
    double longestOtherStall = 0;     // stalls with no stroke in them: auto-save's hand-offs and the machine
    double longestStroke = 0;         // a stroke's own time on the thread
    int saves = 0;                    // rounds of auto-saves finished while editing
    int strokes = 0;
};

DrawingStroke zigzag(QRandomGenerator& random, QSizeF canvas)
{
    DrawingStroke stroke{DrawingTool::marker(QColor::fromHsv(random.bounded(360), 200, 220), 30), {}};
    QPointF at(random.bounded(int(canvas.width())), random.bounded(int(canvas.height())));
    for (int i = 0; i < 24; ++i) {
        stroke.points << at;
        at += QPointF(random.bounded(50) - 25, random.bounded(50) - 25);
    }
    return stroke;
}

AutoSaveRun editWithAutoSave(ImageEditorModel& model, SessionAutoSaver& saver, int seconds, quint32 seed)
{
    AutoSaveRun run;
    QRandomGenerator random(seed);
    QElapsedTimer clock;
    clock.start();
    // Stroke intervals on the thread, in ms since the start.
    std::vector<std::pair<double, double>> strokes;
    const auto now = [&clock] { return double(clock.nsecsElapsed()) / 1e6; };
    const QMetaObject::Connection counting = QObject::connect(&saver, &SessionAutoSaver::saved, [&run] { ++run.saves; });

    std::vector<std::pair<double, double>> stalls;
    double lastTick = now();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const double tick = now();
        if (tick - lastTick > 12)
            stalls.emplace_back(lastTick, tick);
        lastTick = tick;
    });
    // A stroke every 250 ms, six to a burst, then 2.5 s of pause: the debounce runs out in the
    // pause and the save goes on while the next burst is drawn.
    QTimer pen;
    pen.setTimerType(Qt::PreciseTimer);
    int inBurst = 0;
    QObject::connect(&pen, &QTimer::timeout, [&] {
        const auto& layers = model.selectedSession()->layers;
        const double start = now();
        model.selectLayer(layers[run.strokes % layers.size()].id);
        model.applyBrushStroke(zigzag(random, model.canvasSize()));
        model.composition();
        strokes.emplace_back(start, now());
        ++run.strokes;
        pen.start(++inBurst % 6 == 0 ? 2500 : 250);
    });
    probe.start();
    pen.start(250);
    pumpUntil([&] { return clock.elapsed() > seconds * 1000; }, seconds * 1000 + 1000);
    pen.stop();
    probe.stop();
    pumpUntil([&] { return !saver.isSaving(); }, 60000);
    QObject::disconnect(counting);

    for (const auto& [from, to] : stalls) {
        const double stall = to - from - 10;
        const bool stroked = std::any_of(strokes.begin(), strokes.end(),
                                         [&](const auto& s) { return s.first < to && s.second > from; });
        run.longestStall = std::max(run.longestStall, stall);
        double& longestOfItsKind = stroked ? run.longestStrokeStall : run.longestOtherStall;
        longestOfItsKind = std::max(longestOfItsKind, stall);
    }
    for (const auto& [from, to] : strokes)
        run.longestStroke = std::max(run.longestStroke, to - from);
    return run;
}

int benchAutoSave(const QImage& photo, const CommonOptions& options)
{
    const int seconds = std::max(5, options.named.value(QStringLiteral("--autosave-seconds"), QStringLiteral("15")).toInt());
    const int runs = std::max(3, options.runs);
    test::IsolatedAppState state;
    ImageEditorModel model(state.appState);
    model.createNamedSession(QStringLiteral("autosave"));
    model.importImage(QUrl::fromLocalFile(QStringLiteral("/bench/photo.jpg")), photo);
    model.setCanvasSize({1200, 900});
    model.addLayer();
    model.setLayerBlendMode(model.selectedSession()->layers.back().id, BlendMode::multiply);
    model.addLayer();
    model.setLayerOpacity(model.selectedSession()->layers.back().id, 0.6);
    model.addLayer();
    model.setLayerBlendMode(model.selectedSession()->layers.back().id, BlendMode::screen);
    model.composition();
    QTemporaryDir folder(QDir(options.work).filePath(QStringLiteral("autosave-XXXXXX")));
    SessionAutoSaver saver(state.appState, folder.path());

    say(QStringLiteral("Auto-save while editing: %1 × %2, %3 layers, %4 s of strokes per run, %5 runs, %6 cores, load %7")
            .arg(photo.width())
            .arg(photo.height())
            .arg(model.selectedSession()->layers.size())
            .arg(seconds)
            .arg(runs)
            .arg(QThread::idealThreadCount())
            .arg(loadAverages()));
    // Each run twice, with auto-save on and, as the control, off: what only the first shows is
    // auto-save's doing; what both show is the strokes' and the loaded machine's.
    struct Figures {
        std::vector<double> longest, strokeStalls, otherStalls, strokeTimes;
    } on, off;
    const auto setAutoSave = [&state](bool enabled) {
        UserPreferences preferences = state.appState.userPreferences();
        preferences.autoSaveSessions = enabled;
        state.appState.setUserPreferences(preferences);
    };
    for (int run = 0; run < runs; ++run) {
        for (const bool autoSave : {true, false}) {
            setAutoSave(autoSave);
            const AutoSaveRun result = editWithAutoSave(model, saver, seconds, quint32(run + 1));
            Figures& figures = autoSave ? on : off;
            figures.longest.push_back(result.longestStall);
            figures.strokeStalls.push_back(result.longestStrokeStall);
            figures.otherStalls.push_back(result.longestOtherStall);
            figures.strokeTimes.push_back(result.longestStroke);
            say(QStringLiteral("  run %1, auto-save %2: %3 strokes, %4 auto-save rounds; longest stall %5 (during a stroke %6, "
                               "without one %7); longest stroke %8")
                    .arg(run + 1)
                    .arg(autoSave ? QStringLiteral("on ") : QStringLiteral("off"))
                    .arg(result.strokes)
                    .arg(result.saves)
                    .arg(ms(result.longestStall), ms(result.longestStrokeStall), ms(result.longestOtherStall),
                         ms(result.longestStroke)));
        }
    }
    setAutoSave(true);
    // The hand-off alone: a changed session given to the saver's thread.
    std::vector<double> handOffs;
    QRandomGenerator random(99);
    for (int run = 0; run < std::max(10, runs); ++run) {
        model.applyBrushStroke(zigzag(random, model.canvasSize()));
        handOffs.push_back(milliseconds([&] { saver.saveNow(); }));
        pumpUntil([&] { return !saver.isSaving(); }, 60000);
    }
    const double handOff = *std::max_element(handOffs.begin(), handOffs.end());
    say(QStringLiteral("  medians of the runs' longest, auto-save on | off:"));
    const auto row = [](const char* what, const std::vector<double>& a, const std::vector<double>& b) {
        say(QStringLiteral("    %1 %2 %3 | %4 %5")
                .arg(QString::fromLatin1(what).leftJustified(24), ms(median(a)), spread(a), ms(median(b)), spread(b)));
    };
    row("stall", on.longest, off.longest);
    row("stall during a stroke", on.strokeStalls, off.strokeStalls);
    row("stall without a stroke", on.otherStalls, off.otherStalls);
    row("stroke", on.strokeTimes, off.strokeTimes);
    say(QStringLiteral("  auto-save hand-off (saveNow on the window's thread): median %1, longest %2 %3")
            .arg(ms(median(handOffs)), ms(handOff), spread(handOffs)));
    const bool met = handOff < 50;
    say(QStringLiteral("  AUTO-SAVE HOLDS THE WINDOW'S THREAD AT MOST %1 PER SAVE; target < 50 ms: %2")
            .arg(ms(handOff), met ? QStringLiteral("met") : QStringLiteral("MISSED")));
    return met ? 0 : 1;
}

int benchFiles(const QString& photo, const CommonOptions& options)
{
    OpenRasterDocument document;
    const QImage base = decode(photo).convertToFormat(QImage::Format_ARGB32);
    document.size = base.size();
    document.enabledFilters = {QStringLiteral("brightness")};
    const struct {
        const char* name;
        QColor color;
        BlendMode blend;
        double opacity;
    } layers[] = {{"Photo", {}, BlendMode::normal, 1.0},
                  {"Shadows", QColor(40, 20, 120, 200), BlendMode::multiply, 0.8},
                  {"Light", QColor(250, 220, 120, 255), BlendMode::screen, 0.6},
                  {"Contrast", QColor(200, 60, 40, 180), BlendMode::overlay, 1.0}};
    quint32 seed = 1;
    for (const auto& spec : layers) {
        OpenRasterLayer layer;
        layer.name = QString::fromLatin1(spec.name);
        layer.image = spec.color.isValid() ? strokes(document.size, spec.color, seed++) : base;
        layer.blend = spec.blend;
        layer.opacity = spec.opacity;
        layer.base = !spec.color.isValid();
        document.layers.push_back(layer);
    }
    const QImage merged = merge(document);
    merged.save(QDir(options.work).filePath(QStringLiteral("openraster-12mp-merged.png")));
    const QString path = QDir(options.work).filePath(QStringLiteral("openraster-12mp.ora"));

    say(QStringLiteral("OpenRaster: %1 × %2, %3 layers, %4 runs")
            .arg(document.size.width())
            .arg(document.size.height())
            .arg(document.layers.size())
            .arg(options.runs));
    Timings writing;
    Timings reading;
    bool exact = true;
    for (int run = 0; run < options.runs; ++run) {
        writing.measure([&] {
            if (const auto error = writeOpenRaster(path, document, merged))
                say(QStringLiteral("write failed: ") + *error);
        });
        std::variant<OpenedOpenRaster, QString> opened;
        reading.measure([&] { opened = readOpenRaster(path); });
        const auto* file = std::get_if<OpenedOpenRaster>(&opened);
        exact = exact && file && file->document.layers.size() == document.layers.size();
        for (size_t i = 0; exact && i < document.layers.size(); ++i)
            exact = file->document.layers[i].image == document.layers[i].image;
    }
    say(QStringLiteral("  write  %1  %2").arg(writing.describe(), spread(writing.wall)));
    say(QStringLiteral("  read   %1  %2").arg(reading.describe(), spread(reading.wall)));
    say(QStringLiteral("  file   %1 MB, layers read back %2")
            .arg(double(QFileInfo(path).size()) / 1e6, 0, 'f', 1)
            .arg(exact ? QStringLiteral("exact") : QStringLiteral("DIFFERENT")));
    say(QStringLiteral("  target < 2000 ms each: %1")
            .arg(writing.medianWall() < 2000 && reading.medianWall() < 2000 ? QStringLiteral("met") : QStringLiteral("MISSED")));
    return exact ? 0 : 1;
}

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const CommonOptions options = parseCommonOptions(app.arguments());
    if (options.named.contains(QStringLiteral("--open")))
        return describeFile(options.named.value(QStringLiteral("--open")), options.named.value(QStringLiteral("--against")));
    if (options.named.contains(QStringLiteral("--modes")))
        return writeModeFiles(options.source, options.named.value(QStringLiteral("--modes")));
    const QString photo = prepareWork(options, QStringLiteral("kivo_openraster_bench --source PHOTO --work DIR [--runs N] "
                                                              "[--part files|autosave] [--autosave-seconds N]"));
    if (photo.isEmpty())
        return 2;
    const QString part = options.named.value(QStringLiteral("--part"));
    int failed = 0;
    if (part.isEmpty() || part == u"files")
        failed |= benchFiles(photo, options);
    if (part.isEmpty() || part == u"autosave")
        failed |= benchAutoSave(decode(photo), options);
    return failed;
}
