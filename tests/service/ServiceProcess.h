#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace kivo::test {

// The real kivopro-service program on a free loopback port with a data folder of its own (or a
// given one, to start it again on the same data), ended (SIGTERM) when the object goes away.
class ServiceProcess {
public:
    // `arguments` follow "--port 0 --data FOLDER --model-niceness 0".
    explicit ServiceProcess(const QStringList& arguments = {}, const QString& dataFolder = {},
                            const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
    ~ServiceProcess();

    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // False when the program did not start or did not print its address.
    bool isReady() const { return !m_address.isEmpty(); }
    QString address() const { return m_address; }
    int port() const;
    // The demo account, printed when the program made it (the first start on an empty store).
    QString email() const { return m_email; }
    QString password() const { return m_password; }
    QString apiKey() const { return m_apiKey; }
    QString dataFolder() const { return m_dataFolder; }
    qint64 processId() const { return m_process.processId(); }
    // Everything the program printed so far.
    QString output();
    // Ends the program at once, as a crash would (SIGKILL).
    void kill();

private:
    QTemporaryDir m_folder;
    QString m_dataFolder;
    QProcess m_process;
    QString m_output;
    QString m_address;
    QString m_email;
    QString m_password;
    QString m_apiKey;
};

} // namespace kivo::test
