// Adding, saving and opening results in the batch queue: real files in a temporary folder,
// no network and no model.

#include "removal/batch/BatchRemovalQueue.h"
#include "removal/batch/CutoutFiles.h"
#include "removal/batch/DropRules.h"

#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

QImage solidImage(QColor color, QSize size = {24, 16})
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(color);
    return image;
}

class BatchQueueTest : public ::testing::Test {
protected:
    QString path(const QString& relative) const { return root.filePath(relative); }
    QUrl url(const QString& relative) const { return QUrl::fromLocalFile(path(relative)); }

    void writeImage(const QString& relative, const char* format = nullptr)
    {
        QDir().mkpath(QFileInfo(path(relative)).absolutePath());
        ASSERT_TRUE(solidImage(Qt::darkCyan).save(path(relative), format));
    }
    void writeText(const QString& relative)
    {
        QDir().mkpath(QFileInfo(path(relative)).absolutePath());
        QFile file(path(relative));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not an image");
    }

    // Drops and waits for the summary (if any) to come back.
    QString drop(const QList<QUrl>& urls)
    {
        QSignalSpy alerts(&queue, &BatchRemovalQueue::alertRequested);
        queue.handleDrop(urls);
        EXPECT_TRUE(test::waitUntil([&] { return !queue.isAdding(); }));
        return alerts.isEmpty() ? QString() : alerts.takeFirst().at(0).toString();
    }

    QStringList fileNames() const
    {
        QStringList names;
        for (const ImageProcessingTask& task : queue.selectedImages())
            names << task.originalURL.fileName();
        return names;
    }

    QTemporaryDir root;
    test::IsolatedAppState state;
    AppState& appState = state.appState;
    RemovalServiceClient client{state.keychain};
    BatchRemovalQueue queue{appState, client};
};

} // namespace

TEST_F(BatchQueueTest, DroppedFolderAddsSupportedImagesAtEveryDepthSkippingHiddenOnes)
{
    writeImage(QStringLiteral("drop/a.png"));
    writeImage(QStringLiteral("drop/one/b.JPG"), "jpg");
    writeImage(QStringLiteral("drop/one/two/three/c.bmp"), "bmp");
    writeImage(QStringLiteral("drop/.hidden.png"));
    writeImage(QStringLiteral("drop/.secret/d.png"));
    writeImage(QStringLiteral("drop/one/scan.tif"), "tiff");
    writeText(QStringLiteral("drop/notes.txt"));

    const QString summary = drop({url(QStringLiteral("drop")), url(QStringLiteral("missing-file.png"))});
    EXPECT_EQ(fileNames(), (QStringList{"a.png", "b.JPG", "c.bmp"}));
    EXPECT_EQ(summary, QStringLiteral("✅ Successfully added 3 image(s)\n\n❌ Skipped 2 invalid file(s): notes.txt, scan.tif"));
    // Every change reaches the application state.
    EXPECT_EQ(appState.processingQueue().size(), 3);
    EXPECT_EQ(appState.processingQueue().front().status, ProcessingStatus::pending);
}

TEST_F(BatchQueueTest, DuplicatesGoByFullPathNotByName)
{
    writeImage(QStringLiteral("x/photo.png"));
    writeImage(QStringLiteral("y/photo.png"));
    drop({url(QStringLiteral("x/photo.png"))});
    EXPECT_EQ(drop({url(QStringLiteral("x/photo.png"))}), QStringLiteral("⚠️ Skipped 1 duplicate file(s): photo.png"));
    EXPECT_EQ(drop({url(QStringLiteral("y/photo.png"))}), QStringLiteral("✅ Successfully added 2 image(s)"));
    EXPECT_EQ(queue.selectedImages().size(), 2);
}

