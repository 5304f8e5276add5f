#include "OpenRaster.h"
#include "OpenRasterNames.h"
#include "ZipArchive.h"

#include "core/AtomicFile.h"
#include "core/PngEncoder.h"

#include <QXmlStreamWriter>

namespace kivo {

namespace {

QByteArray stackXml(const OpenRasterDocument& document)
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeNamespace(QString::fromLatin1(kOpenRasterOwnNamespace), QStringLiteral("kivo"));
    writer.writeStartElement(QStringLiteral("image"));
    writer.writeAttribute(QStringLiteral("version"), QStringLiteral("0.0.5"));
    writer.writeAttribute(QStringLiteral("w"), QString::number(document.size.width()));
    writer.writeAttribute(QStringLiteral("h"), QString::number(document.size.height()));
    const QString own = QString::fromLatin1(kOpenRasterOwnNamespace);
    if (!document.name.isEmpty())
        writer.writeAttribute(own, QStringLiteral("name"), document.name);
    writer.writeAttribute(own, QStringLiteral("background"), rawValue(document.background));
    if (document.background == CanvasBackground::custom)
        writer.writeAttribute(own, QStringLiteral("background-color"),
                              document.customBackground.name(QColor::HexArgb));
    writer.writeAttribute(own, QStringLiteral("filters"), document.enabledFilters.join(QLatin1Char(',')));

    writer.writeStartElement(QStringLiteral("stack"));
    // The file lists the top layer first.
    for (size_t i = document.layers.size(); i-- > 0;) {
        const OpenRasterLayer& layer = document.layers[i];
        writer.writeEmptyElement(QStringLiteral("layer"));
        writer.writeAttribute(QStringLiteral("name"), layer.name);
        writer.writeAttribute(QStringLiteral("src"), openRasterLayerPath(i));
        writer.writeAttribute(QStringLiteral("x"), QString::number(layer.offset.x()));
        writer.writeAttribute(QStringLiteral("y"), QString::number(layer.offset.y()));
        writer.writeAttribute(QStringLiteral("opacity"), QString::number(layer.opacity, 'f', 4));
        writer.writeAttribute(QStringLiteral("visibility"),
                              layer.visible ? QStringLiteral("visible") : QStringLiteral("hidden"));
        writer.writeAttribute(QStringLiteral("composite-op"), openRasterCompositeOp(layer.blend));
        if (layer.base)
            writer.writeAttribute(own, QStringLiteral("base"), QStringLiteral("true"));
    }
    writer.writeEndElement();
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

std::optional<QByteArray> straightPng(const QImage& image)
{
    // Layer files hold straight alpha; Format_ARGB32 is written as it is, byte for byte.
    const QImage straight = image.hasAlphaChannel() ? image.convertToFormat(QImage::Format_ARGB32) : image;
    return encodePNG(straight);
}

} // namespace

std::optional<QString> writeOpenRaster(const QString& path, const OpenRasterDocument& document, const QImage& mergedImage)
{
    if (document.size.isEmpty())
        return QStringLiteral("The document has no size.");
    if (mergedImage.size() != document.size)
        return QStringLiteral("The merged image does not have the document's size.");

    ZipBuilder zip;
    // Readers recognise the format by this first, uncompressed entry.
    zip.add(QStringLiteral("mimetype"), QByteArrayLiteral("image/openraster"), ZipBuilder::Compression::store);
    zip.add(QStringLiteral("stack.xml"), stackXml(document), ZipBuilder::Compression::deflate);
    for (size_t i = 0; i < document.layers.size(); ++i) {
        const QImage& image = document.layers[i].image;
        // An empty layer still needs a file; one transparent pixel stands in.
        QImage pixels = image;
        if (pixels.isNull()) {
            pixels = QImage(1, 1, QImage::Format_ARGB32);
            pixels.fill(Qt::transparent);
        }
        const auto png = straightPng(pixels);
        if (!png)
            return QStringLiteral("Layer “%1” could not be encoded.").arg(document.layers[i].name);
        zip.add(openRasterLayerPath(i), *png, ZipBuilder::Compression::store);
    }
    const auto merged = straightPng(mergedImage);
    const QImage thumbnail = mergedImage.width() > 256 || mergedImage.height() > 256
        ? mergedImage.scaled(256, 256, Qt::KeepAspectRatio, Qt::SmoothTransformation)
        : mergedImage;
    const auto thumbnailPng = straightPng(thumbnail);
    if (!merged || !thumbnailPng)
        return QStringLiteral("The merged image could not be encoded.");
    zip.add(QStringLiteral("mergedimage.png"), *merged, ZipBuilder::Compression::store);
    zip.add(QStringLiteral("Thumbnails/thumbnail.png"), *thumbnailPng, ZipBuilder::Compression::store);

    auto archive = zip.finish();
    if (auto* error = std::get_if<QString>(&archive))
        return QStringLiteral("The file could not be assembled: %1").arg(*error);
    return writeFileAtomically(path, std::get<QByteArray>(archive));
}

} // namespace kivo
