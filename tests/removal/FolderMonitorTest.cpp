// The folder monitor with real folders, real inotify events and the remote engine against a
// scripted removal service on 127.0.0.1 (quick and under the test's control). The local engine
// and the stand-in service are in FolderMonitorEngineTest.

#include "FolderMonitorFixture.h"

#include "service/ScriptedHttpServer.h"

#include "removal/monitor/FolderMonitorRules.h"
#include "removal/monitor/ResultWriter.h"

#include "core/AtomicFile.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QThread>

#include <atomic>

using namespace kivo;

namespace {

QImage uploadedImage(const test::ScriptedHttpServer::Request& request)
{
    const auto form = test::parseMultipart(request.header("Content-Type"), request.body);
    if (form.parts.size() < 2)
        return {};
    const std::string& bytes = form.parts[1].content;
    return QImage::fromData(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
}

// Answers with the uploaded image itself as the cut-out, after `delayMs`; uploads `failWidth`
// pixels wide get a 500.
class FolderMonitorTest : public test::FolderMonitorFixture {
protected:
    void SetUp() override
    {
        FolderMonitorFixture::SetUp();
        AccountInfo account;
        account.apiKey = QStringLiteral("test-key");
        appState.setAccountInfo(account);
        writeImage(outside(QStringLiteral("photo.jpg")), 40, "JPEG");
    }

    void startWithService(const std::function<void(UserPreferences&)>& adjust = {}, int filesAtOnce = 2,
                          std::chrono::milliseconds retryInterval = std::chrono::milliseconds(2000))
    {
        FolderMonitor::Options options;
        options.stream.quietMilliseconds = 300;
        options.filesAtOnce = filesAtOnce;
        options.retryInterval = retryInterval;
        startMonitor(QStringLiteral("kivo"), [&](UserPreferences& preferences) {
            preferences.backendBaseURLString = server.baseURL();
            if (adjust)
                adjust(preferences);
        }, options);
    }

    static void writeImage(const QString& path, int width, const char* format)
    {
        QImage image(width, 30, QImage::Format_RGB32);
        image.fill(QColor(200, 120, 40));
        ASSERT_TRUE(image.save(path, format));
    }

    std::atomic_int delayMs{0};
    std::atomic_int failWidth{-1};
    test::ScriptedHttpServer server{[this](const test::ScriptedHttpServer::Request& request, httplib::Response& response) {
        QThread::msleep(uint(delayMs.load()));
        const QImage image = uploadedImage(request);
        if (image.isNull() || image.width() == failWidth) {
            response.status = 500;
            return;
        }
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        const QJsonObject answer{{"image_base64", QString::fromLatin1(png.toBase64())}};
        response.set_content(QJsonDocument(answer).toJson().toStdString(), "application/json");
    }};
};

using S = TriggerActivityStatus;

QStringList names(const QList<TriggerActivity*>& list)
{
    QStringList result;
    for (TriggerActivity* activity : list)
        result << activity->filename();
    return result;
}

} // namespace

// Every way a finished photo can appear in the tree is one arrival: one activity, one result.
TEST_F(FolderMonitorTest, EveryArrivalRouteIsProcessedOnce)
{
    const QString source = outside(QStringLiteral("photo.jpg"));
    ASSERT_TRUE(QDir().mkpath(outside(QStringLiteral("album"))));
    run(QStringLiteral("cp"), {source, outside(QStringLiteral("album/inside.jpg"))});
    QTemporaryDir otherFileSystem(QStringLiteral("/dev/shm/kivo-monitor-XXXXXX"));
    ASSERT_TRUE(otherFileSystem.isValid());
    startWithService();
    ASSERT_TRUE(test::waitUntil([&] { return appState.triggerStatus() == TriggerStatus::monitoring; }));

    const QString w = watched();
    const struct {
        const char* route;
        QString command;
        const char* arrived;
    } routes[] = {
        {"cp", QStringLiteral("cp '%1' '%2/copied.jpg'").arg(source, w), "copied.jpg"},
        {"mv on one file system", QStringLiteral("cp '%1' '%3' && mv '%3' '%2/moved.jpg'").arg(source, w, outside(QStringLiteral("m.jpg"))), "moved.jpg"},
        {"mv from another file system",
         QStringLiteral("cp '%1' '%3/x.jpg' && mv '%3/x.jpg' '%2/otherfs.jpg'").arg(source, w, otherFileSystem.path()), "otherfs.jpg"},
        {"download renamed from .part",
         QStringLiteral("cp '%1' '%2/download.jpg.part' && mv '%2/download.jpg.part' '%2/download.jpg'").arg(source, w), "download.jpg"},
        {"download renamed from .crdownload",
         QStringLiteral("cp '%1' '%2/chrome.jpg.crdownload' && mv '%2/chrome.jpg.crdownload' '%2/chrome.jpg'").arg(source, w), "chrome.jpg"},
        {"rsync (a hidden temporary renamed)", QStringLiteral("rsync '%1' '%2/synced.jpg'").arg(source, w), "synced.jpg"},
        {"hard link", QStringLiteral("ln '%1' '%2/hard.jpg'").arg(source, w), "hard.jpg"},
        {"symbolic link to a photo", QStringLiteral("ln -s '%1' '%2/symbolic.jpg'").arg(source, w), "symbolic.jpg"},
        {"O_TMPFILE + linkat",
         QStringLiteral("python3 -c \"import ctypes,os,sys; fd=os.open(sys.argv[2], os.O_TMPFILE|os.O_WRONLY, 0o644); "
                        "os.write(fd, open(sys.argv[1],'rb').read()); libc=ctypes.CDLL(None, use_errno=True); "
                        "assert libc.linkat(-100, b'/proc/self/fd/%d' % fd, -100, (sys.argv[2] + '/linked.jpg').encode(), 0x400) == 0; "
                        "os.close(fd)\" '%1' '%2'").arg(source, w), "linked.jpg"},
        {"folder moved in", QStringLiteral("mv '%1' '%2/album'").arg(outside(QStringLiteral("album")), w), "inside.jpg"},
    };
    QStringList expected;
    for (const auto& route : routes) {
        run(QStringLiteral("sh"), {QStringLiteral("-c"), route.command});
        expected << QString::fromUtf8(route.arrived);
    }
    // The application's own writer (QSaveFile: O_TMPFILE + linkat where the system has it).
    QFile photo(source);
    ASSERT_TRUE(photo.open(QIODevice::ReadOnly));
    ASSERT_FALSE(writeFileAtomically(watched(QStringLiteral("saved.jpg")), photo.readAll()).has_value());
    expected << QStringLiteral("saved.jpg");

    ASSERT_TRUE(test::waitUntil([&] {
        return activities().size() >= expected.size() && !statuses().contains(S::processing);
    }, std::chrono::seconds(30))) << names(activities()).join(u' ').toStdString();
    settle(std::chrono::milliseconds(2500));
    QStringList arrived = names(activities());
    arrived.sort();
    expected.sort();
    EXPECT_EQ(arrived, expected);
    EXPECT_EQ(statuses(), QList<S>(expected.size(), S::completed));
    for (TriggerActivity* activity : activities()) {
        EXPECT_TRUE(holdsPNG(activity->resultPath())) << activity->filename().toStdString();
        EXPECT_EQ(resultSourceName(activity->resultPath()), activity->filename());
    }
}

TEST_F(FolderMonitorTest, RewrittenPhotoIsProcessedAgainAndReplacesItsOwnResult)
{
    startWithService();
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(waitForFinishedActivities(1));
    const QString result = watched(QStringLiteral("kivo_processed/photo_kivo.png"));
    ASSERT_TRUE(holdsPNG(result));

    // Written over in place, then saved by an editor through a temporary renamed over it.
    writeImage(outside(QStringLiteral("wider.jpg")), 60, "JPEG");
    run(QStringLiteral("cp"), {outside(QStringLiteral("wider.jpg")), watched(QStringLiteral("photo.jpg"))});
    ASSERT_TRUE(waitForFinishedActivities(2));
    EXPECT_EQ(QImage(result).width(), 60);
    writeImage(watched(QStringLiteral(".photo.jpg.swp")), 50, "JPEG");
    run(QStringLiteral("mv"), {watched(QStringLiteral(".photo.jpg.swp")), watched(QStringLiteral("photo.jpg"))});
    ASSERT_TRUE(waitForFinishedActivities(3));
    settle();
    EXPECT_EQ(names(activities()), QStringList(3, QStringLiteral("photo.jpg")));
    EXPECT_EQ(QImage(result).width(), 50);
    EXPECT_EQ(QDir(watched(QStringLiteral("kivo_processed"))).entryList(QDir::Files), QStringList{QStringLiteral("photo_kivo.png")});

    // Opened for writing and closed without a change: nothing new.
    run(QStringLiteral("touch"), {watched(QStringLiteral("photo.jpg"))});
    settle(std::chrono::milliseconds(1500));
    EXPECT_EQ(activities().size(), 3);
}

TEST_F(FolderMonitorTest, FileInANewSubfolderGoesIntoThatSubfoldersResultsFolder)
{
    startWithService();
    run(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("mkdir -p '%1' && cp '%2' '%1/'")
                                                         .arg(watched(QStringLiteral("shoot/day1")),
                                                              outside(QStringLiteral("photo.jpg")))});
    ASSERT_TRUE(waitForFinishedActivities(1));
    EXPECT_TRUE(holdsPNG(watched(QStringLiteral("shoot/day1/kivo_processed/photo_kivo.png"))));
    // The monitor's own results never start processing.
    settle();
    EXPECT_EQ(activities().size(), 1);
}

