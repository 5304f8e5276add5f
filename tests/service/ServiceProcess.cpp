#include "service/ServiceProcess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QUrl>

namespace kivo::test {

ServiceProcess::ServiceProcess(const QStringList& arguments, const QString& dataFolder,
                               const QProcessEnvironment& environment)
    : m_dataFolder(dataFolder.isEmpty() ? m_folder.filePath(QStringLiteral("data")) : dataFolder)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setProcessEnvironment(environment);
    // Tests share the machine with other tests: a lowered priority would let them starve removals.
    m_process.start(QStringLiteral(KIVO_SERVICE_BINARY),
                    QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"), m_dataFolder,
                                QStringLiteral("--model-niceness"), QStringLiteral("0")}
                        + arguments);
    if (!m_process.waitForStarted(10000))
        return;

    // The address comes last in the banner.
    static const QRegularExpression listening(QStringLiteral(R"(listening on (http://\S+))"));
    static const QRegularExpression account(QStringLiteral(R"(demo account: email (\S+) password (\S+))"));
    static const QRegularExpression key(QStringLiteral(R"(demo account API key: (\S+))"));
    const QDeadlineTimer deadline(20000);
    while (m_address.isEmpty() && !deadline.hasExpired() && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(100);
        m_output += QString::fromUtf8(m_process.readAll());
        if (const auto match = listening.match(m_output); match.hasMatch())
            m_address = match.captured(1);
    }
    if (const auto match = account.match(m_output); match.hasMatch()) {
        m_email = match.captured(1);
        m_password = match.captured(2);
    }
    if (const auto match = key.match(m_output); match.hasMatch())
        m_apiKey = match.captured(1);
}

ServiceProcess::~ServiceProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
}

int ServiceProcess::port() const
{
    return QUrl(m_address).port();
}

QString ServiceProcess::output()
{
    m_output += QString::fromUtf8(m_process.readAll());
    return m_output;
}

void ServiceProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

} // namespace kivo::test
