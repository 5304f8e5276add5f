#include "editor/openraster/OpenRaster.h"
#include "editor/openraster/ZipArchive.h"

#include "support/TestSupport.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

// Straight-alpha noise, every alpha from 0 to 255 with colour under it, so a premultiplying
// step anywhere would show.
QImage noise(QSize size, quint32 seed)
{
    QRandomGenerator random(seed);
    QImage image(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            row[x] = random.generate();
    }
    return image;
}

QImage composite(const OpenRasterDocument& document)
{
    QImage merged(document.size, QImage::Format_ARGB32_Premultiplied);
    merged.fill(Qt::transparent);
    QPainter painter(&merged);
    for (const OpenRasterLayer& layer : document.layers) {
        painter.setOpacity(layer.opacity);
        if (layer.visible)
            painter.drawImage(layer.offset, layer.image);
    }
    painter.end();
    return merged.convertToFormat(QImage::Format_ARGB32);
}

QByteArray png(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QImage decodePng(const QByteArray& bytes)
{
    return QImage::fromData(bytes, "PNG");
}

QString writeZip(const QString& path, const std::vector<std::pair<QString, QByteArray>>& entries)
{
    ZipBuilder zip;
    for (const auto& [name, bytes] : entries)
        zip.add(name, bytes, name == u"mimetype" ? ZipBuilder::Compression::store : ZipBuilder::Compression::deflate);
    auto archive = zip.finish();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(std::get<QByteArray>(archive));
    return path;
}

OpenedOpenRaster opened(const std::variant<OpenedOpenRaster, QString>& result)
{
    if (const auto* error = std::get_if<QString>(&result))
        ADD_FAILURE() << error->toStdString();
    return std::holds_alternative<OpenedOpenRaster>(result) ? std::get<OpenedOpenRaster>(result) : OpenedOpenRaster{};
}

bool anyNoteContains(const QStringList& notes, const QString& text)
{
    for (const QString& note : notes)
        if (note.contains(text))
            return true;
    return false;
}

} // namespace

