// What two processing settings cost and buy, on the 1024 × 1024 network:
// - "Process in background": the inference beside a competing program of normal priority (two
//   busy processes standing in for the desktop): the inference's time and the share of the CPU
//   the competitor keeps, with the inference at normal and at background priority, alternated.
// - "Memory Usage": resident memory after a run with the network kept (Balanced, Aggressive)
//   and after it is given back at the run's end (Conservative); the editor history's decoded
//   steps; the card thumbnails held after scrolling through a finished batch of 400 cards in
//   the real card view (offscreen).

#include "BenchSupport.h"

#include "app/desktop/RunFeedback.h"
#include "core/ImageHistory.h"
#include "removal/batch/BatchCardView.h"
#include "removal/batch/BatchRemovalQueue.h"
#include "removal/batch/BatchTaskModel.h"
#include "support/IsolatedAppState.h"
#include "removal/batch/TaskImages.h"
#include "core/RawValueEnum.h"
#include "removal/engine/ForegroundSegmenter.h"
#include "removal/engine/LocalRemovalEngine.h"

#include <QApplication>
#include <QPixmapCache>
#include <QScrollBar>
#include <QThread>

#include <atomic>
#include <chrono>
#include <csignal>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::bench;

namespace {

// Two busy child processes at normal priority, each counting its loops in shared memory.
struct Competitor {
    std::atomic<quint64>* loops = nullptr;
    std::vector<pid_t> children;

