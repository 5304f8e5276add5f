// The folder monitor with real folders, real inotify events and the remote engine against a
// scripted removal service on 127.0.0.1 (quick and under the test's control). The local engine
// and the stand-in service are in FolderMonitorEngineTest.

#include "FolderMonitorFixture.h"

#include "service/ScriptedHttpServer.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
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

    void startWithService(const std::function<void(UserPreferences&)>& adjust = {})
    {
        startMonitor(QStringLiteral("kivo"), [&](UserPreferences& preferences) {
            preferences.backendBaseURLString = server.baseURL();
            if (adjust)
                adjust(preferences);
        });
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

} // namespace

TEST_F(FolderMonitorTest, CopiedFileIsProcessedIntoItsResultsFolderAndMovedFileIsNot)
{
    test::StdoutCapture output;
    startWithService();
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::monitoring);
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(waitForFinishedActivities(1));

    writeImage(outside(QStringLiteral("moved.jpg")), 40, "JPEG");
    run(QStringLiteral("mv"), {outside(QStringLiteral("moved.jpg")), watched()});
    settle();

    ASSERT_EQ(activities().size(), 1);
    EXPECT_EQ(activities()[0]->filename(), QStringLiteral("photo.jpg"));
    EXPECT_EQ(activities()[0]->status(), S::completed);
    // PNG data, whatever the name's extension says.
    const QString result = watched(QStringLiteral("kivo_processed/photo_kivo.jpg"));
    EXPECT_TRUE(holdsPNG(result));
    EXPECT_EQ(QImage(result).size(), QSize(40, 30));
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::monitoring);
    EXPECT_TRUE(appState.processingQueue().isEmpty());
    const QString log = output.text();
    EXPECT_TRUE(log.contains(QStringLiteral("[AppState] Started monitoring folder: ") + watched()));
    EXPECT_TRUE(log.contains(QStringLiteral("[AppState] Saved processed image to subfolder: ") + result));
    EXPECT_TRUE(log.contains(QStringLiteral("[AppState] Successfully processed image with Kivo Model")));
}

TEST_F(FolderMonitorTest, FileInANewSubfolderGoesIntoThatSubfoldersResultsFolder)
{
    startWithService();
    run(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("mkdir -p '%1' && cp '%2' '%1/'")
                                                         .arg(watched(QStringLiteral("shoot/day1")),
                                                              outside(QStringLiteral("photo.jpg")))});
    ASSERT_TRUE(waitForFinishedActivities(1));
    EXPECT_TRUE(holdsPNG(watched(QStringLiteral("shoot/day1/kivo_processed/photo_kivo.jpg"))));
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
                             "picture.webp", "notes.txt"})
        run(QStringLiteral("cp"), {outside(QStringLiteral("photo.jpg")), watched(QString::fromUtf8(name))});
    // Read after the others: once it is processed, the ignored ones had their chance.
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(waitForFinishedActivities(1));
    settle();
    ASSERT_EQ(activities().size(), 1);
    EXPECT_EQ(activities()[0]->filename(), QStringLiteral("photo.jpg"));
}

