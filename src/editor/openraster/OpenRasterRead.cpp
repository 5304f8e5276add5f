#include "OpenRaster.h"
#include "OpenRasterNames.h"
#include "ZipArchive.h"

#include <QBuffer>
#include <QImageReader>
#include <QThreadPool>
#include <QXmlStreamReader>
#include <QtConcurrent/QtConcurrentMap>

#include <cstring>

namespace kivo {

namespace {

// A layer as stack.xml describes it, with the groups around it already folded in.
struct LayerEntry {
    QString name;
    QString source;
    QPoint offset;
    double opacity = 1.0;
    bool visible = true;
    BlendMode blend = BlendMode::normal;
    bool base = false;
    QByteArray png;
    QImage placed;
    bool cut = false;
    QString failure;
};

// What a group passes on to the layers inside it once it is flattened.
struct GroupContext {
    QPoint offset;
    double opacity = 1.0;
    bool visible = true;
};

struct StackParse {
    QString name;
    QSize size;
    std::vector<LayerEntry> layersTopFirst;
    QStringList filters;
    CanvasBackground background = CanvasBackground::transparent;
    QColor customBackground;
    QStringList notes;
    QString error;
};

int intAttribute(const QXmlStreamAttributes& attributes, const char* name, int fallback = 0)
{
    bool ok = false;
    const int value = attributes.value(QLatin1String(name)).toInt(&ok);
    return ok ? value : fallback;
}

double opacityAttribute(const QXmlStreamAttributes& attributes)
{
    bool ok = false;
    const double value = attributes.value(QLatin1String("opacity")).toDouble(&ok);
    return ok ? std::clamp(value, 0.0, 1.0) : 1.0;
}

bool hiddenAttribute(const QXmlStreamAttributes& attributes)
{
    return attributes.value(QLatin1String("visibility")) == u"hidden";
}

QString displayName(const QString& name)
{
    return name.isEmpty() ? QStringLiteral("(unnamed)") : name;
}

// Archive paths that leave the archive are never followed.
bool safeEntryPath(const QString& path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\')))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    return !parts.contains(QStringLiteral("..")) && !parts.contains(QStringLiteral("."));
}

void readStack(QXmlStreamReader& xml, const GroupContext& context, int depth, StackParse& parse)
{
    const QString own = QString::fromLatin1(kOpenRasterOwnNamespace);
    while (xml.readNextStartElement()) {
        const QXmlStreamAttributes attributes = xml.attributes();
        const QString name = attributes.value(QLatin1String("name")).toString();
        if (xml.name() == u"layer") {
            LayerEntry layer;
            layer.name = name;
            layer.source = attributes.value(QLatin1String("src")).toString();
            layer.offset = context.offset + QPoint(intAttribute(attributes, "x"), intAttribute(attributes, "y"));
            layer.opacity = context.opacity * opacityAttribute(attributes);
            layer.visible = context.visible && !hiddenAttribute(attributes);
            layer.base = attributes.value(own, QLatin1String("base")) == u"true";
            const QStringView op = attributes.value(QLatin1String("composite-op"));
            if (!op.isEmpty()) {
                if (const auto mode = blendModeFromCompositeOp(op))
                    layer.blend = *mode;
                else
                    parse.notes.append(QStringLiteral("Layer “%1” uses the blend mode “%2”, which is not supported: it is shown as Normal.")
                                           .arg(displayName(name), op.toString()));
            }
            if (int(parse.layersTopFirst.size()) >= kOpenRasterMaxLayers) {
                parse.error = QStringLiteral("The file has more than %1 layers.").arg(kOpenRasterMaxLayers);
                return;
            }
            parse.layersTopFirst.push_back(layer);
            xml.skipCurrentElement();
        } else if (xml.name() == u"stack") {
            if (depth >= 32) {
                parse.error = QStringLiteral("The file's layer groups are nested too deeply.");
                return;
            }
            GroupContext inner{context.offset + QPoint(intAttribute(attributes, "x"), intAttribute(attributes, "y")),
                               context.opacity * opacityAttribute(attributes),
                               context.visible && !hiddenAttribute(attributes)};
            QString note = QStringLiteral("The layer group “%1” was ungrouped: its layers are kept as separate layers")
                               .arg(displayName(name));
            const QStringView op = attributes.value(QLatin1String("composite-op"));
            if (!op.isEmpty() && op != u"svg:src-over")
                note += QStringLiteral(" and the group's blend mode “%1” is dropped").arg(op.toString());
            parse.notes.append(note + QLatin1Char('.'));
            readStack(xml, inner, depth + 1, parse);
            if (!parse.error.isEmpty())
                return;
        } else {
            parse.notes.append(QStringLiteral("An element “%1” of the layer stack is not supported and was skipped.")
                                   .arg(xml.name().toString()));
            xml.skipCurrentElement();
        }
    }
}

StackParse parseStack(const QByteArray& bytes)
{
    StackParse parse;
    QXmlStreamReader xml(bytes);
    if (!xml.readNextStartElement() || xml.name() != u"image") {
        parse.error = QStringLiteral("Its stack.xml has no image element.");
        return parse;
    }
    const QXmlStreamAttributes attributes = xml.attributes();
    const QString own = QString::fromLatin1(kOpenRasterOwnNamespace);
    parse.size = QSize(intAttribute(attributes, "w", -1), intAttribute(attributes, "h", -1));
    if (parse.size.width() <= 0 || parse.size.height() <= 0) {
        parse.error = QStringLiteral("Its canvas has no valid size.");
        return parse;
    }
    if (parse.size.width() > kOpenRasterMaxSide || parse.size.height() > kOpenRasterMaxSide
        || qint64(parse.size.width()) * parse.size.height() > kOpenRasterMaxPixels) {
        parse.error = QStringLiteral("Its canvas of %1 × %2 pixels is larger than the editor opens.")
                          .arg(parse.size.width())
                          .arg(parse.size.height());
        return parse;
    }
    parse.name = attributes.value(own, QLatin1String("name")).toString();
    if (const auto background = fromRawValue<CanvasBackground>(attributes.value(own, QLatin1String("background"))))
        parse.background = *background;
    parse.customBackground = QColor(attributes.value(own, QLatin1String("background-color")).toString());
    if (parse.background == CanvasBackground::custom && !parse.customBackground.isValid())
        parse.background = CanvasBackground::transparent;
    const QString filters = attributes.value(own, QLatin1String("filters")).toString();
    if (!filters.isEmpty())
        parse.filters = filters.split(QLatin1Char(','));

    bool sawStack = false;
    while (xml.readNextStartElement()) {
        if (xml.name() == u"stack" && !sawStack) {
            sawStack = true;
            readStack(xml, {}, 0, parse);
            if (!parse.error.isEmpty())
                return parse;
        } else {
            xml.skipCurrentElement();
        }
    }
    if (xml.hasError())
        parse.error = QStringLiteral("Its stack.xml is damaged (%1).").arg(xml.errorString());
    else if (!sawStack)
        parse.error = QStringLiteral("Its stack.xml has no layer stack.");
    return parse;
}

// Decodes the layer's PNG and copies its pixels onto a transparent canvas of the document's
// size at its offset, byte for byte so straight alpha survives exactly.
void placeLayer(LayerEntry& layer, const QSize& documentSize)
{
    QBuffer buffer(&layer.png);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > kOpenRasterMaxSide || size.height() > kOpenRasterMaxSide
        || qint64(size.width()) * size.height() > kOpenRasterMaxPixels) {
        layer.failure = QStringLiteral("its image is missing, damaged or too large");
        return;
    }
    reader.setAllocationLimit(int(qint64(size.width()) * size.height() * 8 / (1024 * 1024)) + 1);
    QImage decoded = reader.read();
    layer.png.clear();
    if (decoded.isNull()) {
        layer.failure = QStringLiteral("its image could not be decoded");
        return;
    }
    decoded = decoded.convertToFormat(QImage::Format_ARGB32);

