#include "BenchSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace kivo::bench {

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

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
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

double processCpuMilliseconds()
{
    timespec time{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
    return double(time.tv_sec) * 1e3 + double(time.tv_nsec) / 1e6;
}

QString ms(double value)
{
    return QStringLiteral("%1 ms").arg(value, 7, 'f', 1);
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

double residentMiB()
{
    return statusMiB("VmRSS");
}

double peakResidentMiB()
{
    return statusMiB("VmHWM");
}

std::optional<EditorOptions> parseEditorOptions(const QStringList& arguments)
{
    EditorOptions options;
    QString source;
    for (qsizetype i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == u"--source")
            source = arguments[i + 1];
        else if (arguments[i] == u"--runs")
            options.runs = arguments[i + 1].toInt();
        else if (arguments[i] == u"--strokes")
            options.strokes = arguments[i + 1].toInt();
    }
    const QImage small(source);
    if (small.isNull() || options.runs < 1 || options.strokes < 1)
        return std::nullopt;
    options.photo = makePhoto(small);
    return options;
}

QImage makePhoto(const QImage& small)
{
    QImage photo = small.scaled(photoSize, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation)
                       .convertToFormat(QImage::Format_RGB32);
    photo = photo.copy(QRect((photo.width() - photoSize.width()) / 2, (photo.height() - photoSize.height()) / 2,
                             photoSize.width(), photoSize.height()));
    QRandomGenerator grain(12);
    for (int y = 0; y < photo.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(photo.scanLine(y));
        for (int x = 0; x < photo.width(); ++x) {
            const int n = int(grain.bounded(9)) - 4;
            row[x] = qRgb(std::clamp(qRed(row[x]) + n, 0, 255), std::clamp(qGreen(row[x]) + n, 0, 255),
                          std::clamp(qBlue(row[x]) + n, 0, 255));
        }
    }
    return photo;
}

} // namespace kivo::bench
