// The application's image loader: every format it takes, HEIC by content, and truncated files
// refused where Qt would fill the missing rows with grey.

#include "core/ImageFileLoader.h"
#include "core/ImageTruncation.h"

#include "support/TestSupport.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

QImage photo()
{
    QImage image(test::testDataPath(u"coffee.jpg"_s));
    return image.convertToFormat(QImage::Format_RGB32);
}

QByteArray encoded(const QImage& image, const char* format, bool progressive = false)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    EXPECT_TRUE(writer.write(image)) << format;
    return bytes;
}

// Qt writes no GIF: a copy of the test photo made with ImageMagick.
QByteArray gifFile()
{
    QFile file(test::testDataPath(u"coffee.gif"_s));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString write(const QTemporaryDir& folder, const QString& name, const QByteArray& bytes)
{
    QFile file(folder.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return file.fileName();
}

} // namespace

TEST(ImageFileLoaderTest, CompleteFilesLoadAndTruncatedOnesAreRefused)
{
    const QImage source = photo();
    const struct {
        const char* name;
        QByteArray bytes;
    } files[] = {
        {"baseline.jpg", encoded(source, "JPEG")}, {"progressive.jpg", encoded(source, "JPEG", true)},
        {"image.png", encoded(source, "PNG")},     {"image.gif", gifFile()},
        {"image.bmp", encoded(source, "BMP")},     {"image.webp", encoded(source, "WEBP")},
    };
    QTemporaryDir folder;
    for (const auto& file : files) {
        ASSERT_FALSE(file.bytes.isEmpty()) << file.name;
        const ImageLoadResult complete = readImageFile(write(folder, QString::fromLatin1(file.name), file.bytes));
        EXPECT_TRUE(complete.error.isEmpty()) << file.name << ": " << complete.error.toStdString();
        EXPECT_EQ(complete.image.size(), source.size()) << file.name;

        for (const double kept : {0.95, 0.6, 0.1}) {
            const QByteArray cut = file.bytes.left(qsizetype(file.bytes.size() * kept));
            EXPECT_TRUE(isTruncatedImage(cut)) << file.name << " at " << kept;
            const ImageLoadResult truncated = readImageData(cut);
            EXPECT_TRUE(truncated.image.isNull()) << file.name << " at " << kept;
            EXPECT_FALSE(truncated.error.isEmpty()) << file.name;
        }
    }
    // The batch tab and the folder monitor load through the same function.
    const QString cutJpeg = write(folder, u"cut.jpg"_s, files[0].bytes.left(files[0].bytes.size() / 2));
    EXPECT_TRUE(loadImageFile(cutJpeg).isNull());
    EXPECT_EQ(readImageFile(cutJpeg).error, u"the image is truncated (the file ends before its image data does)"_s);
}

TEST(ImageFileLoaderTest, CompleteFilesWithUnusualEndingsStillLoad)
{
    const QImage source = photo();
    const QByteArray jpeg = encoded(source, "JPEG");
    // Data after the end-of-image marker, as some cameras write it.
    EXPECT_FALSE(isTruncatedImage(jpeg + QByteArray(100, '\x00')));
    // An embedded end-of-image marker inside a segment (a thumbnail's) does not end the file.
    const QByteArray app1 = QByteArray("\xFF\xE1\x00\x08\xFF\xD9\xFF\xD9", 8);
    const QByteArray withSegment = jpeg.left(2) + app1 + jpeg.mid(2);
    EXPECT_FALSE(isTruncatedImage(withSegment));
    EXPECT_TRUE(isTruncatedImage(withSegment.left(withSegment.size() - 500)));
    // A GIF without its trailer byte after a complete image.
    const QByteArray gif = gifFile();
    ASSERT_EQ(gif.back(), '\x3B');
    EXPECT_FALSE(isTruncatedImage(gif.chopped(1)));
    EXPECT_FALSE(readImageData(gif.chopped(1)).image.isNull());
}

TEST(ImageFileLoaderTest, ReadsHeicByItsContentAndSaysWhyOtherFilesFail)
{
    QTemporaryDir folder;
    const QByteArray heic = test::encodeHeic(photo());
    ASSERT_FALSE(heic.isEmpty()) << "libheif has no HEVC encoder";
    for (const QString& name : {u"photo.heic"_s, u"misnamed.jpg"_s}) {
        const ImageLoadResult loaded = readImageFile(write(folder, name, heic));
        EXPECT_TRUE(loaded.error.isEmpty()) << loaded.error.toStdString();
        EXPECT_EQ(loaded.image.size(), photo().size());
    }
    EXPECT_EQ(readImageData(heic, 1000).error, u"the image is too large (0.06 megapixels, at most 0.001)"_s);

    EXPECT_EQ(readImageFile(folder.filePath(u"absent.png"_s)).error, u"no such file"_s);
    EXPECT_EQ(readImageFile(folder.path()).error, u"cannot read the file"_s);
    EXPECT_EQ(readImageFile(write(folder, u"notes.png"_s, "not pixels")).error, u"not an image"_s);
    EXPECT_TRUE(readImageData(encoded(photo(), "PNG"), 1000).error.startsWith(u"the image is too large"_s));
}