TEST_F(FolderMonitorTest, CustomNamingGivesANameWithoutExtension)
{
    startWithService([](UserPreferences& preferences) { preferences.exportNamingPattern = QStringLiteral("custom"); });
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(waitForFinishedActivities(1));
    const QStringList results = QDir(watched(QStringLiteral("kivo_processed"))).entryList(QDir::Files);
    ASSERT_EQ(results.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^photo_kivo_\\d{8}_\\d{6}$")).match(results[0]).hasMatch())
        << results[0].toStdString();
    EXPECT_TRUE(holdsPNG(watched(QStringLiteral("kivo_processed/") + results[0])));
}

TEST_F(FolderMonitorTest, ElevenFilesLeaveTheTenNewestActivities)
{
    startWithService();
    // Not images: each fails to load at once.
    for (int i = 0; i < 11; ++i) {
        const QString name = QStringLiteral("file%1.jpg").arg(i, 2, 10, QLatin1Char('0'));
        QFile file(outside(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not an image");
        file.close();
        copyIn(outside(name));
    }
    ASSERT_TRUE(test::waitUntil([&] {
        return !activities().isEmpty() && activities()[0]->filename() == u"file10.jpg"
            && !statuses().contains(S::processing);
    }));
    ASSERT_EQ(activities().size(), 10);
    EXPECT_EQ(activities().last()->filename(), QStringLiteral("file01.jpg"));
    EXPECT_EQ(activities()[0]->status(), S::failed);
    EXPECT_EQ(activities()[0]->errorText(), QStringLiteral("Failed to load image"));
}

TEST_F(FolderMonitorTest, SwitchingOffStopsAtOnceWhileTheFileInProgressFinishes)
{
    delayMs = 1500;
    startWithService();
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(test::waitUntil([&] { return appState.triggerStatus() == TriggerStatus::processing; }));

    appState.setTriggerEnabled(false);
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::idle);
    EXPECT_FALSE(monitor->isWatching());
    writeImage(watched(QStringLiteral("later.jpg")), 40, "JPEG");

    ASSERT_TRUE(waitForFinishedActivities(1));
    settle();
    ASSERT_EQ(activities().size(), 1);
    EXPECT_EQ(statuses(), QList<S>{S::completed});
    EXPECT_TRUE(holdsPNG(watched(QStringLiteral("kivo_processed/photo_kivo.jpg"))));
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::monitoring);
    EXPECT_FALSE(appState.userPreferences().triggerEnabled);
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

TEST_F(FolderMonitorTest, ResultIsSavedEvenWhenTheTaskListWasReplacedMeanwhile)
{
    delayMs = 1000;
    startWithService();
    copyIn(outside(QStringLiteral("photo.jpg")));
    ASSERT_TRUE(test::waitUntil([&] { return appState.processingQueue().size() == 1; }));
    EXPECT_EQ(appState.processingQueue()[0].status, ProcessingStatus::processing);
    // As the batch tab does when its own list changes.
    appState.setProcessingQueue({});
    ASSERT_TRUE(waitForFinishedActivities(1));
    EXPECT_EQ(statuses(), QList<S>{S::completed});
    EXPECT_TRUE(holdsPNG(watched(QStringLiteral("kivo_processed/photo_kivo.jpg"))));
}

TEST_F(FolderMonitorTest, FilesOfTheSameNameUpdateTheirOwnActivities)
{
    failWidth = 64;
    delayMs = 300;
    ASSERT_TRUE(QDir().mkpath(watched(QStringLiteral("a"))));
    ASSERT_TRUE(QDir().mkpath(watched(QStringLiteral("b"))));
    writeImage(outside(QStringLiteral("wide.png")), 64, "PNG");
    writeImage(outside(QStringLiteral("narrow.png")), 40, "PNG");
    startWithService();
    // The older file fails, the newer one succeeds.
    run(QStringLiteral("cp"), {outside(QStringLiteral("wide.png")), watched(QStringLiteral("a/photo.png"))});
    ASSERT_TRUE(test::waitUntil([&] { return activities().size() == 1; }));
    run(QStringLiteral("cp"), {outside(QStringLiteral("narrow.png")), watched(QStringLiteral("b/photo.png"))});
    ASSERT_TRUE(waitForFinishedActivities(2));
    EXPECT_EQ(statuses(), (QList<S>{S::completed, S::failed}));
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

TEST_F(FolderMonitorTest, DeletedWatchedFolderStopsMonitoringWithAClearStatus)
{
    test::StdoutCapture output;
    startWithService();
    ASSERT_TRUE(QDir(watched()).removeRecursively());
    ASSERT_TRUE(test::waitUntil([&] { return appState.triggerStatus() == TriggerStatus::idle; }));
    EXPECT_FALSE(monitor->isWatching());
    EXPECT_TRUE(output.text().contains(QStringLiteral("[FolderMonitor] The monitored folder was removed or moved: ")));
    // Back again: switching on resumes.
    ASSERT_TRUE(QDir().mkpath(watched()));
    appState.setTriggerEnabled(true);
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::monitoring);
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
}
