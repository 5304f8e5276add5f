#include "LaunchFiles.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace kivo {

namespace {

// A hand-over is a list of paths; anything larger is not from us.
constexpr qint64 kMaxMessageBytes = 4 * 1024 * 1024;

} // namespace

QStringList LaunchFiles::paths() const
{
    QStringList all = sessions;
    for (const QUrl& image : images)
        all.append(image.toLocalFile());
    return all;
}

LaunchFiles sortLaunchFiles(const QStringList& arguments, const QString& workingDirectory)
{
    LaunchFiles files;
    const QDir base(workingDirectory);
    for (const QString& argument : arguments) {
        if (argument.isEmpty() || argument.startsWith(QLatin1Char('-')))
            continue;
        // The desktop's %F gives paths; some launchers still pass file:// addresses.
        const QUrl url(argument);
        const QString path = url.isLocalFile() ? url.toLocalFile() : argument;
        const QFileInfo file(base.absoluteFilePath(path));
        if (!file.isFile())
            continue;
        const QString absolute = file.absoluteFilePath();
        if (file.suffix().compare(QStringLiteral("ora"), Qt::CaseInsensitive) == 0)
            files.sessions.append(absolute);
        else
            files.images.append(QUrl::fromLocalFile(absolute));
    }
    return files;
}

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), m_name(std::move(name))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultName()
{
    // One per user and home folder (the same user with another HOME is another set-up, such
    // as a test run), in the user's runtime folder where the system provides one.
    const QByteArray home = QDir::homePath().toUtf8();
    const QString name = QStringLiteral("kivopro-%1-%2")
                             .arg(getuid())
                             .arg(QString::fromLatin1(QCryptographicHash::hash(home, QCryptographicHash::Sha1).toHex().left(12)));
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.isEmpty() || !QFileInfo(runtime).isDir() ? name : QDir(runtime).filePath(name);
}

bool SingleInstance::claim()
{
    if (m_server)
        return true;
    // Ask first: with access options, QLocalServer binds elsewhere and renames the socket into
    // place, so listen() would silently take the name from a running instance.
    {
        QLocalSocket probe;
        probe.connectToServer(m_name);
        if (probe.waitForConnected(1000))
            return false;
    }
    // Nobody answers: any socket file there was left by a crashed instance.
    QLocalServer::removeServer(m_name);
    auto* server = new QLocalServer(this);
    // Only this user may hand files to the window.
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(m_name)) {
        delete server;
        return false;
    }
    m_server = server;
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    return true;
}

void SingleInstance::acceptConnections()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->bytesAvailable() > kMaxMessageBytes) {
                socket->abort();
                return;
            }
            // A message is one QStringList, sent whole; wait until all of it is here.
            QDataStream in(socket);
            in.startTransaction();
            QStringList paths;
            in >> paths;
            if (!in.commitTransaction())
                return;
            socket->write("ok");
            socket->flush();
            socket->disconnectFromServer();
            emit filesReceived(paths);
        });
    }
}

bool SingleInstance::sendToRunning(const QStringList& paths, const QString& name, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    QByteArray message;
    QDataStream out(&message, QIODevice::WriteOnly);
    out << paths;
    socket.write(message);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    // The answer says the window took the files, not only that the bytes left.
    while (socket.bytesAvailable() < 2)
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    return socket.read(2) == "ok";
}

} // namespace kivo
