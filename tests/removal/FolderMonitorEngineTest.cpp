// The folder monitor with the real engines: the segmentation network on this machine, and the
// stand-in removal service (the real kivopro-service program) on 127.0.0.1.

#include "FolderMonitorFixture.h"

#include "service/ServiceProcess.h"
#include "service/SyntheticPhoto.h"

using namespace kivo;

namespace {

class FolderMonitorEngineTest : public test::FolderMonitorFixture {
protected:
    void SetUp() override
    {
        FolderMonitorFixture::SetUp();
        ASSERT_TRUE(test::makeBallPhoto().save(outside(QStringLiteral("ball.jpg")), "JPEG", 95));
    }

    // A cut-out of the ball: the backdrop's corner transparent, the ball's middle opaque.
    static void expectBallCutout(const QString& path)
    {
        ASSERT_TRUE(holdsPNG(path)) << path.toStdString();
        const QImage cutout(path);
        ASSERT_EQ(cutout.size(), QSize(640, 480));
        EXPECT_LT(qAlpha(cutout.pixel(10, 10)), 30);
        EXPECT_GT(qAlpha(cutout.pixel(320, 250)), 220);
    }
};

using S = TriggerActivityStatus;

} // namespace

TEST_F(FolderMonitorEngineTest, LocalEngineCutsOutNewPhotosAndFailsOnesWithoutSubject)
{
    test::StdoutCapture output;
    // "Conservative": the network goes back as soon as the folder's files are done.
    startMonitor(QStringLiteral("localFree"), [](UserPreferences& preferences) {
        preferences.memoryUsage = MemoryUsage::conservative;
    });
    bool released = false;
    QObject::connect(monitor, &FolderMonitor::engineMemoryReleased, [&released] { released = true; });
    copyIn(outside(QStringLiteral("ball.jpg")));
    copyIn(test::testDataPath(QStringLiteral("grass.jpg")));
    ASSERT_TRUE(waitForFinishedActivities(2, std::chrono::seconds(120)));

    for (TriggerActivity* activity : activities()) {
        if (activity->filename() == u"ball.jpg") {
            EXPECT_EQ(activity->status(), S::completed);
            EXPECT_TRUE(activity->errorText().isEmpty());
        } else {
            // The engine's own reason reaches the row.
            EXPECT_EQ(activity->status(), S::failed);
            EXPECT_EQ(activity->errorText(), QStringLiteral("No foreground objects detected in the image"));
        }
    }
    expectBallCutout(watched(QStringLiteral("kivo_processed/ball_kivo.png")));
    EXPECT_FALSE(QFile::exists(watched(QStringLiteral("kivo_processed/grass_kivo.png"))));
    const QString log = output.text();
    EXPECT_TRUE(log.contains(QStringLiteral("[AppState] Successfully processed image with Local Free Model")));
    EXPECT_TRUE(log.contains(QStringLiteral("[AppState] Failed to process image")));
    EXPECT_TRUE(appState.processingQueue().isEmpty());
    // Once the files are done, the network's memory is given back.
    EXPECT_TRUE(test::waitUntil([&] { return released; }, std::chrono::seconds(5)));
    EXPECT_TRUE(output.text().contains(QStringLiteral("[FolderMonitor] The folder is quiet: releasing the engine's memory")));
}

TEST(FolderMonitorReleaseDelay, TheNetworkStaysLongerTheMoreMemoryMayBeUsed)
{
    using namespace std::chrono_literals;
    const std::pair<MemoryUsage, std::chrono::milliseconds> cases[] = {
        {MemoryUsage::conservative, 0ms}, {MemoryUsage::balanced, 2min}, {MemoryUsage::aggressive, 10min}};
    for (const auto& [usage, delay] : cases)
        EXPECT_EQ(FolderMonitor::releaseDelayFor(usage), delay) << int(usage);
}

TEST_F(FolderMonitorEngineTest, KivoModelSendsNewPhotosToTheService)
{
    test::ServiceProcess service;
    ASSERT_TRUE(service.isReady()) << service.output().toStdString();
    // Signed in with the demo account. (The credential store is the session's shared one, where
    // a key would reach other tests running at the same time.)
    AccountInfo account;
    account.apiKey = service.apiKey();
    appState.setAccountInfo(account);
    test::StdoutCapture output;
    // The service runs the network too; on a machine busy with other test processes its first
    // answer can take longer than the monitor's usual 30-second wait.
    FolderMonitor::Options patient;
    patient.remote.monitorWait = std::chrono::seconds(120);
    patient.remote.upload.baseTimeout = std::chrono::seconds(120);
    startMonitor(
        QStringLiteral("kivo"),
        [&](UserPreferences& preferences) { preferences.backendBaseURLString = service.address(); }, patient);
    copyIn(outside(QStringLiteral("ball.jpg")));
    ASSERT_TRUE(waitForFinishedActivities(1, std::chrono::seconds(60)));
    EXPECT_EQ(statuses(), QList<S>{S::completed});
    expectBallCutout(watched(QStringLiteral("kivo_processed/ball_kivo.png")));
    EXPECT_TRUE(output.text().contains(QStringLiteral("[AppState] Successfully processed image with Kivo Model")));
    EXPECT_TRUE(service.output().contains(QStringLiteral("remove_background")));
}
