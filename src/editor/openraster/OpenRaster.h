#pragma once

#include "core/DomainModel.h"

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>
#include <vector>

namespace kivo {

// A layered picture as an OpenRaster file holds it, apart from the editor's own session types:
// the editor turns its session into one of these to save and back into a session after opening.
struct OpenRasterLayer {
    QString name;
    // Straight (non-premultiplied) alpha is kept exactly; any other format is converted to
    // Format_ARGB32 when written. Any size: `offset` places its top-left corner on the canvas.
    QImage image;
    QPoint offset;
    double opacity = 1.0;
    bool visible = true;
    BlendMode blend = BlendMode::normal;
    // The layer holding the photo; other programs ignore the flag.
    bool base = false;
};

struct OpenRasterDocument {
    // The editor's name for the document; empty when the file does not say.
    QString name;
    QSize size;
    // Bottom to top: layers.front() is drawn first. (The file lists them top first.)
    std::vector<OpenRasterLayer> layers;
    // The editor's filter names, as the editor spells them; kept but not interpreted here.
    QStringList enabledFilters;
    CanvasBackground background = CanvasBackground::transparent;
    // The colour of a custom background.
    QColor customBackground;
};

// The file's "composite-op" for a blend mode ("svg:multiply", …) and back; nothing for an
// operation the editor does not blend.
QString openRasterCompositeOp(BlendMode mode);
std::optional<BlendMode> blendModeFromCompositeOp(QStringView op);

// Writes the document as an OpenRaster file: `mimetype` first and stored, stack.xml, one PNG per
// layer, `mergedImage` as mergedimage.png and a thumbnail of it of at most 256 px. The merged
// image is the caller's so that the file shows exactly what the editor's own compositing
// shows; it must have the document's size. The file is replaced only once it is complete.
// Slow for large documents (PNG encoding): call it off the window's thread. The result is the
// reason for a failure.
std::optional<QString> writeOpenRaster(const QString& path, const OpenRasterDocument& document,
                                       const QImage& mergedImage);

struct OpenedOpenRaster {
    // Every layer has the document's size and a zero offset (offsets and nested stacks are
    // resolved while reading); Format_ARGB32 with the file's pixels.
    OpenRasterDocument document;
    // One sentence per thing that could not be kept as the file had it (an unsupported blend
    // mode, a flattened group, a layer cut at the canvas edge, a missing layer file, …).
    QStringList notes;
};

// Reads an OpenRaster file written by this application or another program. Files are treated
// as hostile: entry sizes, the canvas and every layer's pixel size are capped, and layer paths
// that leave the archive ("..", absolute) are skipped. The error is a sentence for the user.
// Slow for large documents: call it off the window's thread.
std::variant<OpenedOpenRaster, QString> readOpenRaster(const QString& path);

// The limits reading enforces.
inline constexpr qint64 kOpenRasterMaxPixels = 120'000'000;
inline constexpr int kOpenRasterMaxSide = 32'768;
inline constexpr qint64 kOpenRasterMaxEntryBytes = 1'024LL * 1024 * 1024;
inline constexpr qint64 kOpenRasterMaxTotalBytes = 4'096LL * 1024 * 1024;
inline constexpr int kOpenRasterMaxLayers = 1'000;
// Every layer is opened at the canvas's size: all of them together stay within this.
inline constexpr qint64 kOpenRasterMaxLayerMemory = 4'096LL * 1024 * 1024;

} // namespace kivo
