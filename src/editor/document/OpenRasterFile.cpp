#include "OpenRasterFile.h"

#include "SessionEdits.h"

#include "editor/rendering/CanvasRenderer.h"

#include "core/AtomicFile.h"
#include "core/PngEncoder.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <zip.h>

#include <memory>

namespace kivo {

namespace {

const QString ourNamespace = QStringLiteral("https://kivopro.app/openraster");
constexpr int thumbnailSide = 256;

QString svgName(BlendMode mode)
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

std::optional<BlendMode> blendOf(const QString& name)
{
    for (BlendMode mode : allCases<BlendMode>())
        if (svgName(mode) == name)
            return mode;
    return std::nullopt;
}

QByteArray stackXml(const EditorSession& session, const QSize& size)
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeNamespace(ourNamespace, QStringLiteral("kivo"));
    writer.writeStartElement(QStringLiteral("image"));
    writer.writeAttribute(QStringLiteral("version"), QStringLiteral("0.0.5"));
    writer.writeAttribute(QStringLiteral("w"), QString::number(size.width()));
    writer.writeAttribute(QStringLiteral("h"), QString::number(size.height()));
    writer.writeAttribute(ourNamespace, QStringLiteral("session-name"), session.name);
    writer.writeAttribute(ourNamespace, QStringLiteral("background"), rawValue(session.canvasBackground));
    writer.writeAttribute(ourNamespace, QStringLiteral("background-color"), session.customBackgroundColor.name());
    QStringList filters;
    for (FilterType type : allFilterTypes)
        if (session.enabledFilterNames.contains(filterName(type)))
            filters << filterName(type);
    writer.writeAttribute(ourNamespace, QStringLiteral("filters"), filters.join(QLatin1Char(',')));
    writer.writeStartElement(QStringLiteral("stack"));
    // The top layer comes first.
    for (qsizetype i = session.layers.size() - 1; i >= 0; --i) {
        const ImageLayer& layer = session.layers[i];
        writer.writeStartElement(QStringLiteral("layer"));
        writer.writeAttribute(QStringLiteral("name"), layer.name);
        writer.writeAttribute(QStringLiteral("src"), QStringLiteral("data/layer%1.png").arg(i));
        writer.writeAttribute(QStringLiteral("x"), QStringLiteral("0"));
        writer.writeAttribute(QStringLiteral("y"), QStringLiteral("0"));
        writer.writeAttribute(QStringLiteral("opacity"), QString::number(layer.opacity, 'g', 6));
        writer.writeAttribute(QStringLiteral("visibility"), layer.isVisible ? QStringLiteral("visible") : QStringLiteral("hidden"));
        writer.writeAttribute(QStringLiteral("composite-op"), svgName(layer.blendMode));
        if (layer.isBaseLayer)
            writer.writeAttribute(ourNamespace, QStringLiteral("base"), QStringLiteral("true"));
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

struct ZipDeleter {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};

// An archive in memory with its entries in order; the buffers stay alive until it is closed.
class ZipWriter {
public:
    ZipWriter()
    {
        zip_error_init(&m_error);
        m_source = zip_source_buffer_create(nullptr, 0, 0, &m_error);
        if (m_source) {
            zip_source_keep(m_source);
            m_archive = zip_open_from_source(m_source, ZIP_TRUNCATE, &m_error);
        }
    }
    ~ZipWriter()
    {
        if (m_archive)
            zip_discard(m_archive);
        if (m_source)
            zip_source_free(m_source);
        zip_error_fini(&m_error);
    }

    bool add(const QString& name, const QByteArray& bytes, bool compress)
    {
        if (!m_archive)
            return false;
        m_kept.push_back(bytes);
        zip_source_t* data = zip_source_buffer(m_archive, m_kept.back().constData(), zip_uint64_t(bytes.size()), 0);
        if (!data)
            return false;
        const zip_int64_t index = zip_file_add(m_archive, name.toUtf8().constData(), data, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(data);
            return false;
        }
        return zip_set_file_compression(m_archive, zip_uint64_t(index), compress ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0) == 0;
    }

    std::optional<QByteArray> finish()
    {
        if (!m_archive || zip_close(m_archive) != 0)
            return std::nullopt;
        m_archive = nullptr;
        if (zip_source_open(m_source) != 0)
            return std::nullopt;
        zip_source_seek(m_source, 0, SEEK_END);
        const zip_int64_t size = zip_source_tell(m_source);
        zip_source_seek(m_source, 0, SEEK_SET);
        QByteArray bytes(qsizetype(std::max<zip_int64_t>(size, 0)), Qt::Uninitialized);
        const zip_int64_t read = zip_source_read(m_source, bytes.data(), zip_uint64_t(bytes.size()));
        zip_source_close(m_source);
        if (read != size)
            return std::nullopt;
        return bytes;
    }

private:
    zip_error_t m_error;
    zip_source_t* m_source = nullptr;
    zip_t* m_archive = nullptr;
    std::vector<QByteArray> m_kept;
};

std::optional<QByteArray> entry(zip_t* archive, const QString& name)
{
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat(archive, name.toUtf8().constData(), 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE))
        return std::nullopt;
    std::unique_ptr<zip_file_t, decltype(&zip_fclose)> file(zip_fopen(archive, name.toUtf8().constData(), 0), zip_fclose);
    if (!file)
        return std::nullopt;
    QByteArray bytes(qsizetype(stat.size), Qt::Uninitialized);
    if (zip_fread(file.get(), bytes.data(), stat.size) != zip_int64_t(stat.size))
        return std::nullopt;
    return bytes;
}

QImage pngImage(const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    QImageReader reader(&buffer, "png");
    return reader.read();
}

} // namespace

std::optional<QByteArray> encodeOpenRaster(const EditorSession& session)
{
    const auto merged = renderCanvasToImage(session);
    if (!merged)
        return std::nullopt;
    ZipWriter zip;
    if (!zip.add(QStringLiteral("mimetype"), QByteArrayLiteral("image/openraster"), false)
        || !zip.add(QStringLiteral("stack.xml"), stackXml(session, merged->size()), true))
        return std::nullopt;
    for (qsizetype i = 0; i < session.layers.size(); ++i) {
        const auto png = encodePNG(session.layers[i].image);
        if (!png || !zip.add(QStringLiteral("data/layer%1.png").arg(i), *png, false))
            return std::nullopt;
    }
    const auto mergedPng = encodePNG(*merged);
    const auto thumbnail = encodePNG(merged->scaled(thumbnailSide, thumbnailSide, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    if (!mergedPng || !thumbnail || !zip.add(QStringLiteral("mergedimage.png"), *mergedPng, false)
        || !zip.add(QStringLiteral("Thumbnails/thumbnail.png"), *thumbnail, false))
        return std::nullopt;
    return zip.finish();
}

std::optional<QString> saveSessionFile(const QString& path, const EditorSession& session)
{
    const auto bytes = encodeOpenRaster(session);
    if (!bytes)
        return QStringLiteral("Failed to save session.");
    if (const auto failure = writeFileAtomically(path, *bytes))
        return QStringLiteral("Failed to save session: ") + *failure;
    return std::nullopt;
}

std::variant<OpenedDocument, QString> decodeOpenRaster(const QByteArray& bytes, const QString& name)
{
    const QString notOra = QStringLiteral("The file is not an OpenRaster image.");
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.constData(), zip_uint64_t(bytes.size()), 0, &error);
    zip_error_fini(&error);
    if (!source)
        return notOra;
    std::unique_ptr<zip_t, ZipDeleter> archive(zip_open_from_source(source, ZIP_RDONLY, nullptr));
    if (!archive) {
        zip_source_free(source);
        return notOra;
    }
    const auto mimetype = entry(archive.get(), QStringLiteral("mimetype"));
    const auto stack = entry(archive.get(), QStringLiteral("stack.xml"));
    if (!mimetype || mimetype->trimmed() != "image/openraster" || !stack)
        return notOra;

    OpenedDocument opened;
    EditorSession& session = opened.session;
    session.name = name;
    QSize size;
    QList<ImageLayer> topFirst;
    int depth = 0;
    QXmlStreamReader xml(*stack);
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isEndElement() && xml.name() == u"stack")
            --depth;
        if (!xml.isStartElement())
            continue;
        const QXmlStreamAttributes attributes = xml.attributes();
        if (xml.name() == u"image") {
            size = QSize(attributes.value(QStringLiteral("w")).toInt(), attributes.value(QStringLiteral("h")).toInt());
            if (attributes.hasAttribute(ourNamespace, QStringLiteral("session-name")))
                session.name = attributes.value(ourNamespace, QStringLiteral("session-name")).toString();
            if (const auto background = fromRawValue<CanvasBackground>(attributes.value(ourNamespace, QStringLiteral("background"))))
                session.canvasBackground = *background;
            const QColor colour(attributes.value(ourNamespace, QStringLiteral("background-color")).toString());
            if (colour.isValid())
                session.customBackgroundColor = colour;
            for (const QString& filter : attributes.value(ourNamespace, QStringLiteral("filters")).toString().split(QLatin1Char(','), Qt::SkipEmptyParts))
                session.enabledFilterNames.insert(filter);
        } else if (xml.name() == u"stack") {
            if (++depth > 1)
                opened.dropped << QStringLiteral("Nested layer groups were flattened into one list.");
        } else if (xml.name() == u"layer") {
            const auto png = entry(archive.get(), attributes.value(QStringLiteral("src")).toString());
            const QImage pixels = png ? pngImage(*png) : QImage();
            if (pixels.isNull()) {
                opened.dropped << QStringLiteral("Layer \"%1\" could not be read.").arg(attributes.value(QStringLiteral("name")));
                xml.skipCurrentElement();
                continue;
            }
            // Layers take the document's size, their pixels at their offset.
            QImage placed(size.isEmpty() ? pixels.size() : size, QImage::Format_ARGB32_Premultiplied);
            placed.fill(Qt::transparent);
            {
                QPainter painter(&placed);
                painter.drawImage(QPoint(attributes.value(QStringLiteral("x")).toInt(), attributes.value(QStringLiteral("y")).toInt()), pixels);
            }
            ImageLayer layer;
            layer.name = attributes.value(QStringLiteral("name")).toString();
            layer.image = placed;
            layer.opacity = attributes.hasAttribute(QStringLiteral("opacity")) ? attributes.value(QStringLiteral("opacity")).toDouble() : 1.0;
            layer.isVisible = attributes.value(QStringLiteral("visibility")) != u"hidden";
            layer.isBaseLayer = attributes.value(ourNamespace, QStringLiteral("base")) == u"true";
            const QString op = attributes.value(QStringLiteral("composite-op")).toString();
            if (const auto mode = blendOf(op.isEmpty() ? QStringLiteral("svg:src-over") : op)) {
                layer.blendMode = *mode;
            } else {
                opened.dropped << QStringLiteral("Layer \"%1\": blend mode %2 is shown as Normal.").arg(layer.name, op);
            }
            topFirst << layer;
            xml.skipCurrentElement();
        }
    }
    if (xml.hasError() || topFirst.isEmpty())
        return notOra;
    for (auto it = topFirst.crbegin(); it != topFirst.crend(); ++it)
        session.layers << *it;
    // Files from other programs have no base flag: the bottom layer is the base.
    if (!baseLayer(session))
        session.layers.front().isBaseLayer = true;
    session.currentImage = baseLayer(session)->image;
    session.selectedLayer = *baseLayer(session);
    return opened;
}

} // namespace kivo
