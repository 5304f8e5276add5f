#include "TourSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QWidget>

#include <cstdio>

namespace kivo::tour {

void pump(int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

bool waitFor(const std::function<bool()>& condition, int seconds)
{
    QDeadlineTimer deadline(seconds * 1000);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void saveScreenshot(QWidget& window, const QString& path)
{
    pump(300);
    QPixmap picture = window.screen() ? window.screen()->grabWindow(0) : QPixmap();
    if (picture.isNull() || QGuiApplication::platformName() == u"offscreen")
        picture = window.grab();
    picture.save(path);
    std::printf("screenshot: %s\n", qPrintable(path));
}

} // namespace kivo::tour