TEST_F(BatchQueueTest, SummaryNamesThreeAndElidesTheRest)
{
    QList<QUrl> files;
    for (const char* name : {"1.txt", "2.psd", "3.svg", "4.tif", "5.raw"}) {
        writeText(QString::fromLatin1(name));
        files << url(QString::fromLatin1(name));
    }
    EXPECT_EQ(drop(files), QStringLiteral("❌ Skipped 5 invalid file(s): 1.txt, 2.psd, 3.svg..."));
    EXPECT_TRUE(queue.selectedImages().isEmpty());

    // A file with an accepted name that does not decode is invalid as well.
    // A file with an accepted name that does not load is invalid as well, and its reason is told.
    writeText(QStringLiteral("fake.png"));
    writeImage(QStringLiteral("cut.jpg"), "jpg");
    QFile truncated(path(QStringLiteral("cut.jpg")));
    ASSERT_TRUE(truncated.resize(truncated.size() / 2));
    EXPECT_EQ(drop({url(QStringLiteral("fake.png")), url(QStringLiteral("cut.jpg"))}),
              QStringLiteral("❌ Skipped 2 invalid file(s): fake.png, cut.jpg\n\n"
                             "fake.png: not an image in a supported format (JPEG, PNG, GIF, BMP, TIFF, WebP or HEIC)\n"
                             "cut.jpg: the file declares a 24 × 16 image but holds no image data"));

    // Picked files that do not load are told the same way; the others are added.
    QSignalSpy alerts(&queue, &BatchRemovalQueue::alertRequested);
    writeImage(QStringLiteral("good.png"));
    queue.addImages({url(QStringLiteral("good.png")), url(QStringLiteral("fake.png"))});
    ASSERT_TRUE(test::waitUntil([&] { return !queue.isAdding() && !alerts.isEmpty(); }));
    EXPECT_EQ(alerts.takeFirst().at(0).toString(),
              QStringLiteral("❌ Skipped 1 invalid file(s): fake.png\n\n"
                             "fake.png: not an image in a supported format (JPEG, PNG, GIF, BMP, TIFF, WebP or HEIC)"));
    EXPECT_EQ(fileNames(), QStringList{QStringLiteral("good.png")});
}

TEST_F(BatchQueueTest, AddedCountIsTheListSizeAfterTheDrop)
{
    for (const char* name : {"p1.png", "p2.png", "q1.png", "q2.png", "q3.png", "d.png"})
        writeImage(QString::fromLatin1(name));
    drop({url(QStringLiteral("p1.png")), url(QStringLiteral("p2.png"))});

    // The open panel accepts any image ("tif" too) and checks no duplicates.
    writeImage(QStringLiteral("scan.tif"), "tiff");
    queue.addImages({url(QStringLiteral("q1.png")), url(QStringLiteral("scan.tif")), url(QStringLiteral("p1.png")),
                     url(QStringLiteral("nothing-here.png"))});
    ASSERT_TRUE(test::waitUntil([&] { return !queue.isAdding(); }));
    EXPECT_EQ(queue.selectedImages().size(), 5);

    EXPECT_EQ(drop({url(QStringLiteral("d.png"))}), QStringLiteral("✅ Successfully added 6 image(s)"));
}

TEST_F(BatchQueueTest, LinkCycleInADroppedFolderIsWalkedOnce)
{
    writeImage(QStringLiteral("loop/inner/pic.png"));
    ASSERT_TRUE(QFile::link(path(QStringLiteral("loop")), path(QStringLiteral("loop/inner/back"))));
    const QList<QUrl> files = collectDroppedFiles({url(QStringLiteral("loop"))});
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(files.front().fileName(), u"pic.png");
}

TEST_F(BatchQueueTest, ClearAllEmptiesTheListAndTheApplicationState)
{
    writeImage(QStringLiteral("a.png"));
    drop({url(QStringLiteral("a.png"))});
    queue.clearAll();
    EXPECT_TRUE(queue.selectedImages().isEmpty());
    EXPECT_TRUE(appState.processingQueue().isEmpty());
}