    QImage canvas(documentSize, QImage::Format_ARGB32);
    if (canvas.isNull()) {
        layer.failure = QStringLiteral("there is not enough memory for it");
        return;
    }
    canvas.fill(Qt::transparent);
    const QRect target = QRect(layer.offset, decoded.size()).intersected(canvas.rect());
    layer.cut = target != QRect(layer.offset, decoded.size());
    for (int y = target.top(); y <= target.bottom(); ++y) {
        const auto* from = reinterpret_cast<const QRgb*>(decoded.constScanLine(y - layer.offset.y()))
            + (target.left() - layer.offset.x());
        std::memcpy(reinterpret_cast<QRgb*>(canvas.scanLine(y)) + target.left(), from,
                    size_t(target.width()) * sizeof(QRgb));
    }
    layer.placed = canvas;
}

} // namespace

QString openRasterCompositeOp(BlendMode mode)
{
    switch (mode) {
    case BlendMode::normal: return QStringLiteral("svg:src-over");
    case BlendMode::multiply: return QStringLiteral("svg:multiply");
    case BlendMode::screen: return QStringLiteral("svg:screen");
    case BlendMode::overlay: return QStringLiteral("svg:overlay");
    case BlendMode::softLight: return QStringLiteral("svg:soft-light");
    case BlendMode::hardLight: return QStringLiteral("svg:hard-light");
    }
    return QStringLiteral("svg:src-over");
}

