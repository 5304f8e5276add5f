// Processing runs of the batch queue with the real engines: the segmentation network on this
// machine, and the stand-in removal service on 127.0.0.1.

#include "core/PngEncoder.h"
#include "removal/batch/BatchRemovalQueue.h"
#include "removal/engine/LocalRemovalEngine.h"

#include "service/ServiceProcess.h"
#include "service/SyntheticPhoto.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

QImage plainCanvas()
{
    QImage image(320, 240, QImage::Format_ARGB32);
    image.fill(QColor(128, 128, 128));
    return image;
}

class BatchRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Every status a task passes through, in order, per task id.
        QObject::connect(&queue, &BatchRemovalQueue::taskChanged, &queue, [this](qsizetype index) {
            const ImageProcessingTask& task = queue.selectedImages().at(index);
            history[task.id].append(task.status);
        });
    }

    void setTasks(const QList<QImage>& images)
    {
        QList<ImageProcessingTask> tasks;
        for (qsizetype i = 0; i < images.size(); ++i) {
            ImageProcessingTask task;
            if (!images[i].isNull())
                task.originalImage = test::keptImage(images[i]);
            const QString file = dir.filePath(QStringLiteral("photo%1.png").arg(i));
            if (!images[i].isNull())
                images[i].save(file);
            task.originalURL = QUrl::fromLocalFile(file);
            tasks.append(task);
        }
        appState.setProcessingQueue(tasks);
        queue.takeListFromAppState();
    }

    bool waitForRunToEnd(std::chrono::seconds timeout = std::chrono::seconds(120))
    {
        return test::waitUntil([this] { return !queue.isProcessing(); }, timeout);
    }

    QList<ProcessingStatus> statusesOf(qsizetype index) { return history.value(queue.selectedImages().at(index).id); }

    QTemporaryDir dir;
    test::IsolatedAppState state;
    AppState& appState = state.appState;
    RemovalServiceClient client{state.keychain};
    BatchRemovalQueue queue{appState, client};
    QHash<QUuid, QList<ProcessingStatus>> history;
};

using P = ProcessingStatus;

} // namespace

TEST_F(BatchRunTest, LocalRunTakesEveryTaskThroughProcessingToItsOutcomeAndEnds)
{
    setTasks({test::makeBallPhoto(), plainCanvas(), QImage()});
    queue.processAllImagesInTab();
    EXPECT_TRUE(queue.isProcessing());
    ASSERT_TRUE(waitForRunToEnd());

    const auto& tasks = queue.selectedImages();
    EXPECT_EQ(statusesOf(0), (QList<P>{P::processing, P::completed}));
    ASSERT_TRUE(tasks[0].processedImage.has_value());
    EXPECT_EQ(tasks[0].processedImage->size(), tasks[0].originalImage.size());
    EXPECT_EQ(statusesOf(1), (QList<P>{P::processing, P::failed}));
    EXPECT_EQ(tasks[1].error, u"Failed to create mask");
    EXPECT_EQ(tasks[2].error, u"Failed to process image");
    EXPECT_EQ(queue.processingProgress(), 1.0);
    EXPECT_EQ(queue.currentProcessingIndex(), 2);
    // The flag clears when the run ends, so the controls come back.
    EXPECT_FALSE(queue.isProcessing());
    EXPECT_EQ(appState.processingQueue(), tasks);
}

// The stored settings reach the engine, and "Download" copies the kept PNG: exactly the
// engine's cut-out, encoded once.
TEST_F(BatchRunTest, StoredProcessingPreferencesReachTheEngineAndDownloadCopiesTheResult)
{
    UserPreferences preferences = appState.userPreferences();
    preferences.processingQuality = ProcessingQuality::fast;
    preferences.edgeRefinement = 0.3;
    preferences.preserveFineDetails = false;
    appState.setUserPreferences(preferences);

    setTasks({test::makeBallPhoto()});
    queue.processAllImagesInTab();
    ASSERT_TRUE(waitForRunToEnd());
    const ImageProcessingTask& task = queue.selectedImages().at(0);
    ASSERT_TRUE(task.processedImage.has_value()) << task.error.value_or(QString()).toStdString();
    const auto expected =
        removeBackgroundLocally(task.originalImage.decode(), RemovalOptions{ProcessingQuality::fast, 0.3, false});
    ASSERT_TRUE(expected);
    EXPECT_EQ(task.processedImage->readBytes(), encodePNG(*expected));

    const QString saved = dir.filePath(QStringLiteral("photo0_no_bg.png"));
    std::optional<bool> ok;
    queue.downloadImage(task, saved, [&](bool done) { ok = done; });
    ASSERT_TRUE(test::waitUntil([&] { return ok.has_value(); }));
    ASSERT_TRUE(*ok);
    QFile file(saved);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), encodePNG(*expected));
}

