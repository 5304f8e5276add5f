#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace kivo::test {

// The real kivopro-service program on a free loopback port with a fresh accounts file, ended
// (SIGTERM) when the object goes away.
class ServiceProcess {
public:
    ServiceProcess();
    ~ServiceProcess();

    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // False when the program did not start or did not print its address and demo account.
    bool isReady() const { return !m_address.isEmpty() && !m_apiKey.isEmpty(); }
    QString address() const { return m_address; }
    QString email() const { return m_email; }
    QString password() const { return m_password; }
    QString apiKey() const { return m_apiKey; }
    QString accountsFile() const;
    // Everything the program printed so far.
    QString output();

private:
    QTemporaryDir m_folder;
    QProcess m_process;
    QString m_output;
    QString m_address;
    QString m_email;
    QString m_password;
    QString m_apiKey;
};

} // namespace kivo::test
