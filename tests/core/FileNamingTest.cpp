#include "core/FileNaming.h"

#include <QDir>
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