TEST(OpenRaster, LayersAndOurOwnAttributesRoundTrip)
{
    QTemporaryDir folder;
    OpenRasterDocument document;
    document.size = QSize(300, 200);
    document.background = CanvasBackground::custom;
    document.customBackground = QColor(12, 34, 56, 200);
    document.enabledFilters = {QStringLiteral("brightness"), QStringLiteral("blur")};
    const BlendMode modes[] = {BlendMode::normal, BlendMode::multiply, BlendMode::screen,
                               BlendMode::overlay, BlendMode::softLight, BlendMode::hardLight};
    for (int i = 0; i < 6; ++i) {
        OpenRasterLayer layer;
        layer.name = QStringLiteral("Layer \"%1\" <ü>").arg(i);
        layer.image = noise(document.size, quint32(i + 1));
        layer.opacity = 0.15 * i + 0.1;
        layer.visible = i % 2 == 0;
        layer.blend = modes[i];
        layer.base = i == 0;
        document.layers.push_back(layer);
    }
    // One smaller layer placed by its offset comes back at the document's size.
    document.layers[3].image = noise(QSize(40, 30), 99);
    document.layers[3].offset = QPoint(100, 50);

    const QString path = folder.filePath(QStringLiteral("session.ora"));
    const QImage merged = composite(document);
    ASSERT_EQ(writeOpenRaster(path, document, merged), std::nullopt);

    const OpenedOpenRaster back = opened(readOpenRaster(path));
    EXPECT_TRUE(back.notes.isEmpty()) << back.notes.join(u'\n').toStdString();
    EXPECT_EQ(back.document.size, document.size);
    EXPECT_EQ(back.document.background, CanvasBackground::custom);
    EXPECT_EQ(back.document.customBackground, document.customBackground);
    EXPECT_EQ(back.document.enabledFilters, document.enabledFilters);
    ASSERT_EQ(back.document.layers.size(), document.layers.size());
    for (size_t i = 0; i < document.layers.size(); ++i) {
        const OpenRasterLayer& written = document.layers[i];
        const OpenRasterLayer& read = back.document.layers[i];
        EXPECT_EQ(read.name, written.name) << i;
        EXPECT_NEAR(read.opacity, written.opacity, 1e-4) << i;
        EXPECT_EQ(read.visible, written.visible) << i;
        EXPECT_EQ(read.blend, written.blend) << i;
        EXPECT_EQ(read.base, written.base) << i;
        EXPECT_EQ(read.offset, QPoint()) << i;
        ASSERT_EQ(read.image.size(), document.size) << i;
        QImage expected(document.size, QImage::Format_ARGB32);
        expected.fill(Qt::transparent);
        for (int y = 0; y < written.image.height(); ++y)
            for (int x = 0; x < written.image.width(); ++x)
                expected.setPixel(written.offset + QPoint(x, y), written.image.pixel(x, y));
        EXPECT_EQ(read.image.convertToFormat(QImage::Format_ARGB32), expected) << "layer " << i;
    }

    // The archive as other programs expect it: mimetype first and stored, then the rest.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    EXPECT_EQ(bytes.left(4), QByteArray("PK\x03\x04", 4));
    EXPECT_EQ(bytes.mid(8, 2), QByteArray("\0\0", 2)) << "mimetype is stored";
    EXPECT_EQ(bytes.mid(30, 8), "mimetype");
    const quint16 extra = quint8(bytes[28]) | quint8(bytes[29]) << 8;
    EXPECT_EQ(bytes.mid(38 + extra, 16), "image/openraster");

    ZipReader zip(1 << 30, 1 << 30);
    ASSERT_EQ(zip.open(path), std::nullopt);
    EXPECT_EQ(decodePng(std::get<QByteArray>(zip.read(QStringLiteral("mergedimage.png")))), merged);
    const QImage thumbnail = decodePng(std::get<QByteArray>(zip.read(QStringLiteral("Thumbnails/thumbnail.png"))));
    EXPECT_EQ(thumbnail.width(), 256);
    EXPECT_NEAR(thumbnail.height(), 171, 1);
    const QByteArray stack = std::get<QByteArray>(zip.read(QStringLiteral("stack.xml")));
    // The top layer is listed first.
    EXPECT_LT(stack.indexOf("Layer &quot;5&quot;"), stack.indexOf("Layer &quot;0&quot;"));
    for (const char* op : {"svg:src-over", "svg:multiply", "svg:screen", "svg:overlay", "svg:soft-light", "svg:hard-light"})
        EXPECT_TRUE(stack.contains(QByteArray("composite-op=\"") + op + '"')) << op;
}

