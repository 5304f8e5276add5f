#include "service/ServiceFixture.h"

#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace kivo::test {

RawConnection::RawConnection(int port)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

RawConnection::~RawConnection()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RawConnection::send(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

QByteArray RawConnection::receive(std::chrono::milliseconds timeout)
{
    QByteArray answer;
    QDeadlineTimer deadline(timeout);
    while (!deadline.hasExpired()) {
        // Once something has come, a pause ends the answer.
        const qint64 wait = std::max<qint64>(1, answer.isEmpty() ? deadline.remainingTime()
                                                                 : std::min<qint64>(deadline.remainingTime(), 300));
        pollfd poller{m_fd, POLLIN, 0};
        if (::poll(&poller, 1, int(wait)) <= 0)
            break;
        char buffer[65536];
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        answer.append(buffer, got);
    }
    return answer;
}

QByteArray RawConnection::streamUntilAnswered(const QByteArray& head, const QByteArray& filler, qint64 limit, qint64* sent)
{
    *sent = 0;
    if (!send(head))
        return {};
    *sent = head.size();
    while (*sent < limit) {
        pollfd poller{m_fd, POLLIN | POLLOUT, 0};
        if (::poll(&poller, 1, 5000) <= 0)
            break;
        if (poller.revents & (POLLIN | POLLHUP | POLLERR))
            break;
        const ssize_t written = ::send(m_fd, filler.constData(), size_t(filler.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0 && errno != EAGAIN)
            break;
        *sent += std::max<ssize_t>(written, 0);
    }
    return receive(std::chrono::seconds(5)).left(200);
}

bool RawConnection::closedByServer(std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (!deadline.hasExpired()) {
        pollfd poller{m_fd, POLLIN, 0};
        if (::poll(&poller, 1, int(std::max<qint64>(1, deadline.remainingTime()))) <= 0)
            return false;
        char buffer[4096];
        if (::recv(m_fd, buffer, sizeof buffer, 0) <= 0)
            return true;
    }
    return false;
}

void ServiceFixture::SetUp()
{
    store = std::make_unique<service::AccountStore>(folder.filePath(u"service.sqlite"_s), std::chrono::milliseconds(300));
    QString error;
    ASSERT_TRUE(store->open(&error)) << error.toStdString();
    account = store->addAccount(u"Ada"_s, u"ada@example.org"_s, u"s3cret pass"_s, u"key-ada"_s, 5);

    service::ServiceServer::Options options;
    options.maxRequestBytes = maxBytes;
    options.imageFolder = folder.filePath(u"images"_s);
    // Tests share the machine with other tests: a lowered priority would let them starve removals.
    options.modelNiceness = 0;
    adjust(options);
    server = std::make_unique<service::ServiceServer>(*store, options);
    ASSERT_TRUE(server->start(&error)) << error.toStdString();
    client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
    // Removals wait for the network, which can take long on a busy machine.
    client->set_read_timeout(120, 0);
}

void ServiceFixture::TearDown()
{
    client.reset();
    server.reset();
}

httplib::Result ServiceFixture::removal(const std::string& key, const httplib::MultipartFormDataItems& items)
{
    httplib::Headers headers;
    if (!key.empty())
        headers.emplace("X-API-KEY", key);
    return client->Post("/v1.0.1/remove_background?site_url=kivo-pro-macos", headers, items);
}

qint64 ServiceFixture::credits() const
{
    return store->account(account.id)->credits;
}

QByteArray ServiceFixture::rawExchange(const QByteArray& request)
{
    RawConnection connection(server->port());
    // The server may answer and close before it has read everything: read what it said.
    connection.send(request);
    return connection.receive(std::chrono::seconds(20));
}

} // namespace kivo::test
