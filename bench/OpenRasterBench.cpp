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

#include "BenchSupport.h"

#include "editor/openraster/OpenRaster.h"
#include "editor/rendering/CanvasRenderer.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QRandomGenerator>

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

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const CommonOptions options = parseCommonOptions(app.arguments());
    if (options.named.contains(QStringLiteral("--open")))
        return describeFile(options.named.value(QStringLiteral("--open")), options.named.value(QStringLiteral("--against")));
    if (options.named.contains(QStringLiteral("--modes")))
        return writeModeFiles(options.source, options.named.value(QStringLiteral("--modes")));
    const QString photo = prepareWork(options, QStringLiteral("kivo_openraster_bench --source PHOTO --work DIR [--runs N]"));
    if (photo.isEmpty())
        return 2;

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
