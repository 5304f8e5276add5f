#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>
#include <QThread>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace kivo::test {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

QString testDataPath(const QString& name)
{
    return QStringLiteral(KIVO_TEST_DATA_DIR "/") + name;
}

StdoutCapture::StdoutCapture()
{
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/kivo-stdout-XXXXXX"));
    file.setAutoRemove(false);
    file.open();
    m_path = file.fileName();
    file.close();
    std::fflush(stdout);
    m_savedFd = ::dup(STDOUT_FILENO);
    m_captureFd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_TRUNC);
    ::dup2(m_captureFd, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    ::dup2(m_savedFd, STDOUT_FILENO);
    ::close(m_savedFd);
    ::close(m_captureFd);
    QFile::remove(m_path);
}

QString StdoutCapture::text()
{
    std::fflush(stdout);
    QFile file(m_path);
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll());
}

} // namespace kivo::test