TEST_F(FolderMonitorTest, IgnoredPathsNeverStartProcessing)
{
    startWithService();
    ASSERT_TRUE(QDir().mkpath(watched(QStringLiteral("kivo_processed"))));
    ASSERT_TRUE(QDir().mkpath(watched(QStringLiteral("deep/kivo_processed"))));
    settle();
    for (const char* name : {"kivo_processed/a.jpg", "deep/kivo_processed/b.png", ".DS_Store", "copy~.jpg",
                             "picture.webp", "notes.txt", ".hidden.jpg", "x.jpg.part", "y.jpg.crdownload",
                             ".z.jpg.swp"})
        run(QStringLiteral("cp"), {outside(QStringLiteral("photo.jpg")), watched(QString::fromUtf8(name))});
    // Read after the others: once it is processed, the ignored ones had their chance.
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(waitForFinishedActivities(1));
    settle();
    ASSERT_EQ(activities().size(), 1);
    EXPECT_EQ(activities()[0]->filename(), QStringLiteral("photo.jpg"));
}

// The rules look only below the watched folder: a "~" or a "kivo_processed" above it is no reason
// to ignore anything.
TEST_F(FolderMonitorTest, WatchedFolderBelowATildeAndAResultsFolderIsMonitored)
{
    const QString folder = temporary.filePath(QStringLiteral("~me/kivo_processed/photos"));
    ASSERT_TRUE(QDir().mkpath(folder));
    startWithService([&](UserPreferences& preferences) { preferences.triggerFolderPath = folder; });
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::monitoring);
    run(QStringLiteral("cp"), {outside(QStringLiteral("photo.jpg")), folder});
    ASSERT_TRUE(waitForFinishedActivities(1));
    EXPECT_EQ(statuses(), QList<S>{S::completed});
    EXPECT_TRUE(holdsPNG(folder + QStringLiteral("/kivo_processed/photo_kivo.png")));
}

