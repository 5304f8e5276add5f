// Sessions through OpenRaster files: our own round trip, and a file written by another program.

#include "editor/document/OpenRasterFile.h"
#include "editor/document/SessionEdits.h"
#include "editor/rendering/CanvasRenderer.h"

#include "EditorTestImages.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <zip.h>

using namespace kivo;
using test::solidImage;

namespace {

QByteArray png(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "png").write(image);
    return bytes;
}

// A zip as another painting program writes it: deflated entries, a layer with an offset, a blend
// mode we do not know.
QByteArray foreignFile()
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_source_keep(source);
    zip_t* archive = zip_open_from_source(source, ZIP_TRUNCATE, &error);
    const QByteArray mimetype("image/openraster");
    const QByteArray stack(R"(<?xml version="1.0"?>
<image w="20" h="10"><stack>
  <layer name="spot" src="data/spot.png" x="5" y="2" composite-op="svg:color-dodge" opacity="0.5"/>
  <layer name="paper" src="data/paper.png" composite-op="svg:src-over" visibility="visible"/>
</stack></image>)");
    const QByteArray spot = png(solidImage(Qt::red, {3, 3}));
    const QByteArray paper = png(solidImage(Qt::white, {20, 10}));
    for (const auto& [name, bytes] : {std::pair{"mimetype", &mimetype}, std::pair{"stack.xml", &stack},
                                      std::pair{"data/spot.png", &spot}, std::pair{"data/paper.png", &paper}})
        zip_file_add(archive, name, zip_source_buffer(archive, bytes->constData(), zip_uint64_t(bytes->size()), 0), 0);
    zip_close(archive);
    zip_source_open(source);
    zip_source_seek(source, 0, SEEK_END);
    QByteArray result(qsizetype(zip_source_tell(source)), Qt::Uninitialized);
    zip_source_seek(source, 0, SEEK_SET);
    zip_source_read(source, result.data(), zip_uint64_t(result.size()));
    zip_source_close(source);
    zip_source_free(source);
    zip_error_fini(&error);
    return result;
}

QString written(const QTemporaryDir& folder, const QString& name, const QByteArray& bytes)
{
    const QString path = folder.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

} // namespace

TEST(OpenRasterFile, ALayeredSessionComesBackExactly)
{
    EditorSession session = makeNamedSession(QStringLiteral("saved"));
    importImage(session, QStringLiteral("photo.png"), solidImage(QColor(20, 120, 200), {16, 12}));
    addLayer(session);
    QImage dot = session.layers[1].image.copy();
    dot.setPixelColor(3, 4, QColor(200, 10, 10, 128));
    updateLayerImage(session, dot, session.layers[1].id, actions::brushStroke);
    int index = 0;
    for (BlendMode mode : allCases<BlendMode>()) {
        addLayer(session);
        setLayerBlendMode(session, session.layers.back().id, mode);
        setLayerOpacity(session, session.layers.back().id, 0.1 * ++index);
    }
    toggleLayerVisibility(session, session.layers[2].id);
    setCanvasBackground(session, CanvasBackground::custom);
    setCustomBackgroundColor(session, QColor(1, 2, 3));
    toggleFilter(session, FilterType::sharpen, true);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("again.ora"));
    const auto failure = saveSessionFile(path, session);
    ASSERT_FALSE(failure) << failure->toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    // The format's signature: "mimetype" first and stored, so its text sits at byte 38.
    EXPECT_EQ(file.readAll().mid(38, 16), "image/openraster");
    const auto opened = readSessionFile(path);
    ASSERT_TRUE(std::holds_alternative<OpenedDocument>(opened)) << std::get<QString>(opened).toStdString();
    const OpenedDocument& document = std::get<OpenedDocument>(opened);
    EXPECT_TRUE(document.dropped.isEmpty());
    const EditorSession& back = document.session;
    ASSERT_EQ(back.layers.size(), session.layers.size());
    for (qsizetype i = 0; i < session.layers.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(back.layers[i].name, session.layers[i].name);
        EXPECT_EQ(back.layers[i].image.convertToFormat(QImage::Format_ARGB32),
                  session.layers[i].image.convertToFormat(QImage::Format_ARGB32));
        EXPECT_DOUBLE_EQ(back.layers[i].opacity, session.layers[i].opacity);
        EXPECT_EQ(back.layers[i].blendMode, session.layers[i].blendMode);
        EXPECT_EQ(back.layers[i].isVisible, session.layers[i].isVisible);
        EXPECT_EQ(back.layers[i].isBaseLayer, session.layers[i].isBaseLayer);
    }
    EXPECT_EQ(back.name, u"saved");
    EXPECT_EQ(back.canvasBackground, CanvasBackground::custom);
    EXPECT_EQ(back.customBackgroundColor, QColor(1, 2, 3));
    EXPECT_EQ(back.enabledFilterNames, session.enabledFilterNames);
    EXPECT_EQ(*renderCanvasToImage(back), *renderCanvasToImage(session));
}

TEST(OpenRasterFile, AnotherProgramsFileOpensWithANoteOfWhatWasDropped)
{
    QTemporaryDir folder;
    const auto opened = readSessionFile(written(folder, QStringLiteral("foreign.ora"), foreignFile()));
    ASSERT_TRUE(std::holds_alternative<OpenedDocument>(opened)) << std::get<QString>(opened).toStdString();
    const OpenedDocument& document = std::get<OpenedDocument>(opened);
    const EditorSession& session = document.session;
    ASSERT_EQ(session.layers.size(), 2);
    EXPECT_EQ(session.layers[0].name, u"paper");
    EXPECT_TRUE(session.layers[0].isBaseLayer);
    // The spot is placed at its offset in a layer of the document's size.
    EXPECT_EQ(session.layers[1].image.size(), QSize(20, 10));
    EXPECT_EQ(session.layers[1].image.pixelColor(6, 3), QColor(Qt::red));
    EXPECT_EQ(session.layers[1].image.pixelColor(2, 3).alpha(), 0);
    EXPECT_DOUBLE_EQ(session.layers[1].opacity, 0.5);
    ASSERT_EQ(document.dropped.size(), 1);
    EXPECT_TRUE(document.dropped.front().contains(QStringLiteral("svg:color-dodge")));

    EXPECT_EQ(session.name, u"foreign");
    EXPECT_TRUE(std::holds_alternative<QString>(readSessionFile(written(folder, QStringLiteral("x.ora"), "not a zip"))));
}

TEST(OpenRasterFile, ASessionIsOfferedUnderAFileNameNeverAPath)
{
    const struct {
        const char* session;
        const char* file;
    } cases[] = {
        {"Poster", "Poster.ora"},
        {"Session - 12/07/2026 08:19", "Session - 12-07-2026 08:19.ora"},
        {"  a/b/c  ", "a-b-c.ora"},
        {"", "Session.ora"},
        {"..", "Session.ora"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sessionFileName(QString::fromUtf8(c.session)), QString::fromUtf8(c.file)) << c.session;
}
