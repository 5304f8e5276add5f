#include "Log.h"

#include <QMutex>

#include <cstdio>

namespace kivo {

namespace {

std::FILE* logStream = stdout;

} // namespace

void setLogStream(std::FILE* stream)
{
    logStream = stream;
}

void logLine(const QString& line)
{
    static QMutex mutex;
    const QByteArray bytes = line.toUtf8() + '\n';
    QMutexLocker lock(&mutex);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), logStream);
    std::fflush(logStream);
}

} // namespace kivo
