// Benchmark of a large batch through the real main window: hundreds of 12-megapixel photos
// dropped as one folder on the Background Removal tab, processed with the local engine (stopped
// with "Cancel" after a number of them), saved with "Download All", compared with what
// kivopro-remove writes for the same files, then "Clear All". It watches resident memory and
// how long the window's thread is ever held up while the photos are added. Run through
// bench/run.sh batch; the generated photos are removed at the end.

#include "BenchSupport.h"

#include "app/MainTabView.h"
#include "removal/batch/BackgroundRemovalTab.h"
#include "removal/batch/BatchCardView.h"
#include "support/IsolatedAppState.h"

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QImageWriter>
#include <QMainWindow>
#include <QMessageBox>
#include <QMetaEnum>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QtConcurrent/QtConcurrentMap>

#include <ctime>

#include <sys/resource.h>

using namespace kivo;
using namespace kivo::bench;

namespace {

// The longest time the window's thread went without running a 5 ms timer.
class StallProbe {
public:
    StallProbe()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { m_longest = std::max(m_longest, m_sinceTick.restart()); });
    }
    void start()
    {
        m_longest = 0;
        m_sinceTick.start();
        m_timer.start(5);
    }
    qint64 longestSoFar() const { return m_longest; }
    qint64 stop()
    {
        m_timer.stop();
        return m_longest;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
};

// Which events held the window's thread longest: each event handed out by the application's own
// loop is timed, and the longest few of each phase are kept with their receiver and type. The
// stall probe gives the figure; this says where it went.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;

    struct Hold {
        qint64 ms = 0;
        // The thread's own CPU time in it: the rest went to other programs on a busy machine.
        qint64 cpuMs = 0;
        // Times the thread waited (for the display server, a lock) and was put aside for others.
        long waits = 0;
        long preempted = 0;
        QString what;
    };

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (m_depth > 0)
            return QApplication::notify(receiver, event);
        // The receiver may be gone afterwards (a deferred delete): what it was is taken now.
        const QEvent::Type type = event->type();
        const char* className = receiver->metaObject()->className();
        const QString objectName = receiver->objectName();
        ++m_depth;
        QElapsedTimer timer;
        timer.start();
        const double cpuBefore = threadCpuMilliseconds();
        rusage before{};
        getrusage(RUSAGE_THREAD, &before);
        const bool result = QApplication::notify(receiver, event);
        --m_depth;
        const qint64 took = timer.elapsed();
        if (took >= 10 && (m_holds.size() < 5 || took > m_holds.back().ms)) {
            const auto cpu = qint64(threadCpuMilliseconds() - cpuBefore);
            rusage after{};
            getrusage(RUSAGE_THREAD, &after);
            m_holds.push_back(Hold{took, cpu, after.ru_nvcsw - before.ru_nvcsw, after.ru_nivcsw - before.ru_nivcsw,
                                   describe(type, className, objectName)});
            std::sort(m_holds.begin(), m_holds.end(), [](const Hold& a, const Hold& b) { return a.ms > b.ms; });
            if (m_holds.size() > 5)
                m_holds.pop_back();
        }
        return result;
    }

    // The longest holds since the last call, longest first.
    std::vector<Hold> takeHolds() { return std::exchange(m_holds, {}); }

private:
    static double threadCpuMilliseconds()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) * 1000 + double(now.tv_nsec) / 1e6;
    }

    static QString describe(QEvent::Type type, const char* className, const QString& objectName)
    {
        const char* typeName = QMetaEnum::fromType<QEvent::Type>().valueToKey(type);
        QString name = QString::fromLatin1(className);
        if (!objectName.isEmpty())
            name += u'#' + objectName;
        return QStringLiteral("%1 to %2").arg(typeName ? QString::fromLatin1(typeName) : QString::number(type), name);
    }

    int m_depth = 0;
    std::vector<Hold> m_holds;
};

int count(const QList<ImageProcessingTask>& tasks, ProcessingStatus status)
{
    return int(std::count_if(tasks.begin(), tasks.end(), [status](const ImageProcessingTask& t) { return t.status == status; }));
}

// User and system time of this process so far: how much of the shared CPU the run took.
double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool samePixels(const QString& a, const QString& b)
{
    const QImage first = QImage(a).convertToFormat(QImage::Format_ARGB32);
    return !first.isNull() && first == QImage(b).convertToFormat(QImage::Format_ARGB32);
}