TEST(OpenRaster, FileFromAnotherProgramOpensWithNotes)
{
    QTemporaryDir folder;
    const QImage top = noise(QSize(20, 10), 1);
    const QImage grouped = noise(QSize(8, 8), 2);
    const QImage overhanging = noise(QSize(30, 30), 3);
    const QImage bottom = noise(QSize(50, 40), 4);
    const QByteArray stack = R"(<?xml version="1.0" encoding="UTF-8"?>
<image version="0.0.3" w="50" h="40">
 <stack>
  <layer name="Top" src="data/top.png" x="5" y="7" composite-op="svg:color-dodge"/>
  <stack name="Group" x="10" y="20" opacity="0.5" visibility="hidden">
   <layer name="Inside" src="data/grouped.png" x="1" y="2" opacity="0.8" composite-op="svg:screen"/>
  </stack>
  <text name="Caption">hello</text>
  <layer name="Escape" src="../../etc/passwd"/>
  <layer name="Absent" src="data/absent.png"/>
  <layer name="Overhanging" src="data/over.png" x="35" y="-10" composite-op="svg:multiply"/>
  <layer name="Bottom" src="data/bottom.png"/>
 </stack>
</image>)";
    const QString path = writeZip(folder.filePath(QStringLiteral("other.ora")),
                                  {{QStringLiteral("mimetype"), "image/openraster"},
                                   {QStringLiteral("stack.xml"), stack},
                                   {QStringLiteral("data/top.png"), png(top)},
                                   {QStringLiteral("data/grouped.png"), png(grouped)},
                                   {QStringLiteral("data/over.png"), png(overhanging)},
                                   {QStringLiteral("data/bottom.png"), png(bottom)}});

    const OpenedOpenRaster file = opened(readOpenRaster(path));
    ASSERT_EQ(file.document.layers.size(), 4u);
    const auto& layers = file.document.layers;
    EXPECT_EQ(layers[0].name, u"Bottom");
    EXPECT_EQ(layers[1].name, u"Overhanging");
    EXPECT_EQ(layers[2].name, u"Inside");
    EXPECT_EQ(layers[3].name, u"Top");
    EXPECT_EQ(layers[0].image, bottom);
    EXPECT_EQ(layers[1].blend, BlendMode::multiply);
    EXPECT_EQ(layers[3].blend, BlendMode::normal);
    // The group's offset, opacity and visibility reach the layer inside it.
    EXPECT_EQ(layers[2].blend, BlendMode::screen);
    EXPECT_NEAR(layers[2].opacity, 0.4, 1e-9);
    EXPECT_FALSE(layers[2].visible);
    EXPECT_EQ(layers[2].image.pixel(11, 22), grouped.pixel(0, 0));
    EXPECT_EQ(layers[2].image.pixel(18, 29), grouped.pixel(7, 7));
    EXPECT_EQ(qAlpha(layers[2].image.pixel(10, 21)), 0);
    EXPECT_EQ(layers[3].image.pixel(5, 7), top.pixel(0, 0));
    EXPECT_EQ(layers[3].image.pixel(24, 16), top.pixel(19, 9));
    // Placed partly outside: what is inside stays where it belongs.
    EXPECT_EQ(layers[1].image.pixel(35, 0), overhanging.pixel(0, 10));
    EXPECT_EQ(layers[1].image.pixel(49, 19), overhanging.pixel(14, 29));
    EXPECT_EQ(qAlpha(layers[1].image.pixel(34, 0)), 0);
    for (const auto& layer : layers)
        EXPECT_EQ(layer.image.size(), QSize(50, 40)) << layer.name.toStdString();

    const QStringList& notes = file.notes;
    EXPECT_TRUE(anyNoteContains(notes, QStringLiteral("“Top” uses the blend mode “svg:color-dodge”"))) << notes.join(u'\n').toStdString();
    EXPECT_TRUE(anyNoteContains(notes, QStringLiteral("group “Group” was ungrouped")));
    EXPECT_TRUE(anyNoteContains(notes, QStringLiteral("“text”")));
    EXPECT_TRUE(anyNoteContains(notes, QStringLiteral("Layer “Escape” was left out")));
    EXPECT_TRUE(anyNoteContains(notes, QStringLiteral("Layer “Absent” was left out")));
    EXPECT_TRUE(anyNoteContains(notes, QStringLiteral("“Overhanging” reaches beyond the canvas")));
    EXPECT_EQ(notes.size(), 6) << notes.join(u'\n').toStdString();
}

