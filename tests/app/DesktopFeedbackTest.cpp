#include "NotificationDaemon.h"

#include "app/WelcomeView.h"
#include "app/desktop/CompletionSound.h"
#include "app/desktop/DesktopNotifier.h"
#include "app/desktop/LauncherProgress.h"
#include "app/desktop/RunFeedback.h"
#include "core/ImageHistory.h"
#include "removal/monitor/FolderMonitor.h"
#include "service/SyntheticPhoto.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QDBusPendingCall>
#include <QDir>
#include <QFile>
#include <QPixmapCache>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

using namespace kivo;

namespace {

// The run's feedback over the real session bus, with the stand-in notification server owning
// org.freedesktop.Notifications on it.
class DesktopFeedbackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(daemon.isRegistered()) << "no session bus: run the tests inside dbus-run-session";
    }

    void setPreferences(const std::function<void(UserPreferences&)>& change)
    {
        UserPreferences preferences = state.userPreferences();
        change(preferences);
        state.setUserPreferences(preferences);
    }

    // Lets the calls and signals travel the bus; a round trip to the daemon is the fence.
    void settle()
    {
        QDBusMessage ping = QDBusMessage::createMethodCall(
            QString(DesktopNotifier::service), QString(DesktopNotifier::path),
            QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
        auto pending = QDBusConnection::sessionBus().asyncCall(ping);
        test::waitUntil([&] { return pending.isFinished(); }, std::chrono::seconds(5));
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    }

    test::NotificationDaemon daemon;
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    DesktopNotifier notifier;
    LauncherProgress launcher;
    CompletionSound sound;
    bool windowActive = false;
    RunFeedback feedback{state, notifier, launcher, sound, [this] { return windowActive; }};
};

struct NotificationCase {
    bool showNotifications;
    bool windowActive;
    int completed;
    int failed;
    QString expectedBody; // empty: no notification
};

class RunEndNotification : public DesktopFeedbackTest, public ::testing::WithParamInterface<NotificationCase> {};

TEST_P(RunEndNotification, ArrivesOnlyWhenWantedAndTheWindowIsInactive)
{
    const NotificationCase c = GetParam();
    setPreferences([&](UserPreferences& p) { p.showProcessingNotifications = c.showNotifications; });
    windowActive = c.windowActive;

    feedback.runEnded(c.completed, c.failed);
    if (c.expectedBody.isEmpty()) {
        settle();
        EXPECT_TRUE(daemon.notifications().isEmpty());
        return;
    }
    ASSERT_TRUE(test::waitUntil([&] { return !daemon.notifications().isEmpty(); }));
    const auto& notification = daemon.notifications().constFirst();
    EXPECT_EQ(notification.appName, QStringLiteral("KIVOPRO"));
    EXPECT_EQ(notification.summary, QStringLiteral("Background removal finished"));
    EXPECT_EQ(notification.body, c.expectedBody);
    EXPECT_EQ(notification.hints.value(QStringLiteral("desktop-entry")).toString(), QStringLiteral("kivopro"));
}

INSTANTIATE_TEST_SUITE_P(
    Preferences, RunEndNotification,
    ::testing::Values(NotificationCase{true, false, 58, 2, QStringLiteral("58 photos cut out, 2 failed")},
                      NotificationCase{true, false, 1, 0, QStringLiteral("1 photo cut out")},
                      NotificationCase{true, true, 58, 2, {}}, NotificationCase{false, false, 58, 2, {}}),
    [](const ::testing::TestParamInfo<NotificationCase>& info) {
        return std::string(info.param.showNotifications ? "wanted" : "off")
            + (info.param.windowActive ? "WindowActive" : "WindowInactive") + std::to_string(info.index);
    });

TEST_F(DesktopFeedbackTest, AFileTheMonitorFinishedIsAnnounced)
{
    feedback.monitoredFileFinished(QStringLiteral("beach.jpg"), true);
    feedback.monitoredFileFinished(QStringLiteral("broken.jpg"), false);
    ASSERT_TRUE(test::waitUntil([&] { return daemon.notifications().size() == 2; }));
    EXPECT_EQ(daemon.notifications().at(0).summary, QStringLiteral("Folder Trigger"));
    EXPECT_EQ(daemon.notifications().at(0).body, QStringLiteral("beach.jpg: background removed"));
    EXPECT_EQ(daemon.notifications().at(1).body, QStringLiteral("broken.jpg could not be processed"));

    setPreferences([](UserPreferences& p) { p.showProcessingNotifications = false; });
    feedback.monitoredFileFinished(QStringLiteral("late.jpg"), true);
    settle();
    EXPECT_EQ(daemon.notifications().size(), 2);
}