// Damaged files among the photos, which a drop must refuse: the first half of a photo, its
// header alone, text named as a photo and an empty file. Their names, or none when one cannot be
// written.
QStringList writeDamagedFiles(const QString& folder, int count)
{
    QFile photo(QDir(folder).filePath(QStringLiteral("photo-0000.jpg")));
    if (count <= 0 || !photo.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = photo.readAll();
    QStringList names;
    for (int i = 0; i < count; ++i) {
        QByteArray content;
        switch (i % 4) {
        case 0: content = bytes.left(bytes.size() / 2); break;
        case 1: content = bytes.left(600); break;
        case 2: content = "not a photo at all\n"; break;
        case 3: break;
        }
        const QString name = QStringLiteral("damaged-%1.%2").arg(i, 3, 10, QLatin1Char('0')).arg(i % 4 == 3 ? "png" : "jpg");
        if (!writeFile(QDir(folder).filePath(name), content))
            return {};
        names << name;
    }
    return names;
}

// One phase's longest hold against the target, with the events that held the thread longest.
void reportHold(const QString& phase, qint64 stall, TimedApplication& app)
{
    say(QStringLiteral("    longest hold %1 %2 ms (target <= 50 ms) %3")
            .arg(phase, -20).arg(stall, 5).arg(stall <= 50 ? "met" : "NOT MET"));
    for (const TimedApplication::Hold& hold : app.takeHolds())
        say(QStringLiteral("        %1 ms (cpu %2 ms, %3 waits, %4 times preempted)  %5")
                .arg(hold.ms, 4).arg(hold.cpuMs, 3).arg(hold.waits).arg(hold.preempted).arg(hold.what));
}

} // namespace

