#include "ImageStripes.h"

#include <QFuture>
#include <QList>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

namespace {

// Threads of their own, so that a long task on the global pool (a removal, an export's
// encoding) never holds a stripe back; a stripe not started yet when its waiter arrives is run
// by the waiter.
QThreadPool& stripeWorkers()
{
    static QThreadPool* pool = [] {
        auto* workers = new QThreadPool;
        workers->setMaxThreadCount(std::max(1, QThread::idealThreadCount() - 1));
        workers->setExpiryTimeout(30000);
        return workers;
    }();
    return *pool;
}

} // namespace

void forEachStripe(const QRect& area, const std::function<void(const QRect&)>& work, qint64 minimumPixels)
{
    if (area.isEmpty())
        return;
    const int cores = std::max(1, QThread::idealThreadCount());
    const int count = std::min(cores, area.height());
    if (count < 2 || qint64(area.width()) * area.height() < minimumPixels) {
        work(area);
        return;
    }
    QList<QRect> stripes;
    for (int i = 0; i < count; ++i) {
        const int top = area.top() + int(qint64(area.height()) * i / count);
        const int bottom = area.top() + int(qint64(area.height()) * (i + 1) / count);
        stripes << QRect(area.left(), top, area.width(), bottom - top);
    }
    // The other stripes refer to `work`: they are waited for however the first one ends.
    struct Others {
        QList<QFuture<void>> futures;
        ~Others()
        {
            for (QFuture<void>& future : futures)
                future.waitForFinished();
        }
    } others;
    for (qsizetype i = 1; i < stripes.size(); ++i)
        others.futures << QtConcurrent::run(&stripeWorkers(), [&work, stripe = stripes[i]] { work(stripe); });
    work(stripes.front());
}

} // namespace kivo
