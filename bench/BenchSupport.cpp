#include "BenchSupport.h"

#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QtConcurrent/QtConcurrentMap>

#include <atomic>

#include "removal/engine/ForegroundSegmenter.h"

#include <QCoreApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char** environ;

namespace kivo::bench {

CommonOptions parseCommonOptions(const QStringList& arguments)
{
    CommonOptions options;
    for (qsizetype i = 1; i + 1 < arguments.size(); i += 2)
        options.named.insert(arguments[i], arguments[i + 1]);
    options.source = options.named.value(QStringLiteral("--source"));
    options.work = options.named.value(QStringLiteral("--work"));
    options.removeTool = options.named.value(QStringLiteral("--remove-tool"));
    options.runs = std::max(1, options.named.value(QStringLiteral("--runs"), QString::number(options.runs)).toInt());
    return options;
}

QString prepareWork(const CommonOptions& options, const QString& usage)
{
    if (options.source.isEmpty() || options.work.isEmpty()) {
        say(QStringLiteral("usage: ") + usage);
        return {};
    }
    QDir().mkpath(options.work);
    const QString photo = QDir(options.work).filePath(QStringLiteral("photo-12mp.jpg"));
    if (!makePhoto(options.source, photo)) {
        say(QStringLiteral("cannot make the 12 MP photo from %1").arg(options.source));
        return {};
    }
    return photo;
}

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

bool pumpUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        QThread::usleep(500);
    }
    return true;
}

void dropFolder(QObject* target, QSize targetSize, const QString& folder, const std::function<void()>& beforeDrop)
{
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(folder)});
    const QPointF at(targetSize.width() / 2.0, targetSize.height() / 2.0);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    if (beforeDrop)
        beforeDrop();
    QCoreApplication::sendEvent(target, &drop);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double milliseconds(const std::function<void()>& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e6;
}

QString ms(double value)
{
    return QStringLiteral("%1 ms").arg(value, 7, 'f', 1);
}

QString spread(const std::vector<double>& values)
{
    if (values.empty())
        return {};
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return QStringLiteral("(min %1, max %2, %3 runs)").arg(*low, 0, 'f', 0).arg(*high, 0, 'f', 0).arg(values.size());
}

double processCpuMilliseconds()
{
    timespec time{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
    return double(time.tv_sec) * 1e3 + double(time.tv_nsec) / 1e6;
}

void Timings::measure(const std::function<void()>& work)
{
    const double cpuBefore = processCpuMilliseconds();
    wall.push_back(milliseconds(work));
    cpu.push_back(processCpuMilliseconds() - cpuBefore);
}

QString Timings::describe() const
{
    return QStringLiteral("%1 (cpu %2 ms)").arg(ms(median(wall))).arg(median(cpu), 0, 'f', 0);
}

namespace {

double statusMiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QRegularExpression line(QStringLiteral("^%1:\\s+(\\d+) kB").arg(QLatin1StringView(field)),
                                  QRegularExpression::MultilineOption);
    const auto match = line.match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toDouble() / 1024.0 : 0;
}

} // namespace

double residentMiB()
{
    return statusMiB("VmRSS");
}

double peakResidentMiB()
{
    return statusMiB("VmHWM");
}

bool makePhoto(const QString& source, const QString& target, quint32 seed)
{
    if (QFile::exists(target))
        return true;
    const QImage small(source);
    if (small.isNull())
        return false;
    QImage photo = small.scaled(photoSize, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation)
                       .convertToFormat(QImage::Format_RGB32);
    photo = photo.copy(QRect((photo.width() - photoSize.width()) / 2, (photo.height() - photoSize.height()) / 2,
                             photoSize.width(), photoSize.height()));
    QRandomGenerator grain(seed);
    for (int y = 0; y < photo.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(photo.scanLine(y));
        for (int x = 0; x < photo.width(); ++x) {
            const int n = int(grain.bounded(9)) - 4;
            row[x] = qRgb(std::clamp(qRed(row[x]) + n, 0, 255), std::clamp(qGreen(row[x]) + n, 0, 255),
                          std::clamp(qBlue(row[x]) + n, 0, 255));
        }
    }
    QImageWriter writer(target, "jpeg");
    writer.setQuality(92);
    return writer.write(photo);
}

QImage decode(const QString& path)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    reader.setAllocationLimit(1024);
    return reader.read();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

std::vector<float> inferOrDie(std::span<const float> input)
{
    kivo::ForegroundSegmenter::Result result = kivo::ForegroundSegmenter::shared().segment(input);
    if (result.probabilities.empty()) {
        say(QStringLiteral("inference failed: ") + result.error);
        std::exit(1);
    }
    return std::move(result.probabilities);
}

QString loadAverages()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

std::optional<ProgramRun> runMeasured(const QString& program, const QStringList& arguments, const QString& logPath)
{
    QList<QByteArray> strings{QFile::encodeName(program)};
    for (const QString& argument : arguments)
        strings.append(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& argument : strings)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray log = QFile::encodeName(logPath);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    QElapsedTimer timer;
    timer.start();
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return std::nullopt;
    int status = 0;
    rusage usage{};
    // The kernel's accounting of the child alone: its own peak, not the benchmark's.
    wait4(pid, &status, 0, &usage);

    ProgramRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.wallSeconds = double(timer.elapsed()) / 1000.0;
    run.peakMiB = double(usage.ru_maxrss) / 1024.0;
    QFile output(logPath);
    if (output.open(QIODevice::ReadOnly))
        run.output = QString::fromUtf8(output.readAll());
    return run;
}

} // namespace kivo::bench

namespace kivo::bench {

bool generateMixedPhotos(const QString& source, const QString& folder, int count, int large, QSize smallSize)
{
    const QString basePath = QDir(folder).filePath(QStringLiteral("base.jpg"));
    if (!makePhoto(source, basePath))
        return false;
    const QImage base = decode(basePath).scaled(photoSize + QSize(160, 120), Qt::IgnoreAspectRatio,
                                                 Qt::SmoothTransformation);
    QFile::remove(basePath);
    const QImage smallBase = base.scaled(smallSize + QSize(160, 120), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QList<int> indexes;
    for (int i = 0; i < count; ++i)
        indexes << i;
    std::atomic_int failures{0};
    QtConcurrent::blockingMap(indexes, [&](int i) {
        const QPoint shift((i * 7) % 160, (i * 13) % 120);
        const QImage photo = i < large ? base.copy(QRect(shift, photoSize)) : smallBase.copy(QRect(shift, smallSize));
        QImageWriter writer(QDir(folder).filePath(QStringLiteral("photo-%1.jpg").arg(i, 4, 10, QLatin1Char('0'))), "jpeg");
        writer.setQuality(90);
        if (!writer.write(photo))
            ++failures;
    });
    return failures == 0;
}

ScratchFolders::ScratchFolders(QStringList paths)
    : m_paths(std::move(paths))
{
    for (const QString& path : std::as_const(m_paths)) {
        QDir(path).removeRecursively();
        QDir().mkpath(path);
    }
}

ScratchFolders::~ScratchFolders()
{
    for (const QString& path : std::as_const(m_paths))
        QDir(path).removeRecursively();
}

} // namespace kivo::bench
