// Export: proposed file names, the encoders (checked with real readers), and putting the file
// in its place.

#include "editor/export/ExportManager.h"
#include "editor/export/ImageEncoders.h"

#include "EditorTestImages.h"
#include "core/ImageFileLoader.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;
using test::solidImage;

namespace {

// Runs a command-line reader and gives its standard output; empty when it failed.
QString runReader(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    return QString::fromUtf8(process.readAllStandardOutput());
}

QImage noisyImage(QSize size)
{
    QImage image(size, QImage::Format_ARGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 2 + random.bounded(40), y * 3 % 256, random.bounded(256)));
    return image;
}

// A translucent test image: left half opaque red, right half blue at half alpha.
QImage translucentImage()
{
    QImage image(40, 30, QImage::Format_ARGB32);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            image.setPixelColor(x, y, x < 20 ? QColor(255, 0, 0) : QColor(0, 0, 255, 128));
    return image;
}

// Runs `work` with standard output captured into `log` (GoogleTest's own messages stay visible).
template <typename Work>
auto capturingOutput(QString& log, Work work)
{
    test::StdoutCapture output;
    auto result = work();
    log = output.text();
    return result;
}

class ExportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Temporary files go to a folder of this test, so that leftovers can be counted.
        m_savedTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", temporary.path().toUtf8());
    }
    void TearDown() override { qputenv("TMPDIR", m_savedTmp); }

    QStringList leftovers() const { return QDir(temporary.path()).entryList(QDir::Files); }

    ExportManager::TemporaryFile exportImage(const QImage& image, ExportFormat format, double quality = 0.9)
    {
        auto future = ExportManager::shared().exportImage(image, format, quality);
        future.waitForFinished();
        return future.result();
    }

    ExportManager::Placement exportTo(const QImage& image, const QString& destination, ExportFormat format)
    {
        UserPreferences preferences;
        preferences.defaultExportFormat = format;
        auto future = ExportManager::shared().exportTo(image, destination, preferences);
        future.waitForFinished();
        return future.result();
    }

    QTemporaryDir temporary;
    QTemporaryDir destination;

private:
    QByteArray m_savedTmp;
};

} // namespace