// The folder monitor on a real folder watched with inotify, its files cut out by the network and
// announced as the application wires it: the notification arrives once the cut-out is saved.
TEST_F(DesktopFeedbackTest, APhotoTheFolderMonitorCutsOutIsAnnounced)
{
    QTemporaryDir folder;
    const QString watched = folder.filePath(QStringLiteral("watched"));
    ASSERT_TRUE(QDir().mkpath(watched));
    setPreferences([&watched](UserPreferences& p) {
        p.triggerEnabled = true;
        p.triggerFolderPath = watched;
        p.triggerAIModel = QStringLiteral("localFree");
        p.processingQuality = ProcessingQuality::fast;
    });
    FolderMonitor::Options options;
    options.journalPath = folder.filePath(QStringLiteral("monitor-queue.json"));
    auto monitor = std::make_unique<FolderMonitor>(state, isolated.keychain, options);
    feedback.announceFilesOf(*monitor);
    state.installFolderMonitor(std::move(monitor));

    const QString photo = folder.filePath(QStringLiteral("ball.jpg"));
    ASSERT_TRUE(test::makeBallPhoto().save(photo, "JPEG", 95));
    ASSERT_EQ(QProcess::execute(QStringLiteral("cp"), {photo, watched}), 0);
    ASSERT_TRUE(test::waitUntil([&] { return !daemon.notifications().isEmpty(); }, std::chrono::seconds(120)));
    EXPECT_TRUE(QFile::exists(watched + QStringLiteral("/kivo_processed/ball_kivo.png")));
    ASSERT_EQ(daemon.notifications().size(), 1);
    EXPECT_EQ(daemon.notifications().at(0).summary, QStringLiteral("Folder Trigger"));
    EXPECT_EQ(daemon.notifications().at(0).body, QStringLiteral("ball.jpg: background removed"));
    state.installFolderMonitor(nullptr);
}

TEST_F(DesktopFeedbackTest, ProgressShowsOnTheLauncherEntryAndInTheTitle)
{
    QSignalSpy titles(&feedback, &RunFeedback::windowTitleChanged);
    feedback.runProgressed(true, 0.0);
    feedback.runProgressed(true, 0.5);
    EXPECT_EQ(feedback.windowTitle(), QStringLiteral("50% — KIVOPRO"));
    ASSERT_TRUE(test::waitUntil([&] { return daemon.launcherUpdates().size() == 2; }));
    const auto& update = daemon.launcherUpdates().at(1);
    EXPECT_EQ(update.appUri, QStringLiteral("application://kivopro.desktop"));
    EXPECT_DOUBLE_EQ(update.properties.value(QStringLiteral("progress")).toDouble(), 0.5);
    EXPECT_TRUE(update.properties.value(QStringLiteral("progress-visible")).toBool());

    feedback.runEnded(2, 0);
    EXPECT_EQ(feedback.windowTitle(), QStringLiteral("KIVOPRO"));
    ASSERT_TRUE(test::waitUntil([&] { return daemon.launcherUpdates().size() == 3; }));
    EXPECT_FALSE(daemon.launcherUpdates().at(2).properties.value(QStringLiteral("progress-visible")).toBool());
    EXPECT_EQ(titles.count(), 3); // 0 %, 50 %, back
}

TEST_F(DesktopFeedbackTest, ProgressStaysOffTheDesktopWhenNotWanted)
{
    setPreferences([](UserPreferences& p) { p.showProgressInDock = false; });
    feedback.runProgressed(true, 0.25);
    feedback.runEnded(1, 0);
    settle();
    EXPECT_TRUE(daemon.launcherUpdates().isEmpty());
    EXPECT_EQ(feedback.windowTitle(), QStringLiteral("KIVOPRO"));
}

TEST_F(DesktopFeedbackTest, SwitchingTheDockProgressOffDuringARunHidesIt)
{
    feedback.runProgressed(true, 0.3);
    setPreferences([](UserPreferences& p) { p.showProgressInDock = false; });
    ASSERT_TRUE(test::waitUntil([&] { return daemon.launcherUpdates().size() == 2; }));
    EXPECT_FALSE(daemon.launcherUpdates().at(1).properties.value(QStringLiteral("progress-visible")).toBool());
    EXPECT_EQ(feedback.windowTitle(), QStringLiteral("KIVOPRO"));
}