TEST(OpenRaster, DamagedAndHostileFilesAreRefusedOrTrimmed)
{
    QTemporaryDir folder;
    OpenRasterDocument document;
    document.size = QSize(64, 64);
    OpenRasterLayer only;
    only.name = QStringLiteral("Only");
    only.image = noise(document.size, 5);
    document.layers.push_back(only);
    const QString good = folder.filePath(QStringLiteral("good.ora"));
    ASSERT_EQ(writeOpenRaster(good, document, composite(document)), std::nullopt);
    QFile file(good);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();

    auto writeBytes = [&](const QString& name, const QByteArray& content) {
        const QString path = folder.filePath(name);
        QFile out(path);
        out.open(QIODevice::WriteOnly);
        out.write(content);
        return path;
    };
    const QByteArray xmlOf = R"(<image w="%1" h="%2"><stack><layer name="L" src="l.png"/></stack></image>)";
    struct Refused {
        const char* name;
        QString path;
        const char* reason;
    };
    std::vector<Refused> refusedCases{
        {"truncated", writeBytes(QStringLiteral("truncated.ora"), bytes.left(bytes.size() / 2)), "not a readable zip"},
        {"text", writeBytes(QStringLiteral("text.ora"), "just some text"), "not a readable zip"},
        {"other type", writeZip(folder.filePath(QStringLiteral("type.ora")),
                                {{QStringLiteral("mimetype"), "application/vnd.oasis.opendocument.text"},
                                 {QStringLiteral("stack.xml"), xmlOf}}),
         "declares the type"},
        {"no stack", writeZip(folder.filePath(QStringLiteral("nostack.ora")), {{QStringLiteral("mimetype"), "image/openraster"}}),
         "stack.xml” is missing"},
        {"broken xml", writeZip(folder.filePath(QStringLiteral("xml.ora")),
                                {{QStringLiteral("mimetype"), "image/openraster"},
                                 {QStringLiteral("stack.xml"), "<image w=\"4\" h=\"4\"><stack><layer"}}),
         "damaged"},
        {"huge canvas", writeZip(folder.filePath(QStringLiteral("huge.ora")),
                                 {{QStringLiteral("mimetype"), "image/openraster"},
                                  {QStringLiteral("stack.xml"), QString::fromLatin1(xmlOf).arg(30000).arg(30000).toUtf8()}}),
         "larger than the editor opens"},
    };
    QByteArray manyLayers = "<image w=\"10000\" h=\"10000\"><stack>";
    for (int i = 0; i < 12; ++i)
        manyLayers += "<layer name=\"L\" src=\"l.png\"/>";
    manyLayers += "</stack></image>";
    const QString crowded = writeZip(folder.filePath(QStringLiteral("crowded.ora")),
                                     {{QStringLiteral("mimetype"), "image/openraster"},
                                      {QStringLiteral("stack.xml"), manyLayers}});
    refusedCases.push_back({"too many large layers", crowded, "need more memory"});
    for (const auto& c : refusedCases) {
        const auto result = readOpenRaster(c.path);
        ASSERT_TRUE(std::holds_alternative<QString>(result)) << c.name;
        EXPECT_TRUE(std::get<QString>(result).contains(QString::fromUtf8(c.reason))) << c.name << ": "
                                                                                      << std::get<QString>(result).toStdString();
    }

    // A layer whose stored bytes were changed fails its checksum and is left out, with a note.
    QByteArray flipped = bytes;
    const qsizetype pixels = flipped.indexOf("IDAT");
    ASSERT_GT(pixels, 0);
    flipped[pixels + 20] = char(flipped[pixels + 20] ^ 0x5a);
    const OpenedOpenRaster damaged = opened(readOpenRaster(writeBytes(QStringLiteral("flipped.ora"), flipped)));
    EXPECT_TRUE(damaged.document.layers.empty());
    EXPECT_TRUE(anyNoteContains(damaged.notes, QStringLiteral("Layer “Only” was left out"))) << damaged.notes.join(u'\n').toStdString();

    // A layer image wider than the limit is never decoded.
    const QString wide = writeZip(folder.filePath(QStringLiteral("wide.ora")),
                                  {{QStringLiteral("mimetype"), "image/openraster"},
                                   {QStringLiteral("stack.xml"), QString::fromLatin1(xmlOf).arg(10).arg(10).toUtf8()},
                                   {QStringLiteral("l.png"), png(QImage(kOpenRasterMaxSide + 1, 1, QImage::Format_ARGB32))}});
    const OpenedOpenRaster trimmed = opened(readOpenRaster(wide));
    EXPECT_TRUE(trimmed.document.layers.empty());
    EXPECT_TRUE(anyNoteContains(trimmed.notes, QStringLiteral("too large")));
}

TEST(OpenRaster, EntriesBeyondTheByteLimitAreNotRead)
{
    QTemporaryDir folder;
    // 64 MB of zeros deflate to a few tens of kilobytes.
    const QString path = writeZip(folder.filePath(QStringLiteral("bomb.zip")),
                                  {{QStringLiteral("mimetype"), "image/openraster"},
                                   {QStringLiteral("big"), QByteArray(64 << 20, '\0')},
                                   {QStringLiteral("small"), QByteArray(1000, 'x')}});
    ZipReader zip(1 << 20, 1 << 21);
    ASSERT_EQ(zip.open(path), std::nullopt);
    const auto big = zip.read(QStringLiteral("big"));
    ASSERT_TRUE(std::holds_alternative<QString>(big));
    EXPECT_TRUE(std::get<QString>(big).contains(u"too large"));
    EXPECT_EQ(std::get<QByteArray>(zip.read(QStringLiteral("small"))), QByteArray(1000, 'x'));
}
