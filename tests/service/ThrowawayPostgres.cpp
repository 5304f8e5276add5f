#include "service/ThrowawayPostgres.h"

#include <QFile>
#include <QProcess>

#include <csignal>

namespace kivo::test {

namespace {

const QString kScript = QStringLiteral(KIVO_SOURCE_DIR "/tools/pg-throwaway.sh");
constexpr int kNotInstalled = 3;

} // namespace

ThrowawayPostgres::ThrowawayPostgres()
    : m_folder(m_parent.filePath(QStringLiteral("postgres")))
{
    // As root the server runs as another user, who must be able to pass through.
    QFile::setPermissions(m_parent.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                               | QFileDevice::ExeGroup | QFileDevice::ExeOther);
    int exitCode = 0;
    const QString output = run(QStringLiteral("start"), &exitCode);
    m_installed = exitCode != kNotInstalled;
    if (exitCode == 0)
        m_address = output.trimmed();
    else
        m_error = output;
}

ThrowawayPostgres::~ThrowawayPostgres()
{
    stop();
}

void ThrowawayPostgres::stop()
{
    int exitCode = 0;
    run(QStringLiteral("stop"), &exitCode);
}

bool ThrowawayPostgres::restart()
{
    int exitCode = 0;
    m_error = run(QStringLiteral("restart"), &exitCode);
    return exitCode == 0;
}

void ThrowawayPostgres::signalServer(int signal)
{
    int exitCode = 0;
    run(QStringLiteral("signal"), &exitCode, {signal == SIGSTOP ? QStringLiteral("STOP") : QStringLiteral("CONT")});
}

QString ThrowawayPostgres::run(const QString& command, int* exitCode, const QStringList& extra)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("bash"), QStringList{kScript, command, m_folder} + extra);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        *exitCode = -1;
        return QStringLiteral("pg-throwaway.sh %1 did not finish").arg(command);
    }
    *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAll());
}

} // namespace kivo::test