int main(int argc, char* argv[])
{
    TimedApplication app(argc, argv);
    const CommonOptions options = parseCommonOptions(app.arguments());
    const int photoCount = std::max(1, options.named.value(QStringLiteral("--photos"), QStringLiteral("500")).toInt());
    const int processCount = std::max(1, options.named.value(QStringLiteral("--process"), QStringLiteral("100")).toInt());
    const int largeCount = std::clamp(options.named.value(QStringLiteral("--large"), QString::number(photoCount)).toInt(), 0, photoCount);
    const int damagedCount = std::max(0, options.named.value(QStringLiteral("--damaged"), QStringLiteral("8")).toInt());
    // With --keep-photos, the generated photos stay for the next run, which takes them as they are.
    const bool keepPhotos = options.named.contains(QStringLiteral("--keep-photos"));
    const int compareCount = 3;
    // "Max concurrent processes": photos of the run worked on at once (the default: the setting's).
    const QString concurrent = options.named.value(QStringLiteral("--concurrent"));
    // With --shots DIR, the window is saved as PNG after adding, during and after the run.
    const QString shots = options.named.value(QStringLiteral("--shots"));
    if (options.source.isEmpty() || options.work.isEmpty() || options.removeTool.isEmpty()) {
        say(QStringLiteral("usage: kivo_batch_bench --source PHOTO --work DIR --remove-tool PATH [--photos N] [--large N]"
                           " [--process N] [--concurrent N] [--damaged N] [--keep-photos 1] [--shots DIR]"));
        return 2;
    }

    const QString folder = QDir(options.work).filePath(QStringLiteral("batch-photos-%1-%2-%3").arg(photoCount).arg(largeCount).arg(damagedCount));
    const QString results = QDir(options.work).filePath(QStringLiteral("batch-results"));
    const bool reused = keepPhotos && QDir(folder).count() == uint(photoCount + damagedCount + 2);
    const ScratchFolders scratch(keepPhotos ? QStringList{results} : QStringList{folder, results});
    QElapsedTimer clock;
    clock.start();
    QStringList damaged;
    if (!reused) {
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        if (!generateMixedPhotos(options.source, folder, photoCount, largeCount, QSize(480, 360))
            || (damaged = writeDamagedFiles(folder, damagedCount)).size() != damagedCount) {
            say(QStringLiteral("cannot generate the photos in %1").arg(folder));
            return 1;
        }
    }
    say(QStringLiteral("KIVOPRO batch: %1 photos (%2 of 12 MP, the others 480 x 360) and %3 damaged files %4 in %5 s,"
                       " %6 cores, load average %7")
            .arg(photoCount).arg(largeCount).arg(damagedCount).arg(reused ? "reused" : "generated")
            .arg(double(clock.elapsed()) / 1000, 0, 'f', 1).arg(QThread::idealThreadCount()).arg(loadAverages()));

    test::IsolatedAppState isolated;
    {
        // "After Clear All" measures what the batch itself keeps: the run's results do not open
        // as editor sessions, and the network is given back at the run's end.
        UserPreferences preferences = isolated.appState.userPreferences();
        preferences.openProcessedInEditor = false;
        preferences.memoryUsage = MemoryUsage::conservative;
        if (!concurrent.isEmpty())
            preferences.maxConcurrentProcesses = concurrent.toInt();
        isolated.appState.setUserPreferences(preferences);
    }
    QMainWindow window;
    const auto shoot = [&](const char* name) {
        if (!shots.isEmpty() && QDir().mkpath(shots))
            window.grab().save(QDir(shots).filePath(QLatin1StringView(name) + QStringLiteral(".png")));
    };
    window.setMinimumSize(1200, 800);
    auto* mainView = new MainTabView(isolated.appState);
    window.setCentralWidget(mainView);
    window.show();
    auto* tab = qobject_cast<BackgroundRemovalTab*>(mainView->screen(AppTab::backgroundRemoval));
    BatchRemovalQueue& queue = tab->queue();
    pumpUntil([] { return false; }, 1000);
    const double emptyMiB = residentMiB();
    say(QStringLiteral("empty window                     %1 MiB resident").arg(emptyMiB, 0, 'f', 0));
    app.takeHolds();

    // The folder arrives as a real drag and drop.
    StallProbe probe;
    dropFolder(tab, tab->size(), folder, [&] {
        probe.start();
        clock.restart();
    });
    const bool added = pumpUntil([&] { return !queue.isAdding(); }, 30 * 60000);
    const double addSeconds = double(clock.elapsed()) / 1000;
    const qint64 addStall = probe.stop();
    say(QStringLiteral("adding by one folder drop        %1 tasks in %2 s %3")
            .arg(queue.selectedImages().size()).arg(addSeconds, 0, 'f', 1)
            .arg(added && queue.selectedImages().size() == photoCount ? "" : "NOT ALL ADDED"));
    reportHold(QStringLiteral("while adding"), addStall, app);
    const double addedMiB = residentMiB();
    say(QStringLiteral("    resident after adding        %1 MiB (target < 1024 MiB) %2")
            .arg(addedMiB, 0, 'f', 0).arg(addedMiB < 1024 ? "met" : "NOT MET"));
    pumpUntil([&] { return tab->alert() != nullptr; }, 2000);
    const QString summary = tab->alert() ? tab->alert()->text() : QString();
    const bool allRefused = summary.contains(QStringLiteral("Skipped %1 invalid file(s)").arg(damagedCount))
                            || (damagedCount == 0 && !summary.contains(QStringLiteral("invalid")));
    say(QStringLiteral("damaged files refused            %1 %2: \"%3\"")
            .arg(damagedCount).arg(allRefused ? "met" : "NOT MET")
            .arg(summary.split(u'\n').filter(QStringLiteral("invalid file(s)")).join(u' ').simplified()));
    shoot("1-added");
    if (tab->alert())
        tab->alert()->accept();

    // The press of "Process All": every open card joins the run.
    clock.restart();
    probe.start();
    const double cpuBefore = processCpuSeconds();
    QElapsedTimer pressing;
    pressing.start();
    mainView->processAllButton()->click();
    pumpUntil([] { return false; }, 20);
    reportHold(QStringLiteral("pressing Process All"), std::max(pressing.elapsed() - 20, probe.stop()), app);

    // Scrolled top to bottom while the cards change state.
    {
        probe.start();
        QScrollBar* bar = tab->cardView()->verticalScrollBar();
        QElapsedTimer scrolling;
        scrolling.start();
        for (int value = 0; value <= bar->maximum(); value += 120) {
            bar->setValue(value);
            pumpUntil([] { return false; }, 4);
        }
        bar->setValue(0);
        pumpUntil([] { return false; }, 4);
        say(QStringLiteral("scrolled through all cards       in %1 s during the run")
                .arg(double(scrolling.elapsed()) / 1000, 0, 'f', 1));
        reportHold(QStringLiteral("while scrolling"), probe.stop(), app);
    }
    const auto finished = [&] {
        const auto& tasks = queue.selectedImages();
        return count(tasks, ProcessingStatus::completed) + count(tasks, ProcessingStatus::failed);
    };
    probe.start();
    pumpUntil([&] { return finished() >= processCount / 2; }, 3 * 3600 * 1000);
    shoot("2-processing");
    pumpUntil([&] { return finished() >= processCount; }, 3 * 3600 * 1000);
    reportHold(QStringLiteral("while running"), probe.stop(), app);

    // "Cancel": the rest of the run leaves it, the image in progress finishes.
    probe.start();
    QElapsedTimer cancelling;
    cancelling.start();
    tab->cancelButton()->click();
    const qint64 pressCancel = cancelling.elapsed();
    pumpUntil([&] { return !queue.isProcessing(); }, 600000);
    pumpUntil([] { return false; }, 200);
    reportHold(QStringLiteral("cancelling"), std::max(pressCancel, probe.stop()), app);
    shoot("3-after-run");
    const int completed = count(queue.selectedImages(), ProcessingStatus::completed);
    say(QStringLiteral("processing, cancelled after %1   %2 completed in %3 s (%4 s per photo), "
                       "%5 photos at once, %6 s of CPU, load %7")
            .arg(processCount).arg(completed).arg(double(clock.elapsed()) / 1000, 0, 'f', 1)
            .arg(double(clock.elapsed()) / 1000 / std::max(1, completed), 0, 'f', 2)
            .arg(localPhotosAtOnce(isolated.appState.userPreferences().maxConcurrentProcesses))
            .arg(processCpuSeconds() - cpuBefore, 0, 'f', 0).arg(loadAverages()));
    const double peakMiB = peakResidentMiB();
    say(QStringLiteral("peak resident memory             %1 MiB (target < 2560 MiB) %2")
            .arg(peakMiB, 0, 'f', 0).arg(peakMiB < 2560 ? "met" : "NOT MET"));

    // "Download All", then the same files through kivopro-remove.
    QString message;
    clock.restart();
    queue.downloadAllImages(results, [&](const QString& text) { message = text; });
    pumpUntil([&] { return !message.isEmpty(); }, 600000);
    shoot("4-downloaded");
    say(QStringLiteral("download all                     \"%1\" in %2 s").arg(message).arg(double(clock.elapsed()) / 1000, 0, 'f', 1));
    QStringList compared;
    for (const ImageProcessingTask& task : queue.selectedImages())
        if (task.status == ProcessingStatus::completed && compared.size() < compareCount)
            compared << task.originalURL.toLocalFile();
    const QString reference = QDir(results).filePath(QStringLiteral("reference"));
    QDir().mkpath(reference);
    // The command line with the flags that stand for the window's processing settings.
    const UserPreferences& preferences = isolated.appState.userPreferences();
    QStringList flags{QStringLiteral("-o"), reference, QStringLiteral("--quality"),
                      preferences.processingQuality == ProcessingQuality::fast       ? QStringLiteral("fast")
                      : preferences.processingQuality == ProcessingQuality::balanced ? QStringLiteral("balanced")
                                                                                     : QStringLiteral("high")};
    if (preferences.refineEdges)
        flags << QStringLiteral("--refine") << QString::number(preferences.edgeRefinement);
    if (!preferences.preserveFineDetails)
        flags << QStringLiteral("--hard-edges");
    QProcess::execute(options.removeTool, flags + compared);
    int identical = 0;
    for (const QString& photo : std::as_const(compared)) {
        const QString name = QFileInfo(photo).completeBaseName() + QStringLiteral("_no_bg.png");
        identical += samePixels(QDir(results).filePath(name), QDir(reference).filePath(name)) ? 1 : 0;
    }
    say(QStringLiteral("identical to kivopro-remove      %1 of %2 compared %3")
            .arg(identical).arg(compared.size()).arg(identical == compared.size() && identical > 0 ? "met" : "NOT MET"));

    // "Clear All": the memory goes back.
    clock.restart();
    tab->clearAllButton()->click();
    pumpUntil([] { return false; }, 2000);
    const double clearedMiB = residentMiB();
    shoot("5-cleared");
    say(QStringLiteral("after Clear All                  %1 MiB resident, %2 MiB above the empty window (target <= 200) %3")
            .arg(clearedMiB, 0, 'f', 0).arg(clearedMiB - emptyMiB, 0, 'f', 0)
            .arg(clearedMiB - emptyMiB <= 200 ? "met" : "NOT MET"));
    say(QStringLiteral("cache folder after Clear All     %1").arg(
        QFileInfo::exists(ImageCache::shared().folder()) ? QStringLiteral("still there") : QStringLiteral("removed")));
    return 0;
}
