// Processing runs of the batch queue with the real engines: the segmentation network on this
// machine, and the stand-in removal service on 127.0.0.1.

#include "core/PngEncoder.h"
#include "removal/batch/BatchRemovalQueue.h"
#include "removal/engine/LocalRemovalEngine.h"

#include "service/ScriptedHttpServer.h"
#include "service/ServiceProcess.h"
#include "service/SyntheticPhoto.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

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

    void useService(const QString& address, const QString& apiKey)
    {
        UserPreferences prefs = appState.userPreferences();
        prefs.backendBaseURLString = address;
        appState.setUserPreferences(prefs);
        AccountInfo account;
        account.apiKey = apiKey;
        appState.setAccountInfo(account);
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

// A run takes the pending and failed tasks; a completed one keeps its result and is never
// redone, and a task already in a run is left to it.
// A run's end reports and opens the photos of that run only.
TEST_F(BatchRunTest, ProcessAllTakesOnlyPendingAndFailedTasks)
{
    QSignalSpy ends(&queue, &BatchRemovalQueue::runEnded);
    setTasks({test::makeBallPhoto(), plainCanvas()});
    queue.processAllImagesInTab();
    queue.processAllImagesInTab();
    ASSERT_TRUE(waitForRunToEnd());
    EXPECT_EQ(statusesOf(0), (QList<P>{P::processing, P::completed}));
    EXPECT_EQ(statusesOf(1), (QList<P>{P::processing, P::failed}));
    const auto result = queue.selectedImages()[0].processedImage;
    ASSERT_EQ(ends.size(), 1);
    EXPECT_EQ(ends.takeFirst(), (QVariantList{1, 1}));
    queue.openRunResults();
    ASSERT_TRUE(test::waitUntil([&] { return appState.editorSessions().size() == 1; }));

    queue.processAllImagesInTab();
    ASSERT_TRUE(waitForRunToEnd());
    EXPECT_EQ(statusesOf(0), (QList<P>{P::processing, P::completed}));
    EXPECT_EQ(queue.selectedImages()[0].processedImage, result);
    EXPECT_EQ(statusesOf(1), (QList<P>{P::processing, P::failed, P::processing, P::failed}));
    ASSERT_EQ(ends.size(), 1);
    EXPECT_EQ(ends.takeFirst(), (QVariantList{0, 1}));
    queue.openRunResults();
    QTest::qWait(200);
    EXPECT_EQ(appState.editorSessions().size(), 1);
}

// Opening thousands of cut-outs at once would exhaust the memory: a few open, the alert says
// how many wait.
TEST_F(BatchRunTest, EditOpensAFewSessionsAndSaysHowManyWait)
{
    QImage image(40, 30, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QList<ImageProcessingTask> tasks;
    for (int i = 0; i < BatchRemovalQueue::sessionsOpenedAtOnce + 3; ++i) {
        ImageProcessingTask done;
        done.originalURL = QUrl::fromLocalFile(QStringLiteral("/photos/%1.jpg").arg(i));
        done.originalImage = test::keptImage(image);
        done.processedImage = test::keptImage(image);
        done.status = ProcessingStatus::completed;
        tasks.append(done);
    }
    appState.setProcessingQueue(tasks);
    queue.takeListFromAppState();
    QSignalSpy alerts(&queue, &BatchRemovalQueue::alertRequested);
    queue.editSelected();
    ASSERT_TRUE(test::waitUntil(
        [&] { return appState.editorSessions().size() == BatchRemovalQueue::sessionsOpenedAtOnce; }));
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_EQ(alerts.at(0).at(0).toString(), u"13 cut-outs are ready. The first 10 are open in the editor; open the "
                                              u"others with Edit on their cards.");
    QTest::qWait(200);
    EXPECT_EQ(appState.editorSessions().size(), BatchRemovalQueue::sessionsOpenedAtOnce);
}

TEST(LocalPhotosAtOnce, FollowsThePreferenceWithinItsRange)
{
    const std::pair<qint64, int> cases[] = {{-1, 1}, {0, 1}, {1, 1}, {3, 3}, {8, 8}, {50, 8}};
    for (const auto& [preference, expected] : cases)
        EXPECT_EQ(localPhotosAtOnce(preference), expected) << preference;
}

namespace {

// Local runs with "Max concurrent processes" at 1 and at 3.
class LocalPhotosAtOnceTest : public BatchRunTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override
    {
        BatchRunTest::SetUp();
        UserPreferences preferences = appState.userPreferences();
        preferences.maxConcurrentProcesses = GetParam();
        preferences.processingQuality = ProcessingQuality::fast;
        appState.setUserPreferences(preferences);
        // The most cards in "processing" at one moment: the photos held by the run at once.
        QObject::connect(&queue, &BatchRemovalQueue::taskChanged, &queue, [this] {
            const auto& tasks = queue.selectedImages();
            mostAtOnce = std::max(mostAtOnce, int(std::count_if(tasks.cbegin(), tasks.cend(), [](const auto& task) {
                return task.status == P::processing;
            })));
        });
    }

    // The ball photo turned and scaled, so that every card has a cut-out of its own.
    static QList<QImage> photos(int count)
    {
        QList<QImage> images;
        for (int i = 0; i < count; ++i)
            images.append(test::makeBallPhoto()
                              .transformed(QTransform().rotate(90 * (i % 4)))
                              .scaled(QSize(320 + 40 * i, 320 + 40 * i), Qt::KeepAspectRatio));
        return images;
    }

    int startedCount() const
    {
        return int(std::count_if(history.cbegin(), history.cend(), [](const auto& statuses) {
            return statuses.contains(P::processing);
        }));
    }

    int mostAtOnce = 0;
};

} // namespace

INSTANTIATE_TEST_SUITE_P(OneAndThree, LocalPhotosAtOnceTest, ::testing::Values(1, 3));

// Every card gets exactly the cut-out of a one-photo removal, whatever order they finish in,
// and no more photos than the preference allows are held at once.
TEST_P(LocalPhotosAtOnceTest, EveryCardGetsTheOneAtATimeCutOut)
{
    setTasks(photos(5));
    queue.processAllImagesInTab();
    ASSERT_TRUE(waitForRunToEnd());

    EXPECT_EQ(mostAtOnce, GetParam());
    const RemovalOptions options = storedRemovalOptions(appState);
    for (qsizetype i = 0; i < 5; ++i) {
        const ImageProcessingTask& task = queue.selectedImages().at(i);
        EXPECT_EQ(statusesOf(i), (QList<P>{P::processing, P::completed})) << i;
        ASSERT_TRUE(task.processedImage.has_value()) << i;
        const auto expected = removeBackgroundLocally(task.originalImage.decode(), options);
        ASSERT_TRUE(expected);
        EXPECT_EQ(task.processedImage->readBytes(), encodePNG(*expected)) << i;
    }
    EXPECT_EQ(queue.processingProgress(), 1.0);
}

// Cancelling lets the photos under way finish; the rest stay as they were.
TEST_P(LocalPhotosAtOnceTest, CancelStopsBetweenImagesAndClearsTheFlag)
{
    setTasks(photos(6));
    queue.processAllImagesInTab();
    ASSERT_TRUE(test::waitUntil([this] { return startedCount() >= GetParam(); }));
    queue.cancelProcessing();
    EXPECT_TRUE(queue.isCancelling());
    ASSERT_TRUE(waitForRunToEnd());

    EXPECT_GE(startedCount(), GetParam());
    EXPECT_LT(startedCount(), 6);
    EXPECT_LE(mostAtOnce, GetParam());
    for (qsizetype i = 0; i < 6; ++i) {
        const bool started = statusesOf(i).contains(P::processing);
        EXPECT_EQ(queue.selectedImages()[i].status, started ? P::completed : P::pending) << i;
    }
    EXPECT_FALSE(queue.isCancelling());
    EXPECT_FALSE(queue.isProcessing());
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
    useService(service.address(), service.apiKey());

    setTasks({test::makeBallPhoto(), plainCanvas(), test::makeBallPhoto().mirrored(true, false)});
    queue.setAiModel(AIModelSelection::kivo);
    queue.processAllImagesInTab();
    ASSERT_TRUE(waitForRunToEnd());

    const auto& tasks = queue.selectedImages();
    EXPECT_EQ(tasks[0].status, P::completed);
    EXPECT_EQ(tasks[2].status, P::completed);
    ASSERT_TRUE(tasks[2].processedImage.has_value());
    EXPECT_EQ(tasks[2].processedImage->size(), tasks[2].originalImage.size());
    // The service finds no subject on a plain canvas and says so in a sentence.
    EXPECT_EQ(tasks[1].status, P::failed);
    EXPECT_EQ(tasks[1].error, u"No foreground objects detected in the image.");
    EXPECT_EQ(queue.processingProgress(), 1.0);
    EXPECT_EQ(queue.runFinishedCount(), 3);
    const auto removals = [&] { return service.output().count(QStringLiteral("remove_background")); };
    const qsizetype sent = removals();
    EXPECT_EQ(sent, 3);

    // Again: only the failed photo goes, the completed ones keep their cut-outs.
    const auto first = tasks[0].processedImage;
    queue.processAllImagesInTab();
    ASSERT_TRUE(waitForRunToEnd());
    EXPECT_EQ(queue.selectedImages()[0].processedImage, first);
    EXPECT_EQ(statusesOf(0).count(P::processing), 1);
    EXPECT_TRUE(test::waitUntil([&] { return removals() == sent + 1; }));
}

// The same settings give the same pixels from both engines: the service applies the quality,
// the refinement with its colour clean-up and the crisp edges the request carries.
TEST_F(BatchRunTest, RemoteCutOutsFollowTheSettingsLikeTheLocalEngine)
{
    test::ServiceProcess service;
    ASSERT_TRUE(service.isReady()) << service.output().toStdString();
    useService(service.address(), service.apiKey());
    UserPreferences preferences = appState.userPreferences();
    preferences.processingQuality = ProcessingQuality::fast;
    preferences.refineEdges = true;
    preferences.edgeRefinement = 0.4;
    preferences.preserveFineDetails = false;
    appState.setUserPreferences(preferences);

    setTasks({test::makeBallPhoto()});
    queue.setAiModel(AIModelSelection::kivo);
    queue.processAllImagesInTab();
    ASSERT_TRUE(waitForRunToEnd());
    const ImageProcessingTask& task = queue.selectedImages().at(0);
    ASSERT_TRUE(task.processedImage.has_value()) << task.error.value_or(QString()).toStdString();
    const auto local = removeBackgroundLocally(task.originalImage.decode(), RemovalOptions{ProcessingQuality::fast, 0.4, false});
    const auto plain = removeBackgroundLocally(task.originalImage.decode());
    ASSERT_TRUE(local && plain);
    const QImage remote = task.processedImage->decode().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(remote, *local);
    EXPECT_NE(remote, *plain);
}

// No credits: the first answer fails its card and speaks for the run in one alert; the photos
// not sent stay pending, never marked failed for work that was never tried.
TEST_F(BatchRunTest, NoCreditsStopsTheRunWithOneMessage)
{
    test::ScriptedHttpServer server([](const test::ScriptedHttpServer::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        response.status = 402;
        response.set_content(R"({"error":"Not enough credits"})", "application/json");
    });
    useService(server.baseURL(), QStringLiteral("k"));
    UserPreferences preferences = appState.userPreferences();
    preferences.maxConcurrentProcesses = 1;
    appState.setUserPreferences(preferences);
    QSignalSpy alerts(&queue, &BatchRemovalQueue::alertRequested);

    setTasks({test::makeBallPhoto(), test::makeBallPhoto(), test::makeBallPhoto(), test::makeBallPhoto()});
    queue.setAiModel(AIModelSelection::kivo);
    queue.processAllImagesInTab();
    ASSERT_TRUE(waitForRunToEnd());

    const auto& tasks = queue.selectedImages();
    EXPECT_EQ(tasks[0].status, P::failed);
    EXPECT_EQ(tasks[0].error, u"The service has no credits left on this account.");
    for (qsizetype i = 1; i < 4; ++i) {
        EXPECT_EQ(tasks[i].status, P::pending) << i;
        EXPECT_TRUE(queue.taskNote(tasks[i].id).isEmpty());
    }
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_EQ(alerts[0][0].toString(), u"The service has no credits left on this account. 3 photos were not sent.");
    EXPECT_EQ(server.requests().size(), 1u);
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
