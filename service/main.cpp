// kivopro-service: a local stand-in for the removal service and its backend.
//
//   kivopro-service [--host ADDRESS] [--port N] [--accounts FILE]

#include "AccountStore.h"
#include "ServiceServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <pthread.h>

namespace {

void printLine(const QString& line)
{
    std::fputs(qPrintable(line + u'\n'), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    // SIGINT and SIGTERM end the service cleanly: block them in every thread (the server's
    // threads inherit the mask) and wait for them below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kivopro-service"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KIVO_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Local stand-in for the KIVOPRO removal service and its backend."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                        QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port to listen on; 0 picks a free one (default 8080)."),
                                        QStringLiteral("N"), QStringLiteral("8080"));
    const QCommandLineOption accountsOption(
        QStringLiteral("accounts"),
        QStringLiteral("JSON file holding the accounts and transactions; created with a demo account when missing. "
                       "Without it everything lives in memory."),
        QStringLiteral("FILE"));
    parser.addOptions({hostOption, portOption, accountsOption});
    parser.process(app);

    bool portOk = false;
    const int port = parser.value(portOption).toInt(&portOk);
    if (!portOk || port < 0 || port > 65535) {
        std::fprintf(stderr, "kivopro-service: --port must be a number from 0 to 65535\n");
        return 2;
    }

    const QString accountsPath = parser.value(accountsOption);
    kivo::service::AccountStore store(accountsPath);
    QString error;
    if (!store.load(&error)) {
        std::fprintf(stderr, "kivopro-service: cannot read %s: %s\n", qPrintable(accountsPath), qPrintable(error));
        return 1;
    }

    // A fresh store gets one account; its credentials are shown once, below, so it can be used.
    const auto demo = store.ensureDemoAccount();

    kivo::service::ServiceServer::Options options;
    options.host = parser.value(hostOption);
    options.port = port;
    if (!accountsPath.isEmpty()) {
        const QFileInfo info(accountsPath);
        options.imageFolder = info.absoluteDir().filePath(info.completeBaseName() + QStringLiteral("-images"));
    }
    kivo::service::ServiceServer server(store, options);
    if (!server.start(&error)) {
        std::fprintf(stderr, "kivopro-service: %s\n", qPrintable(error));
        return 1;
    }

    printLine(QStringLiteral("kivopro-service listening on %1").arg(server.address()));
    printLine(accountsPath.isEmpty() ? QStringLiteral("accounts: in memory only")
                                     : QStringLiteral("accounts: %1").arg(QFileInfo(accountsPath).absoluteFilePath()));
    if (demo) {
        printLine(QStringLiteral("demo account: email %1 password %2").arg(demo->email, demo->password));
        printLine(QStringLiteral("demo account API key: %1").arg(demo->apiKey));
    }

    int signal = 0;
    sigwait(&stopSignals, &signal);
    printLine(QStringLiteral("kivopro-service stopping"));
    server.stop();
    return 0;
}
