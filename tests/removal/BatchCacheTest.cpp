// How batch tasks keep their images: the photo as it was added, whatever becomes of its file;
// a full disk failing one task, not the run. The remote engine against a scripted service
// stands for any engine here (quick, and its answers under the test's control).

#include "removal/batch/BatchRemovalQueue.h"

#include "service/ScriptedHttpServer.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <sys/mount.h>
#include <unistd.h>

using namespace kivo;

namespace {

QImage gradient(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x % 256, y % 256, 90));
    return image;
}

// Pixels PNG cannot compress: a megabyte and more as a file.
QImage noise(QSize size)
{
    QImage image(size, QImage::Format_ARGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, random.generate() | 0xff000000);
    return image;
}

QByteArray encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

class BatchCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        AccountInfo account;
        account.apiKey = QStringLiteral("key");
        appState.setAccountInfo(account);
        UserPreferences preferences = appState.userPreferences();
        preferences.backendBaseURLString = server.baseURL();
        appState.setUserPreferences(preferences);
    }

    QString writePhoto(const QString& name, const QImage& image, const char* format)
    {
        const QString path = folder.filePath(name);
        EXPECT_TRUE(image.save(path, format));
        return path;
    }

    void addAndWait(BatchRemovalQueue& queue, const QList<QString>& paths)
    {
        QList<QUrl> urls;
        for (const QString& path : paths)
            urls << QUrl::fromLocalFile(path);
        queue.handleDrop(urls);
        ASSERT_TRUE(test::waitUntil([&] { return !queue.isAdding(); }));
    }

    void runRemotely(BatchRemovalQueue& queue)
    {
        queue.setAiModel(AIModelSelection::kivo);
        queue.processAllImagesInTab();
        ASSERT_TRUE(test::waitUntil([&] { return !queue.isProcessing(); }, std::chrono::seconds(60)));
    }

    QTemporaryDir folder;
    test::IsolatedAppState state;
    AppState& appState = state.appState;
    // Answers with a noisy cut-out for uploads 50 pixels wide, else with the upload itself.
    test::ScriptedHttpServer server{[](const test::ScriptedHttpServer::Request& request, httplib::Response& response) {
        const auto form = test::parseMultipart(request.header("Content-Type"), request.body);
        const std::string& upload = form.parts.size() > 1 ? form.parts[1].content : std::string();
        QImage image = QImage::fromData(QByteArrayView(upload.data(), qsizetype(upload.size())));
        if (image.width() == 50)
            image = noise({700, 700});
        const QJsonObject answer{{"image_base64", QString::fromLatin1(encoded(image, "PNG").toBase64())}};
        response.set_content(QJsonDocument(answer).toJson().toStdString(), "application/json");
    }};
    // Gone before the server, so that no open connection keeps the server waiting.
    RemovalServiceClient client{state.keychain};
};

} // namespace

TEST_F(BatchCacheTest, APhotoProcessesAsItWasAddedWhateverBecomesOfItsFile)
{
    ImageCache cache(folder.filePath(QStringLiteral("runs")));
    BatchRemovalQueue queue(appState, client, cache);
    const QString path = writePhoto(QStringLiteral("photo.jpg"), gradient({400, 300}), "JPEG");
    const QImage asAdded(path);
    QFile original(path);
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    const QByteArray bytes = original.readAll();
    addAndWait(queue, {path});
    ASSERT_TRUE(QFile::remove(path));

    const CachedImage& kept = queue.selectedImages().at(0).originalImage;
    EXPECT_EQ(kept.size(), QSize(400, 300));
    EXPECT_EQ(kept.thumbnail().size(), QSize(240, 180));
    EXPECT_EQ(kept.decode(), asAdded);

    runRemotely(queue);
    EXPECT_EQ(queue.selectedImages().at(0).status, ProcessingStatus::completed);
    const auto form = test::parseMultipart(server.requests().at(0).header("Content-Type"), server.requests().at(0).body);
    // return_type, the image, then the processing settings.
    ASSERT_EQ(form.parts.size(), 5u);
    EXPECT_EQ(QByteArray::fromStdString(form.parts[1].content), bytes);
    EXPECT_NE(form.parts[2].headers.find("name=\"quality\""), std::string::npos);
    EXPECT_EQ(form.parts[2].content, "balanced");

    // "Clear All": the kept files go, and with them the run's folder.
    queue.clearAll();
    test::waitUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_FALSE(QFileInfo::exists(cache.folder()));
}

class FullDiskTest : public BatchCacheTest {
protected:
    void SetUp() override
    {
        BatchCacheTest::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "mounting a small file system takes root";
        small = folder.filePath(QStringLiteral("small"));
        QDir().mkpath(small);
        if (mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", 0, "size=1m") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        mounted = true;
    }

    void TearDown() override
    {
        if (mounted)
            umount2(QFile::encodeName(small).constData(), MNT_DETACH);
    }

    QString small;
    bool mounted = false;
};

TEST_F(FullDiskTest, FailsOneTaskWithItsMessageAndTheRunGoesOn)
{
    ImageCache cache(small + QStringLiteral("/runs"));
    {
        BatchRemovalQueue queue(appState, client, cache);
        addAndWait(queue, {writePhoto(QStringLiteral("a.png"), gradient({40, 30}), "PNG"),
                           writePhoto(QStringLiteral("big-result.png"), gradient({50, 30}), "PNG"),
                           writePhoto(QStringLiteral("c.png"), gradient({40, 30}), "PNG")});
        runRemotely(queue);

        const QList<ImageProcessingTask>& tasks = queue.selectedImages();
        ASSERT_EQ(tasks.size(), 3);
        EXPECT_EQ(tasks[0].status, ProcessingStatus::completed);
        EXPECT_EQ(tasks[1].status, ProcessingStatus::failed);
        EXPECT_EQ(tasks[1].error, u"Could not keep the result: No space left on device") << tasks[1].error->toStdString();
        EXPECT_EQ(tasks[2].status, ProcessingStatus::completed);

        // A photo that cannot be kept is added failed, with its reason and its thumbnail.
        addAndWait(queue, {writePhoto(QStringLiteral("huge.png"), noise({800, 800}), "PNG")});
        ASSERT_EQ(tasks.size(), 4);
        EXPECT_EQ(tasks[3].status, ProcessingStatus::failed);
        EXPECT_TRUE(tasks[3].error->startsWith(u"Could not keep a copy of the photo: ")) << tasks[3].error->toStdString();
        EXPECT_EQ(tasks[3].originalImage.thumbnail().size(), QSize(240, 240));
    }
}