// The duplicate check follows the list as it is now: emptied, taken back from the application
// state, or given the same file twice in one drop.
TEST_F(BatchQueueTest, DuplicatesFollowTheListAsItIsNow)
{
    writeImage(QStringLiteral("a.png"));
    writeImage(QStringLiteral("b.png"));
    drop({url(QStringLiteral("a.png"))});
    queue.clearAll();
    EXPECT_EQ(drop({url(QStringLiteral("a.png"))}), QStringLiteral("✅ Successfully added 1 image(s)"));

    ImageProcessingTask kept;
    kept.originalURL = url(QStringLiteral("b.png"));
    kept.originalImage = test::keptImage(solidImage(Qt::white));
    appState.setProcessingQueue({kept});
    queue.takeListFromAppState();
    EXPECT_EQ(drop({url(QStringLiteral("b.png"))}), QStringLiteral("⚠️ Skipped 1 duplicate file(s): b.png"));
    EXPECT_EQ(drop({url(QStringLiteral("a.png")), url(QStringLiteral("a.png"))}),
              QStringLiteral("✅ Successfully added 2 image(s)\n\n⚠️ Skipped 1 duplicate file(s): a.png"));
    EXPECT_EQ(fileNames(), (QStringList{QStringLiteral("b.png"), QStringLiteral("a.png")}));
}

namespace {

ImageProcessingTask completedTask(const QString& file, QColor color)
{
    ImageProcessingTask task;
    task.originalURL = QUrl::fromLocalFile(file);
    task.originalImage = test::keptImage(solidImage(Qt::white));
    task.processedImage = test::keptImage(solidImage(color));
    task.status = ProcessingStatus::completed;
    return task;
}

} // namespace

TEST_F(BatchQueueTest, DownloadAllKeepsBothResultsWhoseNamesCollide)
{
    ImageProcessingTask pending;
    pending.originalURL = url(QStringLiteral("in/other.png"));
    appState.setProcessingQueue({completedTask(path(QStringLiteral("in/photo.png")), Qt::red), pending,
                                 completedTask(path(QStringLiteral("in/photo.jpeg")), Qt::blue)});
    queue.takeListFromAppState();

    const QString out = path(QStringLiteral("out"));
    QDir().mkpath(out);
    QString message;
    queue.downloadAllImages(out, [&](const QString& text) { message = text; });
    ASSERT_TRUE(test::waitUntil([&] { return !message.isEmpty(); }));

    EXPECT_EQ(message, u"Successfully saved 2 processed images!");
    EXPECT_EQ(QDir(out).entryList(QDir::Files), (QStringList{"photo_no_bg-2.png", "photo_no_bg.png"}));
    EXPECT_EQ(QImage(QDir(out).filePath("photo_no_bg.png")).pixelColor(0, 0), QColor(Qt::red));
    EXPECT_EQ(QImage(QDir(out).filePath("photo_no_bg-2.png")).pixelColor(0, 0), QColor(Qt::blue));
}

TEST_F(BatchQueueTest, DownloadAllCountsWhatCouldNotBeWritten)
{
    appState.setProcessingQueue({completedTask(path(QStringLiteral("a.png")), Qt::red),
                                 completedTask(path(QStringLiteral("b.png")), Qt::green)});
    queue.takeListFromAppState();
    const QString out = path(QStringLiteral("out"));
    // A folder standing where a.png's result should go cannot be replaced by a file.
    QDir().mkpath(QDir(out).filePath(QStringLiteral("a_no_bg.png")));

    QString message;
    queue.downloadAllImages(out, [&](const QString& text) { message = text; });
    ASSERT_TRUE(test::waitUntil([&] { return !message.isEmpty(); }));
    EXPECT_EQ(message, u"Saved 1 images successfully. 1 failed to save.");
}

