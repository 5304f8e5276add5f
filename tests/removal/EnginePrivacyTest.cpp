// Loading and running the segmentation network leaves no file behind (the ONNX Runtime build we
// use carries a telemetry module that writes to TMPDIR and ~/.cache) and opens no network socket.
// Its own process, so that the runtime starts here, under the folders this test watches.

#include "removal/engine/ForegroundSegmenter.h"
#include "removal/engine/LocalRemovalEngine.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <dlfcn.h>
#include <sys/socket.h>

namespace {

std::atomic<int> networkSockets{0};

} // namespace

// Every socket() of the process, those of the libraries included, comes through here (the test
// program exports the symbol).
extern "C" int socket(int domain, int type, int protocol)
{
    using Socket = int (*)(int, int, int);
    static const auto real = reinterpret_cast<Socket>(dlsym(RTLD_NEXT, "socket"));
    if (domain == AF_INET || domain == AF_INET6)
        ++networkSockets;
    return real(domain, type, protocol);
}

TEST(EnginePrivacyTest, TheNetworkLeavesNoFilesAndOpensNoSocket)
{
    QTemporaryDir temporary;
    QTemporaryDir home;
    qputenv("TMPDIR", temporary.path().toUtf8());
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CACHE_HOME", home.filePath(QStringLiteral(".cache")).toUtf8());
    const int socketsBefore = networkSockets;

    const QString error = kivo::ForegroundSegmenter::shared().load();
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    const QImage photo(kivo::test::testDataPath(QStringLiteral("coffee.jpg")));
    ASSERT_TRUE(kivo::removeBackgroundLocally(photo).has_value());

    EXPECT_EQ(networkSockets - socketsBefore, 0);
    const auto everything = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    EXPECT_EQ(QDir(temporary.path()).entryList(everything), QStringList());
    EXPECT_EQ(QDir(home.path()).entryList(everything), QStringList());
}