std::optional<BlendMode> blendModeFromCompositeOp(QStringView op)
{
    for (const BlendMode mode : allCases<BlendMode>())
        if (openRasterCompositeOp(mode) == op)
            return mode;
    return std::nullopt;
}

std::variant<OpenedOpenRaster, QString> readOpenRaster(const QString& path)
{
    const auto refuse = [&](const QString& reason) {
        return QStringLiteral("“%1” cannot be opened as an OpenRaster file. %2").arg(path, reason);
    };
    ZipReader zip(kOpenRasterMaxEntryBytes, kOpenRasterMaxTotalBytes);
    if (const auto error = zip.open(path))
        return refuse(QStringLiteral("It is not a readable zip archive (%1).").arg(*error));

    OpenedOpenRaster opened;
    const auto mimetype = zip.read(QStringLiteral("mimetype"));
    if (const auto* bytes = std::get_if<QByteArray>(&mimetype)) {
        if (bytes->trimmed() != "image/openraster")
            return refuse(QStringLiteral("It declares the type “%1”.").arg(QString::fromUtf8(bytes->left(100))));
    } else {
        opened.notes.append(QStringLiteral("The file does not declare its type; it was read as OpenRaster."));
    }

    auto stackBytes = zip.read(QStringLiteral("stack.xml"));
    if (auto* error = std::get_if<QString>(&stackBytes))
        return refuse(QStringLiteral("Its layer list: %1.").arg(*error));
    StackParse stack = parseStack(std::get<QByteArray>(stackBytes));
    if (!stack.error.isEmpty())
        return refuse(stack.error);
    opened.notes += stack.notes;
    const qint64 layerBytes = qint64(stack.size.width()) * stack.size.height() * qint64(sizeof(QRgb));
    if (qint64(stack.layersTopFirst.size()) * layerBytes > kOpenRasterMaxLayerMemory)
        return refuse(QStringLiteral("Its %1 layers of %2 × %3 pixels need more memory than the editor allows.")
                          .arg(stack.layersTopFirst.size())
                          .arg(stack.size.width())
                          .arg(stack.size.height()));

    for (LayerEntry& layer : stack.layersTopFirst) {
        if (!safeEntryPath(layer.source)) {
            layer.failure = QStringLiteral("its image path “%1” points outside the file").arg(layer.source);
            continue;
        }
        auto bytes = zip.read(layer.source);
        if (auto* error = std::get_if<QString>(&bytes)) {
            // A total beyond the cap is a hostile file, not one missing layer.
            if (error->endsWith(u"is too large"))
                return refuse(QStringLiteral("Its layer images are larger than the editor opens."));
            layer.failure = *error;
        } else {
            layer.png = std::get<QByteArray>(bytes);
        }
    }

    // Layers decode independently; a pool of our own keeps this safe to call from a pool thread.
    QThreadPool pool;
    QtConcurrent::blockingMap(&pool, stack.layersTopFirst, [&](LayerEntry& layer) {
        if (layer.failure.isEmpty())
            placeLayer(layer, stack.size);
    });

    opened.document.name = stack.name;
    opened.document.size = stack.size;
    opened.document.enabledFilters = stack.filters;
    opened.document.background = stack.background;
    opened.document.customBackground = stack.customBackground;
    for (auto it = stack.layersTopFirst.rbegin(); it != stack.layersTopFirst.rend(); ++it) {
        if (!it->failure.isEmpty()) {
            opened.notes.append(QStringLiteral("Layer “%1” was left out: %2.").arg(displayName(it->name), it->failure));
            continue;
        }
        if (it->cut)
            opened.notes.append(QStringLiteral("Layer “%1” reaches beyond the canvas; the part outside was cut off.")
                                    .arg(displayName(it->name)));
        OpenRasterLayer layer;
        layer.name = it->name;
        layer.image = it->placed;
        layer.opacity = it->opacity;
        layer.visible = it->visible;
        layer.blend = it->blend;
        layer.base = it->base;
        opened.document.layers.push_back(std::move(layer));
    }
    return opened;
}

} // namespace kivo