    Competitor()
    {
        loops = static_cast<std::atomic<quint64>*>(
            mmap(nullptr, sizeof(std::atomic<quint64>) * 2, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        for (int i = 0; i < 2; ++i) {
            new (&loops[i]) std::atomic<quint64>(0);
            const pid_t child = fork();
            if (child == 0) {
                volatile double x = 1;
                for (;;) {
                    for (int k = 0; k < 100000; ++k)
                        x = x * 1.0000001 + 1e-9;
                    loops[i].fetch_add(1, std::memory_order_relaxed);
                }
            }
            children.push_back(child);
        }
    }
    ~Competitor()
    {
        for (pid_t child : children) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
    quint64 total() const { return loops[0].load() + loops[1].load(); }
};

} // namespace

int main(int argc, char** argv)
{
    // The card view paints offscreen unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const CommonOptions options = parseCommonOptions(QCoreApplication::arguments());
    const QString photo = prepareWork(options, QStringLiteral("usage: kivo_settings_effects_bench --source PHOTO --work DIR [--runs N]"));
    if (photo.isEmpty())
        return 1;
    const QImage image = decode(photo).convertToFormat(QImage::Format_ARGB32);
    const std::vector<float> input = makeNetworkInput(image);
    ForegroundSegmenter& network = ForegroundSegmenter::shared();
    say(QStringLiteral("load before: %1").arg(loadAverages()));

    const QString part = options.named.value(QStringLiteral("--part"));

    // ---- card thumbnails: 400 finished cards, each scrolled into view once ----
    if (part.isEmpty() || part == u"thumbnails") {
        test::IsolatedAppState isolated;
        RemovalServiceClient client{isolated.keychain};
        BatchRemovalQueue queue{isolated.appState, client};
        BatchTaskModel model(queue);
        QList<ImageProcessingTask> tasks;
        const QImage small = image.scaled(640, 480, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        for (int i = 0; i < 400; ++i) {
            // Each card a photo of its own, as the cache keys them by file.
            QImage original = small.copy();
            original.setPixel(i % original.width(), i / original.width(), qRgb(i % 256, 0, 0));
            QImage cutout = original.convertToFormat(QImage::Format_ARGB32);
            for (int y = 0; y < cutout.height(); y += 2)
                std::fill_n(reinterpret_cast<QRgb*>(cutout.scanLine(y)), cutout.width() / 2, 0);
            ImageProcessingTask task;
            task.originalURL = QUrl::fromLocalFile(QStringLiteral("/photos/%1.jpg").arg(i));
            task.originalImage = keepCutout(original, ImageCache::shared()).image;
            task.processedImage = keepCutout(cutout, ImageCache::shared()).image;
            task.status = ProcessingStatus::completed;
            tasks.append(task);
        }
        isolated.appState.setProcessingQueue(tasks);
        queue.takeListFromAppState();
        BatchCardView view(model);
        view.resize(1200, 800);
        view.show();
        QApplication::processEvents();
        for (const MemoryUsage usage : {MemoryUsage::conservative, MemoryUsage::balanced, MemoryUsage::aggressive}) {
            QPixmapCache::clear();
            QPixmapCache::setCacheLimit(RunFeedback::thumbnailCacheKiB(usage));
            view.verticalScrollBar()->setValue(0);
            QApplication::processEvents();
            releaseEngineMemory(); // gives freed heap back, so the figures are what is held
            const double before = residentMiB();
            QScrollBar* bar = view.verticalScrollBar();
            for (int value = 0; value <= bar->maximum(); value += 120) {
                bar->setValue(value);
                view.viewport()->repaint();
            }
            releaseEngineMemory();
            say(QStringLiteral("card thumbnails, 400 cards scrolled through, %1 (cache limit %2 MiB): resident %3 MiB, "
                               "%4 MiB more than at the top")
                    .arg(rawValue(usage)).arg(RunFeedback::thumbnailCacheKiB(usage) / 1024)
                    .arg(residentMiB(), 0, 'f', 0).arg(residentMiB() - before, 0, 'f', 1));
        }
        QPixmapCache::clear();
        if (part == u"thumbnails")
            return 0;
    }

    // ---- editor history: 12 steps of the 12 MP photo, each with a small painted mark ----
    {
        ImageHistory history;
        QImage step = image;
        for (int k = 0; k < 12; ++k) {
            step = step.copy();
            for (int y = 100 + 40 * k; y < 140 + 40 * k; ++y)
                std::fill_n(reinterpret_cast<QRgb*>(step.scanLine(y)) + 100, 400, qRgb(255, k * 20, 0));
            history.append(step);
        }
        step = QImage();
        ImageHistory::waitForCompression();
        for (const auto& [name, radius] : {std::pair{"Conservative", 0}, std::pair{"Balanced", 1}, std::pair{"Aggressive", 3}}) {
            ImageHistory::setResidentNeighbours(radius);
            history.setCurrentIndex(6);
            for (int k = 6 - radius; k <= 6 + radius; ++k)
                history.restore(k).waitForFinished();
            releaseEngineMemory(); // gives freed heap back, so the figure is what is held
            say(QStringLiteral("editor history, 12 steps at step 6, %1 (%2 decoded on each side): resident %3 MiB, "
                               "compressed tiles %4 MiB")
                    .arg(QLatin1StringView(name)).arg(radius).arg(residentMiB(), 0, 'f', 0)
                    .arg(double(history.compressedBytes()) / (1 << 20), 0, 'f', 0));
        }
        ImageHistory::setResidentNeighbours(1);
    }
    if (part == u"history")
        return 0;

    // ---- memory ----
    const double before = residentMiB();
    inferOrDie(input);
    inferOrDie(input);
    const double kept = residentMiB();
    releaseEngineMemory();
    const double released = residentMiB();
    say(QStringLiteral("memory: before the network %1 MiB; after a run, network kept (Balanced/Aggressive) %2 MiB; "
                       "network given back (Conservative) %3 MiB")
            .arg(before, 0, 'f', 0).arg(kept, 0, 'f', 0).arg(released, 0, 'f', 0));

    // ---- priority ----
    Competitor competitor;
    std::vector<double> wall[2], share[2];
    const auto measure = [&](ForegroundSegmenter::Priority priority) {
        // The session is made for the priority first (warm-up, untimed).
        network.segment(input, ForegroundSegmenter::defaultInputSide, priority);
        const quint64 loopsBefore = competitor.total();
        const auto start = std::chrono::steady_clock::now();
        const ForegroundSegmenter::Result result = network.segment(input, ForegroundSegmenter::defaultInputSide, priority);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (result.probabilities.empty()) {
            say(result.error);
            std::exit(1);
        }
        wall[int(priority)].push_back(seconds * 1000);
        share[int(priority)].push_back(double(competitor.total() - loopsBefore) / seconds);
    };
    // A second of the competitor alone: its loops per second with the CPU to itself and the others.
    const quint64 aloneStart = competitor.total();
    QThread::sleep(2);
    const double alone = double(competitor.total() - aloneStart) / 2.0;
    for (int run = 0; run < options.runs; ++run) {
        measure(ForegroundSegmenter::Priority::normal);
        measure(ForegroundSegmenter::Priority::background);
    }
    for (const auto priority : {ForegroundSegmenter::Priority::normal, ForegroundSegmenter::Priority::background}) {
        const int p = int(priority);
        say(QStringLiteral("%1 priority: inference %2 %3; competitor keeps %4 % of its solo speed")
                .arg(priority == ForegroundSegmenter::Priority::normal ? QStringLiteral("normal")
                                                                       : QStringLiteral("background"))
                .arg(ms(median(wall[p])), spread(wall[p]))
                .arg(100.0 * median(share[p]) / alone, 0, 'f', 0));
    }
    say(QStringLiteral("load after: %1").arg(loadAverages()));
    return 0;
}
