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

    void startStream()
    {
        QString error;
        stream = FolderEventStream::start(watched(), [this](const QList<FolderEvent>& batch) {
            const QMutexLocker lock(&mutex);
            events += batch;
        }, FolderEventStream::Options{300}, &error);
        ASSERT_TRUE(stream) << error.toStdString();
    }

    QList<FolderEvent> received()
    {
        const QMutexLocker lock(&mutex);
        return events;
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
    std::unique_ptr<FolderEventStream> stream;
};

} // namespace

TEST_F(FolderEventStreamTest, CopiedFileIsReportedOnceWithItsFullPath)
{
    startStream();
    run(QStringLiteral("cp"), {outside.filePath(QStringLiteral("photo.jpg")), watched()});
    EXPECT_EQ(waitForCreated(1), QStringList{watched(QStringLiteral("photo.jpg"))});
}

TEST_F(FolderEventStreamTest, MovedInOrOverwrittenFilesAreNoCreations)
{
    writeFile(watched(QStringLiteral("existing.jpg")), "old");
    startStream();
    run(QStringLiteral("mv"), {outside.filePath(QStringLiteral("photo.jpg")), watched()});
    run(QStringLiteral("cp"), {watched(QStringLiteral("photo.jpg")), watched(QStringLiteral("existing.jpg"))});
    run(QStringLiteral("mv"), {watched(QStringLiteral("photo.jpg")), watched(QStringLiteral("renamed.jpg"))});
    // A marker file shows that the events before it have been read.
    run(QStringLiteral("touch"), {watched(QStringLiteral("marker"))});
    EXPECT_EQ(waitForCreated(1), QStringList{watched(QStringLiteral("marker"))});
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

    // Opened and written again: no new file.
    writeFile(watched(QStringLiteral("slow.png")), "again");
    run(QStringLiteral("touch"), {watched(QStringLiteral("marker"))});
    EXPECT_EQ(waitForCreated(2), (QStringList{watched(QStringLiteral("slow.png")), watched(QStringLiteral("marker"))}));
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

TEST_F(FolderEventStreamTest, MovedInFolderBringsNoCreationsButItsNewFilesCount)
{
    ASSERT_TRUE(QDir().mkpath(outside.filePath(QStringLiteral("album"))));
    writeFile(outside.filePath(QStringLiteral("album/old.jpg")), "old");
    startStream();
    run(QStringLiteral("mv"), {outside.filePath(QStringLiteral("album")), watched()});
    QThread::msleep(200);
    run(QStringLiteral("cp"), {outside.filePath(QStringLiteral("photo.jpg")), watched(QStringLiteral("album"))});
    EXPECT_EQ(waitForCreated(1), QStringList{watched(QStringLiteral("album/photo.jpg"))});
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