TEST(ExportFileNames, PatternsAndEdgeCases)
{
    const QDateTime now(QDate(2025, 3, 7), QTime(14, 5, 9));
    struct Case {
        const char* source;
        ExportFormat format;
        const char* pattern;
        const char* custom;
        const char* suffix;
        const char* expected;
    };
    const Case cases[] = {
        {"photo.png", ExportFormat::png, "original_suffix", "", "_kivo", "photo_kivo.png"},
        {"photo.png", ExportFormat::png, "original_suffix", "", "", "photo.png"},
        {"photo.final.png", ExportFormat::jpeg, "timestamp", "", "_kivo", "photo.final_20250307_140509.jpg"},
        {"cat", ExportFormat::tiff, "custom", "{original}-{counter}", "", "cat-{counter}.tiff"},
        {"cat.heic", ExportFormat::pdf, "custom", "{original}_kivo_{date}_{time}_{original}", "",
         "cat_kivo_20250307_140509_cat.pdf"},
        {"cat.png", ExportFormat::heic, "something else", "", "_kivo", "cat.heic"},
        {".hidden", ExportFormat::png, "original_suffix", "", "_x", ".hidden_x.png"},
        // A session name holding a date would otherwise name folders.
        {"Session - 03/07/2025 14:05", ExportFormat::png, "original_suffix", "", "_kivo",
         "Session - 03-07-2025 14:05_kivo.png"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExportManager::generateFileName(QString::fromUtf8(c.source), c.format, QString::fromUtf8(c.pattern),
                                                  QString::fromUtf8(c.custom), QString::fromUtf8(c.suffix), now),
                  QString::fromUtf8(c.expected))
            << c.source << " / " << c.pattern;
}

TEST(ExportFileNames, SaveDialogSetupFollowsThePreferences)
{
    UserPreferences preferences;
    preferences.defaultExportFormat = ExportFormat::jpeg;
    preferences.defaultExportLocation = QUrl::fromLocalFile(QStringLiteral("/srv/exports"));
    const auto setup = ExportManager::saveDialogSetup(std::nullopt, preferences);
    EXPECT_EQ(setup.proposedName, u"image_kivo.jpg");
    EXPECT_EQ(setup.nameFilter, u"JPEG Image (*.jpg *.jpeg)");
    EXPECT_EQ(setup.directory, u"/srv/exports");
    EXPECT_EQ(setup.nameFilters.size(), 5);
    EXPECT_TRUE(setup.nameFilters.contains(setup.nameFilter));
    // The default location wins over the caller's folder; without one, the caller's folder.
    EXPECT_EQ(ExportManager::saveDialogSetup(std::nullopt, preferences, QStringLiteral("/home/u/Documents")).directory,
              u"/srv/exports");
    preferences.defaultExportLocation.reset();
    EXPECT_EQ(ExportManager::saveDialogSetup(std::nullopt, preferences, QStringLiteral("/home/u/Documents")).directory,
              u"/home/u/Documents");
}

TEST(ExportFileNames, TheExtensionTypedWinsOverTheChosenType)
{
    const struct {
        const char* chosen;
        ExportFormat filter;
        const char* path;
    } cases[] = {
        {"/out/a.jpg", ExportFormat::png, "/out/a.jpg"},
        {"/out/a.JPEG", ExportFormat::png, "/out/a.JPEG"},
        {"/out/a.tif", ExportFormat::pdf, "/out/a.tif"},
        {"/out/a.heif", ExportFormat::png, "/out/a.heif"},
        {"/out/a", ExportFormat::pdf, "/out/a.pdf"},
        {"/out/a.b", ExportFormat::heic, "/out/a.b.heic"},
        {"/out/v1.2/a", ExportFormat::jpeg, "/out/v1.2/a.jpg"},
    };
    for (const auto& c : cases) {
        const QString path = ExportManager::pathWithFormat(QString::fromUtf8(c.chosen), ExportManager::nameFilter(c.filter));
        EXPECT_EQ(path, QString::fromUtf8(c.path)) << c.chosen;
        EXPECT_TRUE(ExportManager::formatOfFileName(path)) << c.chosen;
    }
    EXPECT_EQ(ExportManager::formatOfFileName(QStringLiteral("x.JPG")), ExportFormat::jpeg);
    EXPECT_FALSE(ExportManager::formatOfFileName(QStringLiteral("x.ora")));
}

TEST_F(ExportTest, JpegQualityChangesTheSizeAndTiffKeepsAlpha)
{
    const QImage photo = noisyImage({200, 150});
    const auto low = exportImage(photo, ExportFormat::jpeg, 0.2);
    const auto high = exportImage(photo, ExportFormat::jpeg, 0.95);
    ASSERT_FALSE(low.error);
    ASSERT_FALSE(high.error);
    EXPECT_TRUE(low.path.endsWith(u".jpg"));
    EXPECT_LT(QFileInfo(low.path).size() * 2, QFileInfo(high.path).size());
    EXPECT_EQ(QImageReader(high.path).format(), "jpeg");

    const QImage translucent = translucentImage();
    const auto tiff = exportImage(translucent, ExportFormat::tiff);
    ASSERT_FALSE(tiff.error);
    const QImage back = QImage(tiff.path).convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(back, translucent);

    const auto png = exportImage(translucent, ExportFormat::png);
    ASSERT_FALSE(png.error);
    EXPECT_EQ(QImage(png.path).convertToFormat(QImage::Format_ARGB32), translucent);
}

TEST_F(ExportTest, PdfAndHeicAreRealFiles)
{
    const auto pdf = exportImage(translucentImage(), ExportFormat::pdf);
    ASSERT_FALSE(pdf.error);
    const QString info = runReader(QStringLiteral("pdfinfo"), {pdf.path});
    EXPECT_TRUE(info.contains(QRegularExpression(QStringLiteral("Pages:\\s+1\\n")))) << info.toStdString();
    EXPECT_TRUE(info.contains(QRegularExpression(QStringLiteral("Page size:\\s+40 x 30 pts")))) << info.toStdString();

    const auto heic = exportImage(translucentImage(), ExportFormat::heic, 0.9);
    ASSERT_FALSE(heic.error);
    ASSERT_TRUE(heic.path.endsWith(u".heic"));
    const QString heifInfo = runReader(QStringLiteral("heif-info"), {heic.path});
    EXPECT_TRUE(heifInfo.contains(u"image: 40x30")) << heifInfo.toStdString();
    EXPECT_TRUE(heifInfo.contains(QRegularExpression(QStringLiteral("alpha channel: yes")))) << heifInfo.toStdString();
    const QImage decoded = loadImageFile(heic.path);
    ASSERT_EQ(decoded.size(), QSize(40, 30));
    // Lossy, but the colours and the alpha of both halves survive.
    EXPECT_GT(decoded.pixelColor(5, 15).red(), 200);
    EXPECT_LT(std::abs(decoded.pixelColor(35, 15).alpha() - 128), 12);
}

TEST_F(ExportTest, AnExistingDestinationIsReplacedAndNothingIsLeftBehind)
{
    const QString target = destination.filePath(QStringLiteral("export.png"));
    {
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("an older export");
    }
    QString log;
    const auto placed = capturingOutput(log, [&] { return exportTo(solidImage(Qt::green, {16, 8}), target, ExportFormat::png); });
    EXPECT_FALSE(placed.error);
    EXPECT_EQ(placed.destination, target);
    EXPECT_EQ(QImage(target).size(), QSize(16, 8));
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("Image exported successfully to: ") + target)) << log.toStdString();
}

