// The inotify event stream with real folders and real file operations (cp, mv, writes).

#include "removal/monitor/FolderEventStream.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

constexpr quint32 createdFile = FolderEvent::itemCreated | FolderEvent::itemIsFile;

class FolderEventStreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(watched()));
        writeFile(outside.filePath(QStringLiteral("photo.jpg")), "jpeg bytes");
    }

    QString watched(const QString& relative = {}) const
    {
        const QString root = temporary.filePath(QStringLiteral("watched"));
        return relative.isEmpty() ? root : root + u'/' + relative;
    }

    // Starts and waits until the folders below are watched too.
    void startStream(const QDateTime& reportFilesNewerThan = {})
    {
        QString error;
        stream = FolderEventStream::start(watched(), [this](const QList<FolderEvent>& batch) {
            const QMutexLocker lock(&mutex);
            for (const FolderEvent& event : batch) {
                if (event.flags == FolderEvent::historyDone)
                    ready = true;
                else
                    events.append(event);
            }
        }, FolderEventStream::Options{300, reportFilesNewerThan}, &error);
        ASSERT_TRUE(stream) << error.toStdString();
        ASSERT_TRUE(test::waitUntil([this] {
            const QMutexLocker lock(&mutex);
            return ready;
        }, std::chrono::seconds(5)));
    }

    QList<FolderEvent> received()
    {
        const QMutexLocker lock(&mutex);
        return events;
    }

    quint32 flagsOf(const QString& path)
    {
        for (const FolderEvent& event : received())
            if (event.path == path)
                return event.flags;
        return 0;
    }

    QStringList createdPaths()
    {
        QStringList paths;
        for (const FolderEvent& event : received())
            if ((event.flags & createdFile) == createdFile)
                paths << event.path;
        return paths;
    }

    // Waits for `count` creations, then a little longer so that extra ones would show.
    QStringList waitForCreated(qsizetype count)
    {
        test::waitUntil([&] { return createdPaths().size() >= count; }, std::chrono::seconds(5));
        QThread::msleep(600);
        return createdPaths();
    }

    static void run(const QString& program, const QStringList& arguments)
    {
        ASSERT_EQ(QProcess::execute(program, arguments), 0) << program.toStdString();
    }

    static void writeFile(const QString& path, const QByteArray& bytes)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    QTemporaryDir temporary;
    QTemporaryDir outside;
    QMutex mutex;
    QList<FolderEvent> events;
    bool ready = false;
    std::unique_ptr<FolderEventStream> stream;
};

} // namespace

TEST_F(FolderEventStreamTest, CopiedFileIsReportedOnceWithItsFullPath)
{
    startStream();
    run(QStringLiteral("cp"), {outside.filePath(QStringLiteral("photo.jpg")), watched()});
    EXPECT_EQ(waitForCreated(1), QStringList{watched(QStringLiteral("photo.jpg"))});
}

// Each route by which a complete file appears is one arrival, with the markers of its kind; a
// file merely opened for writing and closed is none.
TEST_F(FolderEventStreamTest, ArrivalRoutesAreReportedOnceEach)
{
    writeFile(watched(QStringLiteral("existing.jpg")), "old");
    writeFile(watched(QStringLiteral("untouched.jpg")), "old");
    const QString photo = outside.filePath(QStringLiteral("photo.jpg"));
    startStream();
    const struct {
        QString command;
        const char* arrived;
        quint32 marker;
    } routes[] = {
        {QStringLiteral("cp '%1' '%2/copied.jpg'").arg(photo, watched()), "copied.jpg", 0},
        {QStringLiteral("cp '%1' '%2/m.jpg' && mv '%2/m.jpg' '%3/moved.jpg'").arg(photo, outside.path(), watched()), "moved.jpg",
         FolderEvent::itemRenamed},
        {QStringLiteral("cp '%1' '%2/existing.jpg'").arg(photo, watched()), "existing.jpg", 0},
        {QStringLiteral("ln '%1' '%2/hard.jpg'").arg(photo, watched()), "hard.jpg", 0},
        {QStringLiteral("ln -s '%1' '%2/symbolic.jpg'").arg(photo, watched()), "symbolic.jpg", 0},
        {QStringLiteral("touch '%1/untouched.jpg'").arg(watched()), nullptr, 0},
    };
    QStringList expected;
    for (const auto& route : routes) {
        run(QStringLiteral("sh"), {QStringLiteral("-c"), route.command});
        if (route.arrived)
            expected << watched(QString::fromUtf8(route.arrived));
    }
    // Links report once quiet: wait a little longer than the quiet time.
    test::waitUntil([&] { return createdPaths().size() >= expected.size(); }, std::chrono::seconds(5));
    QThread::msleep(1000);
    QStringList paths = createdPaths();
    paths.sort();
    expected.sort();
    EXPECT_EQ(paths, expected);
    for (const auto& route : routes)
        if (route.arrived && route.marker) {
            EXPECT_TRUE(flagsOf(watched(QString::fromUtf8(route.arrived))) & route.marker) << route.arrived;
        }
}