TEST_F(FolderMonitorTest, ResultNamesNeverCollide)
{
    startWithService([](UserPreferences& preferences) {
        preferences.exportNamingPattern = QStringLiteral("custom");
        preferences.customExportPattern = QStringLiteral("{original}_kivo_{date}_{time}");
    });
    // Two sources of one base name finished in the same second, then a third.
    writeImage(outside(QStringLiteral("photo.png")), 40, "PNG");
    copyIn(outside(QStringLiteral("photo.jpg")));
    copyIn(outside(QStringLiteral("photo.png")));
    ASSERT_TRUE(waitForFinishedActivities(2));
    QStringList results = QDir(watched(QStringLiteral("kivo_processed"))).entryList(QDir::Files);
    ASSERT_EQ(results.size(), 2) << results.join(u' ').toStdString();
    for (const QString& name : results)
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^photo_kivo_\\d{8}_\\d{6}(-2)?\\.png$")).match(name).hasMatch())
            << name.toStdString();

    // {counter}: the smallest free number.
    UserPreferences preferences = appState.userPreferences();
    preferences.customExportPattern = QStringLiteral("cut_{counter}");
    appState.setUserPreferences(preferences);
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
        run(QStringLiteral("cp"), {outside(QStringLiteral("photo.jpg")), watched(QString::fromUtf8(name))});
    ASSERT_TRUE(waitForFinishedActivities(5));
    ASSERT_TRUE(QFile::remove(watched(QStringLiteral("kivo_processed/cut_2.png"))));
    copyIn(outside(QStringLiteral("photo.png")));
    ASSERT_TRUE(waitForFinishedActivities(6));
    results = QDir(watched(QStringLiteral("kivo_processed"))).entryList({QStringLiteral("cut_*")}, QDir::Files);
    EXPECT_EQ(results, (QStringList{QStringLiteral("cut_1.png"), QStringLiteral("cut_2.png"), QStringLiteral("cut_3.png")}));
    EXPECT_EQ(resultSourceName(watched(QStringLiteral("kivo_processed/cut_2.png"))), QStringLiteral("photo.png"));
}

