// Test entry: a QApplication on the offscreen platform (widget tests and the network need an
// application object), with the per-user defaults in a fresh folder for every test process.

#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // The converted model lives in the user's data folder; keep it findable after XDG_DATA_HOME
    // moves to the temporary folder.
    const QString dataHome = qEnvironmentVariableIsEmpty("XDG_DATA_HOME")
        ? QDir::homePath() + QStringLiteral("/.local/share")
        : qEnvironmentVariable("XDG_DATA_HOME");
    const QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS", QStringLiteral("/usr/local/share:/usr/share"));
    qputenv("XDG_DATA_DIRS", (dataHome + QLatin1Char(':') + dataDirs).toUtf8());

    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    qputenv("XDG_CACHE_HOME", (home.path() + QStringLiteral("/cache")).toUtf8());

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kivopro"));

    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