TEST_F(FolderEventStreamTest, FileIsReportedOnlyWhenClosedAfterWritingAndOnlyOnce)
{
    startStream();
    QFile file(watched(QStringLiteral("slow.png")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(100000, 'x'));
    file.flush();
    QThread::msleep(700);
    EXPECT_TRUE(createdPaths().isEmpty());
    file.close();
    ASSERT_EQ(waitForCreated(1).size(), 1);

    // Opened without a change: nothing; written again: a new arrival.
    run(QStringLiteral("touch"), {watched(QStringLiteral("slow.png"))});
    writeFile(watched(QStringLiteral("slow.png")), "again");
    run(QStringLiteral("touch"), {watched(QStringLiteral("marker"))});
    EXPECT_EQ(waitForCreated(3), (QStringList{watched(QStringLiteral("slow.png")), watched(QStringLiteral("slow.png")),
                                              watched(QStringLiteral("marker"))}));
}

TEST_F(FolderEventStreamTest, FoldersCreatedLaterAreWatchedAndTheirFirstFilesNotLost)
{
    startStream();
    ASSERT_TRUE(QDir().mkpath(watched(QStringLiteral("new"))));
    // Give the stream time to add its watch, then copy as a user would.
    QThread::msleep(200);
    run(QStringLiteral("cp"), {outside.filePath(QStringLiteral("photo.jpg")), watched(QStringLiteral("new"))});
    // Created and filled before any watch on it can exist: found by the scan of the new folder.
    run(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("mkdir -p '%1' && cp '%2' '%1/'")
                                                         .arg(watched(QStringLiteral("a/b/c")),
                                                              outside.filePath(QStringLiteral("photo.jpg")))});
    QStringList paths = waitForCreated(2);
    paths.sort();
    EXPECT_EQ(paths, (QStringList{watched(QStringLiteral("a/b/c/photo.jpg")), watched(QStringLiteral("new/photo.jpg"))}));
}

TEST_F(FolderEventStreamTest, FolderMovedInBringsItsFilesAndOneRenamedInsideDoesNot)
{
    ASSERT_TRUE(QDir().mkpath(outside.filePath(QStringLiteral("album"))));
    writeFile(outside.filePath(QStringLiteral("album/old.jpg")), "old");
    ASSERT_TRUE(QDir().mkpath(watched(QStringLiteral("kept"))));
    writeFile(watched(QStringLiteral("kept/done.jpg")), "done");
    startStream();
    run(QStringLiteral("mv"), {outside.filePath(QStringLiteral("album")), watched()});
    run(QStringLiteral("mv"), {watched(QStringLiteral("kept")), watched(QStringLiteral("renamed"))});
    QThread::msleep(200);
    run(QStringLiteral("cp"), {outside.filePath(QStringLiteral("photo.jpg")), watched(QStringLiteral("album"))});
    run(QStringLiteral("cp"), {outside.filePath(QStringLiteral("photo.jpg")), watched(QStringLiteral("renamed"))});
    QStringList paths = waitForCreated(3);
    paths.sort();
    EXPECT_EQ(paths, (QStringList{watched(QStringLiteral("album/old.jpg")), watched(QStringLiteral("album/photo.jpg")),
                                  watched(QStringLiteral("renamed/photo.jpg"))}));
}

TEST_F(FolderEventStreamTest, FirstWalkReportsFilesNewerThanTheLastWatch)
{
    ASSERT_TRUE(QDir().mkpath(watched(QStringLiteral("deep/er"))));
    writeFile(watched(QStringLiteral("deep/before.jpg")), "before");
    QThread::msleep(50);
    const QDateTime lastSeen = QDateTime::currentDateTimeUtc();
    QThread::msleep(50);
    writeFile(watched(QStringLiteral("deep/er/after.jpg")), "after");
    startStream(lastSeen);
    EXPECT_EQ(waitForCreated(1), QStringList{watched(QStringLiteral("deep/er/after.jpg"))});
    EXPECT_TRUE(flagsOf(watched(QStringLiteral("deep/er/after.jpg"))) & FolderEvent::itemFoundAtStart);
}

TEST_F(FolderEventStreamTest, RemovedAndRecreatedSubfolderIsWatchedAgain)
{
    ASSERT_TRUE(QDir().mkpath(watched(QStringLiteral("sub"))));
    startStream();
    ASSERT_TRUE(QDir(watched(QStringLiteral("sub"))).removeRecursively());
    ASSERT_TRUE(QDir().mkpath(watched(QStringLiteral("sub"))));
    QThread::msleep(200);
    run(QStringLiteral("cp"), {outside.filePath(QStringLiteral("photo.jpg")), watched(QStringLiteral("sub"))});
    EXPECT_EQ(waitForCreated(1), QStringList{watched(QStringLiteral("sub/photo.jpg"))});
}

TEST_F(FolderEventStreamTest, NothingFromBeforeTheStart)
{
    // Created before the start, closed after it.
    QFile early(watched(QStringLiteral("early.jpg")));
    ASSERT_TRUE(early.open(QIODevice::WriteOnly));
    early.write("early");
    early.flush();
    startStream();
    early.close();
    run(QStringLiteral("touch"), {watched(QStringLiteral("marker"))});
    EXPECT_EQ(waitForCreated(1), QStringList{watched(QStringLiteral("marker"))});
}

TEST_F(FolderEventStreamTest, DeletedWatchedFolderIsReportedOnce)
{
    startStream();
    ASSERT_TRUE(QDir(watched()).removeRecursively());
    test::waitUntil([&] { return !received().isEmpty(); }, std::chrono::seconds(5));
    QThread::msleep(300);
    const QList<FolderEvent> all = received();
    ASSERT_EQ(all.size(), 1);
    EXPECT_EQ(all[0].flags, quint32(FolderEvent::rootChanged));
    EXPECT_EQ(all[0].path, watched());
}

TEST_F(FolderEventStreamTest, MissingFolderCannotBeWatched)
{
    QString error;
    EXPECT_FALSE(FolderEventStream::start(watched(QStringLiteral("absent")), [](const QList<FolderEvent>&) {}, &error));
    EXPECT_FALSE(error.isEmpty());
}