TEST_F(FolderMonitorTest, TheWholeHistoryIsKept)
{
    startWithService();
    // Not images: each fails to load at once.
    for (int i = 0; i < 12; ++i) {
        const QString name = QStringLiteral("file%1.jpg").arg(i, 2, 10, QLatin1Char('0'));
        QFile file(outside(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not an image");
        file.close();
        copyIn(outside(name));
    }
    ASSERT_TRUE(waitForFinishedActivities(12));
    EXPECT_EQ(activities().first()->filename(), QStringLiteral("file11.jpg"));
    EXPECT_EQ(activities().last()->filename(), QStringLiteral("file00.jpg"));
}

// The loader's and the engine's reasons reach the row and the log.
TEST_F(FolderMonitorTest, FailuresCarryTheirReasons)
{
    QFile jpeg(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(jpeg.open(QIODevice::ReadOnly));
    const QByteArray bytes = jpeg.readAll();
    const struct {
        const char* name;
        QByteArray content;
    } files[] = {
        {"empty.jpg", QByteArray()},
        {"truncated.jpg", bytes.left(bytes.size() / 2)},
        {"fake.png", QByteArray("this is no PNG at all")},
    };
    for (const auto& file : files)
        ASSERT_FALSE(writeFileAtomically(outside(QString::fromUtf8(file.name)), file.content).has_value());
    std::optional<test::StdoutCapture> output(std::in_place);
    startWithService();
    for (const auto& file : files)
        copyIn(outside(QString::fromUtf8(file.name)));
    ASSERT_TRUE(waitForFinishedActivities(3));
    const QString log = output->text();
    output.reset();
    QSet<QString> reasons;
    for (TriggerActivity* activity : activities()) {
        EXPECT_EQ(activity->status(), S::failed);
        EXPECT_TRUE(activity->errorText().startsWith(QStringLiteral("Failed to load image: ")))
            << activity->errorText().toStdString();
        EXPECT_GT(activity->errorText().size(), QStringLiteral("Failed to load image: ").size() + 3);
        reasons.insert(activity->errorText());
        EXPECT_TRUE(log.contains(activity->errorText().mid(22))) << activity->errorText().toStdString();
    }
    EXPECT_EQ(reasons.size(), 3) << "each failure says its own reason";

    // The engine's reason: no API key.
    appState.setAccountInfo(std::nullopt);
    output.emplace();
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(waitForFinishedActivities(4));
    const QString engineLog = output->text();
    output.reset();
    EXPECT_EQ(activities()[0]->status(), S::failed);
    EXPECT_EQ(activities()[0]->errorText(), QStringLiteral("Missing API key for Kivo processing"));
    EXPECT_TRUE(engineLog.contains(QStringLiteral("[AppState] Failed to process image: Missing API key")));
}

TEST_F(FolderMonitorTest, ResultThatCannotBeSavedFailsTheActivityWithTheReason)
{
    // A file where the results folder should be.
    QFile blocker(watched(QStringLiteral("kivo_processed")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    test::StdoutCapture output;
    startWithService();
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(waitForFinishedActivities(1));
    EXPECT_EQ(statuses(), QList<S>{S::failed});
    EXPECT_TRUE(activities()[0]->errorText().startsWith(QStringLiteral("Failed to save processed image: ")));
    const QString log = output.text();
    EXPECT_TRUE(log.contains(QStringLiteral("[AppState] Failed to save processed image: ")));
    EXPECT_FALSE(log.contains(QStringLiteral("Successfully processed")));
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::monitoring);
}

TEST_F(FolderMonitorTest, NamingThatGivesNoPlainFileNameIsRefused)
{
    startWithService([](UserPreferences& preferences) {
        preferences.exportNamingPattern = QStringLiteral("custom");
        preferences.customExportPattern = QStringLiteral("..");
    });
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(waitForFinishedActivities(1));
    EXPECT_EQ(statuses(), QList<S>{S::failed});
    EXPECT_TRUE(QDir(watched(QStringLiteral("kivo_processed"))).entryList(QDir::Files).isEmpty());
    EXPECT_EQ(QDir(watched()).entryList(QDir::Files), QStringList{QStringLiteral("photo.jpg")});
}

// Monitor files are no batch tasks: the batch tab's list and its "Process All" never see them.
TEST_F(FolderMonitorTest, MonitorFilesNeverEnterTheBatchList)
{
    delayMs = 600;
    startWithService();
    QObject::connect(&appState, &AppState::processingQueueChanged, [&] { ADD_FAILURE() << "the batch list changed"; });
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(waitForFinishedActivities(1));
    EXPECT_EQ(statuses(), QList<S>{S::completed});
    EXPECT_TRUE(appState.processingQueue().isEmpty());
}

// One status: "Processing N of M" over a burst, "Monitoring" after it; switching off stops
// starting files at once and says how many were left; switching on again does them.
TEST_F(FolderMonitorTest, StatusFollowsTheQueueAndSwitchingOffStopsIt)
{
    delayMs = 400;
    startWithService([](UserPreferences&) {}, 1);
    QList<AppState::TriggerProgress> seen;
    QObject::connect(&appState, &AppState::triggerStatusChanged, [&] {
        if (appState.triggerStatus() == TriggerStatus::processing)
            seen.append(appState.triggerProgress());
    });
    for (int i = 0; i < 6; ++i)
        run(QStringLiteral("cp"), {outside(QStringLiteral("photo.jpg")), watched(QStringLiteral("p%1.jpg").arg(i))});
    ASSERT_TRUE(test::waitUntil([&] {
        return appState.triggerStatus() == TriggerStatus::processing && appState.triggerProgress().total == 6;
    }));
    ASSERT_TRUE(test::waitUntil([&] { return statuses().count(S::completed) >= 1; }));

    appState.setTriggerEnabled(false);
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::idle);
    const QString note = appState.triggerStatusReason();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Stopped with [1-4] files? left waiting$")).match(note).hasMatch())
        << note.toStdString();
    settle(std::chrono::milliseconds(1500));
    // At most the file in progress finished after the switch.
    const qsizetype done = activities().size();
    EXPECT_LE(done, 3);
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::idle);
    EXPECT_EQ(int(done) + note.section(u' ', 2, 2).toInt(), 6);
    // The file that finished after the switch is no longer kept for the next start.
    const std::optional<MonitorJournal> kept = MonitorJournal::read(journalPath());
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(int(kept->waiting.size()), note.section(u' ', 2, 2).toInt());

    appState.setTriggerEnabled(true);
    ASSERT_TRUE(waitForFinishedActivities(6));
    ASSERT_TRUE(test::waitUntil([&] { return appState.triggerStatus() == TriggerStatus::monitoring; }));
    EXPECT_EQ(statuses(), QList<S>(6, S::completed));
    EXPECT_TRUE(appState.triggerStatusReason().isEmpty());
    ASSERT_FALSE(seen.isEmpty());
    EXPECT_EQ(seen.first().current, 1);
    for (const AppState::TriggerProgress& progress : seen)
        EXPECT_TRUE(progress.current >= 1 && progress.current <= progress.total) << progress.current << "/" << progress.total;
}

// Files waiting at a quit are done after the next start, with those that arrived meanwhile;
// files done before are not done again.
TEST_F(FolderMonitorTest, QueueSurvivesAQuitAndFilesAddedWhileClosedAreProcessed)
{
    delayMs = 500;
    startWithService([](UserPreferences&) {}, 1);
    run(QStringLiteral("cp"), {outside(QStringLiteral("photo.jpg")), watched(QStringLiteral("done.jpg"))});
    ASSERT_TRUE(waitForFinishedActivities(1));
    for (int i = 0; i < 5; ++i)
        run(QStringLiteral("cp"), {outside(QStringLiteral("photo.jpg")), watched(QStringLiteral("w%1.jpg").arg(i))});
    ASSERT_TRUE(test::waitUntil([&] { return appState.triggerProgress().total >= 5; }));
    appState.installFolderMonitor(nullptr);
    const std::optional<MonitorJournal> journal = MonitorJournal::read(journalPath());
    ASSERT_TRUE(journal.has_value());
    EXPECT_EQ(journal->folder, watched());
    EXPECT_GE(journal->waiting.size(), 4);

    // While closed: one copied, one moved in (a move keeps the photo's old time).
    QThread::msleep(20);
    run(QStringLiteral("cp"), {outside(QStringLiteral("photo.jpg")), watched(QStringLiteral("closed.jpg"))});
    run(QStringLiteral("cp"), {QStringLiteral("--preserve=timestamps"), outside(QStringLiteral("photo.jpg")), outside(QStringLiteral("old.jpg"))});
    run(QStringLiteral("mv"), {outside(QStringLiteral("old.jpg")), watched(QStringLiteral("old.jpg"))});

    appState.clearTriggerRecentActivity();
    delayMs = 0;
    startWithService();
    ASSERT_TRUE(test::waitUntil([&] {
        return appState.triggerStatus() == TriggerStatus::monitoring && !statuses().contains(S::processing)
            && QDir(watched(QStringLiteral("kivo_processed"))).entryList(QDir::Files).size() == 8;
    }, std::chrono::seconds(20)));
    settle(std::chrono::milliseconds(1500));
    QStringList results = QDir(watched(QStringLiteral("kivo_processed"))).entryList(QDir::Files);
    EXPECT_EQ(results, (QStringList{QStringLiteral("closed_kivo.png"), QStringLiteral("done_kivo.png"),
                                    QStringLiteral("old_kivo.png"), QStringLiteral("w0_kivo.png"), QStringLiteral("w1_kivo.png"),
                                    QStringLiteral("w2_kivo.png"), QStringLiteral("w3_kivo.png"), QStringLiteral("w4_kivo.png")}));
    EXPECT_FALSE(names(activities()).contains(QStringLiteral("done.jpg")));
    EXPECT_TRUE(MonitorJournal::read(journalPath())->waiting.isEmpty());
}

TEST_F(FolderMonitorTest, FileStillBeingWrittenWaitsForItsCloseEvenAcrossAStartOnTheSameFolder)
{
    startWithService();
    QFile source(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QByteArray bytes = source.readAll();
    QFile target(watched(QStringLiteral("slow.jpg")));
    ASSERT_TRUE(target.open(QIODevice::WriteOnly));
    target.write(bytes.left(bytes.size() / 2));
    target.flush();
    settle();
    EXPECT_TRUE(activities().isEmpty());
    // The Trigger tab appearing meanwhile keeps the watch and what it knows.
    appState.startFolderMonitoring();
    target.write(bytes.mid(bytes.size() / 2));
    target.close();
    ASSERT_TRUE(waitForFinishedActivities(1));
    EXPECT_EQ(statuses(), QList<S>{S::completed});
}

// A folder that goes away is an error with its reason; when it comes back it is watched again
// without anyone asking.
TEST_F(FolderMonitorTest, RemovedFolderIsAnErrorUntilItComesBack)
{
    test::StdoutCapture output;
    startWithService([](UserPreferences&) {}, 1, std::chrono::milliseconds(200));
    ASSERT_TRUE(QDir(watched()).removeRecursively());
    ASSERT_TRUE(test::waitUntil([&] { return appState.triggerStatus() == TriggerStatus::error; }));
    EXPECT_EQ(appState.triggerStatusReason(), QStringLiteral("The monitored folder was removed or moved: ") + watched());
    EXPECT_TRUE(output.text().contains(QStringLiteral("[FolderMonitor] The monitored folder was removed or moved: ")));

    ASSERT_TRUE(QDir().mkpath(watched()));
    ASSERT_TRUE(test::waitUntil([&] { return appState.triggerStatus() == TriggerStatus::monitoring; }));
    EXPECT_TRUE(appState.triggerStatusReason().isEmpty());
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(waitForFinishedActivities(1));
    EXPECT_EQ(statuses(), QList<S>{S::completed});
}

TEST_F(FolderMonitorTest, MissingFolderAtTheStartIsAnErrorUntilItExists)
{
    ASSERT_TRUE(QDir(watched()).removeRecursively());
    startWithService([](UserPreferences&) {}, 1, std::chrono::milliseconds(200));
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::error);
    EXPECT_EQ(appState.triggerStatusReason(), QStringLiteral("The folder %1 does not exist").arg(watched()));
    ASSERT_TRUE(QDir().mkpath(watched()));
    ASSERT_TRUE(test::waitUntil([&] { return appState.triggerStatus() == TriggerStatus::monitoring; }));
}

TEST_F(FolderMonitorTest, SwitchingOnWithoutAFolderSaysSoAndStaysIdle)
{
    test::StdoutCapture output;
    startWithService([](UserPreferences& preferences) { preferences.triggerFolderPath.reset(); });
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::idle);
    appState.setTriggerEnabled(true);
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::idle);
    EXPECT_TRUE(output.text().contains(QStringLiteral("[AppState] Cannot start monitoring: invalid folder path")));
    EXPECT_TRUE(state.preferences.preferences().triggerEnabled);
}

TEST_F(FolderMonitorTest, QuittingWhileAnUploadWaitsForItsAnswerEndsAtOnce)
{
    delayMs = 4000;
    startWithService();
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(test::waitUntil([&] { return server.requests().size() == 1; }));
    QElapsedTimer clock;
    clock.start();
    appState.installFolderMonitor(nullptr);
    EXPECT_LT(clock.elapsed(), 1500);
    // Interrupted: it stays in the journal for the next start.
    EXPECT_EQ(MonitorJournal::read(journalPath())->waiting, QStringList{watched(QStringLiteral("photo.jpg"))});
}
