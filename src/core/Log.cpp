#include "Log.h"

#include <QMutex>

#include <cstdio>

namespace kivo {

namespace {

std::FILE* logStream = stdout;
thread_local ThreadLogCapture* threadCapture = nullptr;

} // namespace

ThreadLogCapture::ThreadLogCapture()
    : m_outer(threadCapture)
{
    threadCapture = this;
}

ThreadLogCapture::~ThreadLogCapture()
{
    threadCapture = m_outer;
}

void setLogStream(std::FILE* stream)
{
    logStream = stream;
}

void logLine(const QString& line)
{
    if (threadCapture)
        threadCapture->m_lastLine = line;
    static QMutex mutex;
    const QByteArray bytes = line.toUtf8() + '\n';
    QMutexLocker lock(&mutex);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), logStream);
    std::fflush(logStream);
}

} // namespace kivo
