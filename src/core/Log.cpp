#include "Log.h"

#include <QMutex>

#include <cstdio>

namespace kivo {

void logLine(const QString& line)
{
    static QMutex mutex;
    const QByteArray bytes = line.toUtf8() + '\n';
    QMutexLocker lock(&mutex);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace kivo