TEST_F(BatchRunTest, SecondProcessAllQueuesBehindTheFirstAndRedoesCompletedTasks)
{
    setTasks({test::makeBallPhoto(), test::makeBallPhoto().mirrored(true, false)});
    queue.processAllImagesInTab();
    queue.processAllImagesInTab();
    ASSERT_TRUE(waitForRunToEnd());

    for (qsizetype index : {0, 1})
        EXPECT_EQ(statusesOf(index), (QList<P>{P::processing, P::completed, P::processing, P::completed}));
}

TEST_F(BatchRunTest, CancelStopsBetweenImagesAndClearsTheFlag)
{
    setTasks({test::makeBallPhoto(), test::makeBallPhoto(), test::makeBallPhoto()});
    queue.processAllImagesInTab();
    ASSERT_TRUE(test::waitUntil([this] { return queue.selectedImages()[0].status == P::processing; }));
    queue.cancelProcessing();
    EXPECT_TRUE(queue.isCancelling());
    ASSERT_TRUE(waitForRunToEnd());

    // The image under way finishes; the rest stay as they were.
    EXPECT_EQ(queue.selectedImages()[0].status, P::completed);
    EXPECT_EQ(queue.selectedImages()[1].status, P::pending);
    EXPECT_EQ(queue.selectedImages()[2].status, P::pending);
    EXPECT_FALSE(queue.isCancelling());
}

TEST_F(BatchRunTest, ClearAllDuringARunDropsTheLateUpdates)
{
    setTasks({test::makeBallPhoto(), test::makeBallPhoto()});
    queue.processAllImagesInTab();
    ASSERT_TRUE(test::waitUntil([this] { return queue.selectedImages()[0].status == P::processing; }));
    queue.clearAll();
    ASSERT_TRUE(waitForRunToEnd());
    EXPECT_TRUE(queue.selectedImages().isEmpty());
    EXPECT_TRUE(appState.processingQueue().isEmpty());
}

TEST_F(BatchRunTest, RemoteRunAgainstTheStandInCompletesEveryCardAfterTheLastAnswer)
{
    test::ServiceProcess service;
    ASSERT_TRUE(service.isReady()) << service.output().toStdString();
    UserPreferences prefs = appState.userPreferences();
    prefs.backendBaseURLString = service.address();
    appState.setUserPreferences(prefs);
    AccountInfo account;
    account.apiKey = service.apiKey();
    appState.setAccountInfo(account);

    setTasks({test::makeBallPhoto(), plainCanvas(), test::makeBallPhoto().mirrored(true, false)});
    queue.setAiModel(AIModelSelection::kivo);
    queue.processAllImagesInTab();
    ASSERT_TRUE(waitForRunToEnd());

    const auto& tasks = queue.selectedImages();
    EXPECT_EQ(tasks[0].status, P::completed);
    EXPECT_EQ(tasks[2].status, P::completed);
    ASSERT_TRUE(tasks[2].processedImage.has_value());
    EXPECT_EQ(tasks[2].processedImage->size(), tasks[2].originalImage.size());
    // The service finds no subject on a plain canvas and says so in its answer.
    EXPECT_EQ(tasks[1].status, P::failed);
    EXPECT_FALSE(tasks[1].error.value_or(QString()).isEmpty());
    EXPECT_EQ(queue.processingProgress(), 1.0);
}

TEST_F(BatchRunTest, RemoteRunWithoutAKeyFailsEveryTaskWithoutSending)
{
    setTasks({test::makeBallPhoto()});
    queue.setAiModel(AIModelSelection::kivo);
    queue.processAllImagesInTab();
    ASSERT_TRUE(waitForRunToEnd());
    EXPECT_EQ(queue.selectedImages()[0].status, P::failed);
    EXPECT_EQ(queue.selectedImages()[0].error, u"Missing API key");
}