TEST_F(ExportTest, AFailedMoveReportsAFileSystemErrorAndRemovesTheTemporaryFile)
{
    const QString target = destination.filePath(QStringLiteral("missing-folder/export.jpg"));
    QString log;
    const auto placed = capturingOutput(log, [&] { return exportTo(solidImage(Qt::green), target, ExportFormat::jpeg); });
    ASSERT_TRUE(placed.error);
    EXPECT_EQ(placed.error->kind, ExportError::Kind::fileSystemError);
    EXPECT_EQ(placed.error->description(), u"File system error: No such file or directory");
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();
    EXPECT_TRUE(log.contains(u"Export failed: File system error: No such file or directory")) << log.toStdString();

    const auto nothing = exportImage(QImage(), ExportFormat::png);
    ASSERT_TRUE(nothing.error);
    EXPECT_EQ(nothing.error->description(), u"Invalid image data");
}

TEST(FlattenForOpaqueFormat, SeeThroughPartsTakeTheBackgroundOrWhite)
{
    const struct {
        const char* name;
        QColor pixel;
        QColor background;
        QColor expected;
    } cases[] = {
        {"transparent on none", Qt::transparent, Qt::transparent, Qt::white},
        {"transparent on invalid", Qt::transparent, QColor(), Qt::white},
        {"transparent on black", Qt::transparent, Qt::black, Qt::black},
        {"transparent on custom", Qt::transparent, QColor(10, 200, 30), QColor(10, 200, 30)},
        {"half red on none", QColor(255, 0, 0, 128), Qt::transparent, QColor(255, 127, 127)},
        {"half red on black", QColor(255, 0, 0, 128), Qt::black, QColor(128, 0, 0)},
        {"opaque blue on black", QColor(0, 0, 255), Qt::black, QColor(0, 0, 255)},
        {"transparent on half black", Qt::transparent, QColor(0, 0, 0, 128), QColor(127, 127, 127)},
    };
    for (const auto& c : cases) {
        QImage image(3, 2, QImage::Format_ARGB32);
        image.fill(c.pixel);
        const QImage flat = flattenForOpaqueFormat(image, c.background);
        ASSERT_FALSE(flat.hasAlphaChannel()) << c.name;
        const QColor got = flat.pixelColor(2, 1);
        EXPECT_NEAR(got.red(), c.expected.red(), 1) << c.name;
        EXPECT_NEAR(got.green(), c.expected.green(), 1) << c.name;
        EXPECT_NEAR(got.blue(), c.expected.blue(), 1) << c.name;
    }
}

TEST_F(ExportTest, JpegOfATransparentImageIsWhiteWhereItWasTransparent)
{
    QImage cutout(64, 48, QImage::Format_ARGB32);
    cutout.fill(Qt::transparent);
    for (int y = 16; y < 32; ++y)
        for (int x = 16; x < 48; ++x)
            cutout.setPixelColor(x, y, QColor(20, 40, 160));
    const auto plain = exportImage(cutout, ExportFormat::jpeg, 0.95);
    ASSERT_FALSE(plain.error);
    const QImage back = QImage(plain.path);
    // Away from the block's edge, JPEG's error is small.
    EXPECT_GE(qGray(back.pixel(2, 2)), 250);
    EXPECT_NEAR(qBlue(back.pixel(32, 24)), 160, 8);

    auto future = ExportManager::shared().exportImage(cutout, ExportFormat::jpeg, 0.95, {}, QColor(200, 30, 30));
    future.waitForFinished();
    ASSERT_FALSE(future.result().error);
    const QColor onRed = QImage(future.result().path).pixelColor(2, 2);
    EXPECT_NEAR(onRed.red(), 200, 6);
    EXPECT_NEAR(onRed.green(), 30, 6);
    QFile::remove(plain.path);
    QFile::remove(future.result().path);
}

TEST_F(ExportTest, WithTheSubfolderSwitchOnTheFileGoesIntoTheSubfolder)
{
    UserPreferences preferences;
    preferences.createExportSubfolder = true;
    preferences.exportSubfolderName = QStringLiteral("cutouts");
    auto future = ExportManager::shared().exportTo(solidImage(Qt::green), destination.filePath(QStringLiteral("a.png")),
                                                   preferences);
    future.waitForFinished();
    const ExportManager::Placement placed = future.result();
    ASSERT_FALSE(placed.error) << placed.error->description().toStdString();
    EXPECT_EQ(placed.destination, destination.filePath(QStringLiteral("cutouts/a.png")));
    EXPECT_FALSE(QImage(destination.filePath(QStringLiteral("cutouts/a.png"))).isNull());
    EXPECT_FALSE(QFile::exists(destination.filePath(QStringLiteral("a.png"))));
}
