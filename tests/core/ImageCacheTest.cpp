// The run's cache of task images: files that live as long as a task refers to them, a folder
// removed at quit, stale folders of crashed runs removed at the next start.

#include "core/ImageCache.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

using namespace kivo;

namespace {

class ImageCacheTest : public ::testing::Test {
protected:
    QString runs() const { return temporary.filePath(QStringLiteral("runs")); }
    // The folders and locks of the runs, all of them or those of one process.
    QStringList runEntries(std::optional<pid_t> process = std::nullopt) const
    {
        QStringList names = QDir(runs()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        if (process)
            names.removeIf([&](const QString& name) { return !name.startsWith(QStringLiteral("%1-").arg(*process)); });
        return names;
    }

    QTemporaryDir temporary;
};

QImage photo(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(30, 120, 200));
    return image;
}

} // namespace

TEST_F(ImageCacheTest, KeptBytesLiveAsLongAsACopyRefersToThem)
{
    ImageCache cache(runs());
    QString path;
    {
        std::optional<CachedImage> kept = cache.store("bytes", QStringLiteral("JPG"), QImage(), QSize(4, 3));
        ASSERT_TRUE(kept);
        path = kept->filePath();
        EXPECT_TRUE(path.endsWith(u".jpg"));
        EXPECT_EQ(kept->readBytes(), std::optional<QByteArray>("bytes"));
        EXPECT_EQ(kept->size(), QSize(4, 3));

        const CachedImage copy = *kept;
        kept.reset();
        EXPECT_TRUE(QFile::exists(path));
        EXPECT_EQ(copy, copy);
    }
    // The last copy took its file, and the then empty folder, with it.
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(QFileInfo::exists(cache.folder()));
}

TEST_F(ImageCacheTest, QuittingRemovesTheFolderWithEverythingInIt)
{
    std::optional<CachedImage> stillReferred;
    {
        ImageCache cache(runs());
        stillReferred = cache.store("bytes", QStringLiteral("png"), QImage(), QSize());
        ASSERT_TRUE(stillReferred && QFile::exists(stillReferred->filePath()));
    }
    EXPECT_TRUE(runEntries().isEmpty()) << runEntries().join(u' ').toStdString();
    EXPECT_FALSE(stillReferred->readBytes());
}

// A run that ends without cleaning up (killed, crashed) leaves its folder and lock behind; the
// next cache removes them, and leaves a live run's alone.
TEST_F(ImageCacheTest, StaleFoldersOfEndedRunsAreRemovedAtTheNextStart)
{
    ImageCache live(runs());
    const std::optional<CachedImage> alive = live.store("alive", QStringLiteral("png"), QImage(), QSize());
    ASSERT_TRUE(alive.has_value());
    const pid_t child = fork();
    if (child == 0) {
        ImageCache crashed(runs());
        const std::optional<CachedImage> kept = crashed.store("left behind", QStringLiteral("png"), QImage(), QSize());
        _exit(kept ? 0 : 1); // no destructors: as after a crash
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(runEntries(child).size(), 2); // its folder and its lock

    ImageCache next(runs());
    EXPECT_TRUE(runEntries(child).isEmpty()) << runEntries().join(u' ').toStdString();
    EXPECT_TRUE(QFileInfo::exists(live.folder()));
}

TEST(CardThumbnailTest, KeepsTheAspectRatio)
{
    const struct {
        QSize photo;
        QSize thumbnail;
    } cases[] = {
        {{4000, 3000}, {240, 180}}, {{3000, 4000}, {180, 240}}, {{6000, 1000}, {240, 40}},
        {{241, 241}, {240, 240}},   {{200, 100}, {200, 100}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(makeCardThumbnail(photo(c.photo)).size(), c.thumbnail) << c.photo.width() << "x" << c.photo.height();
}
