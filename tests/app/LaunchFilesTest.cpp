#include "app/LaunchFiles.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <future>

using namespace kivo;

namespace {

QString uniqueName()
{
    return QStringLiteral("kivopro-test-") + QUuid::createUuid().toString(QUuid::Id128);
}

void touch(const QString& path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

} // namespace

TEST(LaunchFiles, SessionsAndImagesAreSortedAndMadeAbsolute)
{
    QTemporaryDir folder;
    const QDir dir(folder.path());
    touch(dir.filePath(QStringLiteral("photo.jpg")));
    touch(dir.filePath(QStringLiteral("layers.ORA")));
    touch(dir.filePath(QStringLiteral("notes.txt")));
    touch(dir.filePath(QStringLiteral("with space.png")));
    ASSERT_TRUE(dir.mkdir(QStringLiteral("folder.ora")));

    const LaunchFiles files = sortLaunchFiles(
        {QStringLiteral("photo.jpg"), QStringLiteral("--verbose"), dir.filePath(QStringLiteral("layers.ORA")),
         QStringLiteral("missing.png"), QStringLiteral("notes.txt"), QStringLiteral("folder.ora"),
         QUrl::fromLocalFile(dir.filePath(QStringLiteral("with space.png"))).toString(), QString()},
        folder.path());
    EXPECT_EQ(files.sessions, QStringList{dir.filePath(QStringLiteral("layers.ORA"))});
    // The batch decides what it can read; a text file is its to refuse.
    const QList<QUrl> images{QUrl::fromLocalFile(dir.filePath(QStringLiteral("photo.jpg"))),
                             QUrl::fromLocalFile(dir.filePath(QStringLiteral("notes.txt"))),
                             QUrl::fromLocalFile(dir.filePath(QStringLiteral("with space.png")))};
    EXPECT_EQ(files.images, images);
    EXPECT_EQ(files.paths().size(), 4);
    EXPECT_TRUE(sortLaunchFiles({QStringLiteral("missing.png")}, folder.path()).isEmpty());
}

TEST(SingleInstance, ASecondLaunchHandsItsFilesToTheFirst)
{
    const QString name = uniqueName();
    SingleInstance first(name);
    ASSERT_TRUE(first.claim());
    SingleInstance second(name);
    EXPECT_FALSE(second.claim());

    QSignalSpy received(&first, &SingleInstance::filesReceived);
    const QStringList paths{QStringLiteral("/a/b.ora"), QStringLiteral("/c/ä d.png")};
    // The sender blocks as a starting process does; the running window answers from its loop.
    auto sent = std::async(std::launch::async, [&] { return SingleInstance::sendToRunning(paths, name); });
    ASSERT_TRUE(test::waitUntil([&] { return !received.isEmpty(); }));
    EXPECT_EQ(received.front().front().toStringList(), paths);
    EXPECT_TRUE(test::waitUntil([&] { return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_TRUE(sent.get());

    // A launch without files only brings the window forward.
    auto empty = std::async(std::launch::async, [&] { return SingleInstance::sendToRunning({}, name); });
    ASSERT_TRUE(test::waitUntil([&] { return received.size() == 2; }));
    EXPECT_TRUE(received.back().front().toStringList().isEmpty());
    EXPECT_TRUE(test::waitUntil([&] { return empty.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_TRUE(empty.get());
}

TEST(SingleInstance, NobodyListeningMeansNoHandOverAndAStaleSocketIsReplaced)
{
    const QString name = uniqueName();
    EXPECT_FALSE(SingleInstance::sendToRunning({QStringLiteral("/x.png")}, name, 500));

    // What a crashed instance leaves: a socket file nobody accepts on.
    const QByteArray path = QFile::encodeName(QDir(QDir::tempPath()).filePath(name));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
    ASSERT_TRUE(QFile::exists(QString::fromLocal8Bit(path)));

    SingleInstance instance(name);
    EXPECT_TRUE(instance.claim());
    QSignalSpy received(&instance, &SingleInstance::filesReceived);
    auto sent = std::async(std::launch::async, [&] { return SingleInstance::sendToRunning({QStringLiteral("/y.png")}, name); });
    ASSERT_TRUE(test::waitUntil([&] { return !received.isEmpty(); }));
    EXPECT_TRUE(test::waitUntil([&] { return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_TRUE(sent.get());
}