struct RunEndCase {
    const char* name;
    std::function<void(UserPreferences&)> preferences;
    int completed;
    int soundsPlayed;
    int editorOpenings;
    int memoryReleases;
};

class RunEndActions : public DesktopFeedbackTest, public ::testing::WithParamInterface<RunEndCase> {};

TEST_P(RunEndActions, FollowThePreferences)
{
    const RunEndCase& c = GetParam();
    setPreferences(c.preferences);
    QSignalSpy editor(&feedback, &RunFeedback::openResultsInEditor);
    QSignalSpy memory(&feedback, &RunFeedback::releaseEngineMemory);
    feedback.runEnded(c.completed, 0);
    EXPECT_EQ(sound.timesPlayed(), c.soundsPlayed) << c.name;
    EXPECT_EQ(editor.count(), c.editorOpenings) << c.name;
    EXPECT_EQ(memory.count(), c.memoryReleases) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Preferences, RunEndActions,
    ::testing::Values(
        RunEndCase{"defaults", [](UserPreferences&) {}, 3, 1, 1, 0},
        RunEndCase{"no sound", [](UserPreferences& p) { p.playSoundOnCompletion = false; }, 3, 0, 1, 0},
        RunEndCase{"editor off", [](UserPreferences& p) { p.openProcessedInEditor = false; }, 3, 1, 0, 0},
        RunEndCase{"nothing completed", [](UserPreferences&) {}, 0, 1, 0, 0},
        RunEndCase{"conservative memory", [](UserPreferences& p) { p.memoryUsage = MemoryUsage::conservative; }, 3,
                   1, 1, 1},
        RunEndCase{"aggressive memory", [](UserPreferences& p) { p.memoryUsage = MemoryUsage::aggressive; }, 3, 1, 1,
                   0}),
    [](const ::testing::TestParamInfo<RunEndCase>& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST(WelcomeViewTest, DontShowThisAgainSwitchesTheWelcomeScreenOff)
{
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    ASSERT_TRUE(state.userPreferences().showWelcomeScreen);
    WelcomeView view(state);
    EXPECT_FALSE(view.dontShowAgain()->isChecked());
    view.dontShowAgain()->click();
    EXPECT_FALSE(state.storedPreferences().showWelcomeScreen);
    view.dontShowAgain()->click();
    EXPECT_TRUE(state.storedPreferences().showWelcomeScreen);
}

} // namespace

TEST_F(DesktopFeedbackTest, MemoryUsageSetsTheDecodedHistoryStepsAndTheThumbnailCache)
{
    // 200 card-sized thumbnails, 11 MiB: Aggressive keeps them all, Balanced too, Conservative
    // drops the least used at once and keeps no more than its limit.
    const auto cachedThumbnails = [] {
        int found = 0;
        for (int i = 0; i < 200; ++i) {
            QPixmap pixmap;
            found += QPixmapCache::find(QStringLiteral("test-thumbnail:%1").arg(i), &pixmap) ? 1 : 0;
        }
        return found;
    };
    const int thumbnailKiB = 120 * 120 * 4 / 1024;
    struct Case {
        MemoryUsage usage;
        int neighbours;
        int mostThumbnails;
    };
    const Case cases[] = {
        {MemoryUsage::aggressive, 3, 200},
        {MemoryUsage::balanced, 1, 200},
        {MemoryUsage::conservative, 0, 4 * 1024 / thumbnailKiB},
    };
    setPreferences([](UserPreferences& p) { p.memoryUsage = MemoryUsage::aggressive; });
    QPixmap thumbnail(120, 120);
    thumbnail.fill(Qt::red);
    for (int i = 0; i < 200; ++i)
        QPixmapCache::insert(QStringLiteral("test-thumbnail:%1").arg(i), thumbnail.copy());
    for (const Case& c : cases) {
        setPreferences([&c](UserPreferences& p) { p.memoryUsage = c.usage; });
        EXPECT_EQ(ImageHistory::residentNeighbours(), c.neighbours) << int(c.usage);
        EXPECT_EQ(QPixmapCache::cacheLimit(), RunFeedback::thumbnailCacheKiB(c.usage));
        const int kept = cachedThumbnails();
        EXPECT_LE(kept, c.mostThumbnails) << int(c.usage);
        EXPECT_GT(kept, c.mostThumbnails / 2) << int(c.usage);
    }
    QPixmapCache::clear();
}
