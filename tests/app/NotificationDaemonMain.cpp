// The stand-in notification server as a program of its own, for trying the application by hand
// on a private session bus: it logs every notification and launcher update it receives.

#include "NotificationDaemon.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    kivo::test::NotificationDaemon daemon;
    const auto print = [](const QString& line) {
        std::printf("%s %s\n", qPrintable(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)), qPrintable(line));
        std::fflush(stdout);
    };
    if (!daemon.isRegistered()) {
        print(QStringLiteral("could not own org.freedesktop.Notifications"));
        return 1;
    }
    print(QStringLiteral("owns org.freedesktop.Notifications"));
    daemon.onNotify = [print](const kivo::test::NotificationDaemon::Notification& n) {
        print(QStringLiteral("Notify app=%1 icon=%2 summary=\"%3\" body=\"%4\"").arg(n.appName, n.icon, n.summary, n.body));
    };
    // Launcher updates are logged as they arrive too.
    qsizetype seen = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (; seen < daemon.launcherUpdates().size(); ++seen) {
            const auto& update = daemon.launcherUpdates().at(seen);
            print(QStringLiteral("LauncherEntry.Update %1 progress=%2 visible=%3")
                      .arg(update.appUri)
                      .arg(update.properties.value(QStringLiteral("progress")).toDouble())
                      .arg(update.properties.value(QStringLiteral("progress-visible")).toBool()));
        }
    });
    poll.start(50);
    return app.exec();
}
