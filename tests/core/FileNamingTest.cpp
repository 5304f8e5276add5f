#include "core/FileNaming.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;

TEST(PlainFileName, NamesFromHostileSettingsStayInsideTheirFolder)
{
    const struct {
        const char* proposed;
        const char* expected;
    } cases[] = {
        {"photo_kivo.png", "photo_kivo.png"},
        {"..hidden..png", "..hidden..png"},
        {"../../etc/passwd", ".._.._etc_passwd"},
        {"/abs/path.png", "_abs_path.png"},
        {"..", "__"},
        {".", "_"},
        {"", "_"},
        {"a\\b.png", "a\\b.png"},
    };
    QTemporaryDir folder;
    for (const auto& c : cases) {
        const QString name = plainFileName(QString::fromUtf8(c.proposed));
        EXPECT_EQ(name, QString::fromUtf8(c.expected)) << c.proposed;
        // The result names an entry directly inside the folder.
        const QFileInfo target(QDir(folder.path()).filePath(name));
        EXPECT_EQ(QDir::cleanPath(target.absolutePath()), QDir::cleanPath(folder.path())) << c.proposed;
        EXPECT_NE(target.fileName(), u"..");
    }
    EXPECT_EQ(plainFileName(QStringLiteral("a") + QChar(0) + QStringLiteral("b")), u"a_b");
}

TEST(FillCounter, TakesTheSmallestFreeNumberInTheFolder)
{
    QTemporaryDir folder;
    auto touch = [&](const QString& name) {
        QFile file(QDir(folder.path()).filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    };
    const QString pattern = QStringLiteral("cat-{counter}.png");
    EXPECT_EQ(fillCounter(pattern, folder.path()), u"cat-1.png");
    touch(QStringLiteral("cat-1.png"));
    touch(QStringLiteral("cat-2.png"));
    touch(QStringLiteral("cat-4.png"));
    EXPECT_EQ(fillCounter(pattern, folder.path()), u"cat-3.png");
    touch(QStringLiteral("cat-3.png"));
    EXPECT_EQ(fillCounter(pattern, folder.path()), u"cat-5.png");
    // A folder of that name takes the name too, and so does a dangling link.
    ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("cat-5.png")));
    ASSERT_TRUE(QFile::link(QStringLiteral("/nonexistent"), QDir(folder.path()).filePath(QStringLiteral("cat-6.png"))));
    EXPECT_EQ(fillCounter(pattern, folder.path()), u"cat-7.png");
    // Every occurrence takes the same number; other braces and names without it stay as typed.
    EXPECT_EQ(fillCounter(QStringLiteral("{counter}_{x}_{counter}.jpg"), folder.path()), u"1_{x}_1.jpg");
    touch(QStringLiteral("1_{x}_1.jpg"));
    EXPECT_EQ(fillCounter(QStringLiteral("{counter}_{x}_{counter}.jpg"), folder.path()), u"2_{x}_2.jpg");
    EXPECT_EQ(fillCounter(QStringLiteral("cat-1.png"), folder.path()), u"cat-1.png");
    // In another folder the count starts again.
    QTemporaryDir other;
    EXPECT_EQ(fillCounter(pattern, other.path()), u"cat-1.png");
}