TEST_F(BatchQueueTest, SavingOneResultWritesAPngUnderTheGivenName)
{
    const ImageProcessingTask task = completedTask(path(QStringLiteral("photo.jpeg")), Qt::magenta);
    EXPECT_EQ(cutoutFileName(task.originalURL), u"photo_no_bg.png");

    std::optional<bool> saved;
    queue.downloadImage(task, path(QStringLiteral("photo_no_bg.png")), [&](bool ok) { saved = ok; });
    ASSERT_TRUE(test::waitUntil([&] { return saved.has_value(); }));
    EXPECT_TRUE(*saved);
    const QImage written(path(QStringLiteral("photo_no_bg.png")), "png");
    EXPECT_EQ(written.pixelColor(3, 3), QColor(Qt::magenta));

    saved.reset();
    queue.downloadImage(task, path(QStringLiteral("no/such/folder/x.png")), [&](bool ok) { saved = ok; });
    ASSERT_TRUE(test::waitUntil([&] { return saved.has_value(); }));
    EXPECT_FALSE(*saved);
}

TEST_F(BatchQueueTest, OpeningResultsInTheEditorMakesOneBaseLayerSessionEach)
{
    ImageProcessingTask failed;
    failed.originalURL = url(QStringLiteral("f.png"));
    failed.status = ProcessingStatus::failed;
    const ImageProcessingTask done = completedTask(path(QStringLiteral("cat.heic")), Qt::yellow);
    appState.setProcessingQueue({failed, done});
    queue.takeListFromAppState();

    queue.openInEditor(failed);
    EXPECT_TRUE(appState.editorSessions().isEmpty());
    EXPECT_EQ(appState.activeTab(), AppTab::backgroundRemoval);

    queue.openInEditor(done);
    ASSERT_TRUE(test::waitUntil([&] { return appState.editorSessions().size() == 1; }));
    const EditorSession& session = appState.editorSessions().front();
    EXPECT_EQ(session.name, u"cat.heic");
    ASSERT_EQ(session.layers.size(), 1);
    EXPECT_TRUE(session.layers.front().isBaseLayer);
    // Decoded from the kept PNG at full size.
    EXPECT_EQ(session.layers.front().image.size(), done.processedImage->size());
    EXPECT_EQ(session.layers.front().image.pixelColor(2, 2), QColor(Qt::yellow));
    EXPECT_EQ(session.currentImage, session.layers.front().image);
    EXPECT_EQ(appState.activeTab(), AppTab::imageEditor);

    appState.setActiveTab(AppTab::backgroundRemoval);
    queue.editSelected();
    ASSERT_TRUE(test::waitUntil([&] { return appState.editorSessions().size() == 2; }));
    EXPECT_EQ(appState.activeTab(), AppTab::imageEditor);
}

TEST_F(BatchQueueTest, MissingModelFailsTheCardsAndSaysOnceWhatToDo)
{
    // Nowhere to find the model: this process never loaded it.
    qputenv("XDG_DATA_DIRS", path(QStringLiteral("no-data")).toUtf8());
    // Pending tasks: a run leaves completed ones alone.
    QList<ImageProcessingTask> tasks{completedTask(path(QStringLiteral("a.png")), Qt::red),
                                     completedTask(path(QStringLiteral("b.png")), Qt::red)};
    for (ImageProcessingTask& task : tasks) {
        task.status = ProcessingStatus::pending;
        task.processedImage.reset();
    }
    appState.setProcessingQueue(tasks);
    queue.takeListFromAppState();

    QSignalSpy alerts(&queue, &BatchRemovalQueue::alertRequested);
    queue.processAllImagesInTab();
    ASSERT_TRUE(test::waitUntil([&] { return !queue.isProcessing(); }));
    for (const ImageProcessingTask& task : queue.selectedImages()) {
        EXPECT_EQ(task.status, ProcessingStatus::failed);
        EXPECT_EQ(task.error, u"Failed to create mask");
    }
    ASSERT_EQ(alerts.count(), 1);
    EXPECT_TRUE(alerts.front().at(0).toString().contains(QStringLiteral("tools/setup.sh")));
}
