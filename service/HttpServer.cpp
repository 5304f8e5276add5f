#include "HttpServer.h"

#include "core/Log.h"

#include <QByteArray>
#include <QStringList>
#include <QThreadPool>
#include <QUrlQuery>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <atomic>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace kivo::service {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr int kMaxRequestsPerConnection = 100;
// After an answer that leaves a body unread, what the client still sends is read and dropped
// for a short while, so the answer reaches it instead of a connection reset.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = 4u * 1024u * 1024u;
// How long a client that closed its stream has to answer an interim response with a reset.
constexpr std::chrono::milliseconds kResetWait{500};
// The read buffer holds a whole head, and beyond it this much for a chunk line (size and
// extensions) or a trailer: a line that does not end within it is refused.
constexpr std::size_t kChunkLineRoom = 16u * 1024u;

QString printableText(std::string_view text)
{
    return QString::fromLatin1(
        QByteArray(text.data(), qsizetype(text.size())).toPercentEncoding("/:@!$&'()*+,;=-._~"));
}

HttpRequest describeHead(const http::request<http::empty_body>& message, const std::string& remoteAddress)
{
    HttpRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    request.remoteAddress = remoteAddress;
    const auto question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos) {
        const QUrlQuery query(QString::fromUtf8(request.target.substr(question + 1)));
        for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded))
            request.query.emplace_back(key.toStdString(), value.toStdString());
    }
    for (const auto& field : message)
        request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    return request;
}

} // namespace

QString requestLogLine(const std::string& remoteAddress, const std::string& method, const std::string& target,
                       int status, std::size_t bodyBytes)
{
    const auto question = target.find('?');
    QString shown = printableText(std::string_view(target).substr(0, question));
    if (question != std::string::npos) {
        QList<QPair<QString, QString>> items =
            QUrlQuery(QString::fromUtf8(target.substr(question + 1))).queryItems(QUrl::FullyDecoded);
        std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        QStringList query;
        for (const auto& [key, value] : items) {
            const bool secret = key.compare(QStringLiteral("api_key"), Qt::CaseInsensitive) == 0;
            query.append(printableText(key.toStdString()) + u'='
                         + (secret ? QStringLiteral("[hidden]") : printableText(value.toStdString())));
        }
        shown += u'?' + query.join(u'&');
    }
    // One pass over the pattern: text put in (a query may hold "%3C") is never read again.
    return QStringLiteral("[kivopro-service] %1 %2 %3 %4 %5 bytes")
        .arg(printableText(remoteAddress), printableText(method), shown, QString::number(status),
             QString::number(bodyBytes));
}

// What every connection shares with the server; outlives both.
struct ServerState {
    ServerState(RequestRouter router, QThreadPool& front, QThreadPool& workers, HttpServer::Limits limits)
        : router(std::move(router))
        , front(front)
        , workers(workers)
        , limits(std::move(limits))
        , trustedProxy(this->limits.trustedProxy.toStdString())
    {
    }

    RequestRouter router;
    QThreadPool& front;
    QThreadPool& workers;
    HttpServer::Limits limits;
    std::string trustedProxy;

    std::mutex mutex;
    int connections = 0;
    std::unordered_map<std::string, int> perClient;
};

// One connection's place in the counts, given back when the connection ends.
class ConnectionSlot {
public:
    enum class Kind { refused, server, client };

    ConnectionSlot(std::shared_ptr<ServerState> state, std::string client)
        : m_state(std::move(state))
        , m_client(std::move(client))
    {
        const auto& limits = m_state->limits;
        std::lock_guard lock(m_state->mutex);
        if (m_state->connections >= limits.maxConnections)
            return;
        ++m_state->connections;
        m_kind = Kind::server;
        if (limits.maxConnectionsPerClient <= 0 || m_client == m_state->trustedProxy)
            return;
        int& count = m_state->perClient[m_client];
        if (count < limits.maxConnectionsPerClient) {
            ++count;
            m_kind = Kind::client;
        }
    }
    ~ConnectionSlot()
    {
        std::lock_guard lock(m_state->mutex);
        if (m_kind == Kind::refused)
            return;
        --m_state->connections;
        if (m_kind == Kind::client && --m_state->perClient[m_client] == 0)
            m_state->perClient.erase(m_client);
    }
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;

    Kind kind() const { return m_kind; }
    // Over the per-client limit: the connection only gets a refusal.
    bool overClientLimit() const
    {
        return m_kind == Kind::server && m_state->limits.maxConnectionsPerClient > 0 && m_client != m_state->trustedProxy;
    }
    const std::string& client() const { return m_client; }

private:
    std::shared_ptr<ServerState> m_state;
    std::string m_client;
    Kind m_kind = Kind::refused;
};

class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
public:
    HttpConnection(tcp::socket socket, std::shared_ptr<ServerState> state, std::unique_ptr<ConnectionSlot> slot)
        : m_stream(std::move(socket))
        , m_state(std::move(state))
        , m_slot(std::move(slot))
        , m_buffer(m_state->limits.maxHeaderBlock + kChunkLineRoom)
    {
    }

    void start()
    {
        if (m_slot->overClientLimit()) {
            send(jsonError(503, QStringLiteral("Too many connections from your address")), true);
            return;
        }
        readHead();
    }

private:
    const HttpServer::Limits& limits() const { return m_state->limits; }

    void readHead()
    {
        m_request = HttpRequest{};
        m_request.remoteAddress = m_slot->client();
        m_head.emplace();
        m_head->header_limit(std::uint32_t(limits().maxHeaderBlock));
        // The declared length is judged once the router has named its limit.
        m_head->body_limit(boost::none);
        m_stream.expires_after(limits().headerTimeout);
        http::async_read_header(m_stream, m_buffer, *m_head,
                                [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onHead(ec); });
    }

    void onHead(beast::error_code ec)
    {
        if (ec == http::error::header_limit) {
            send(requestLineIncomplete() ? jsonError(414, QStringLiteral("The request address is too long"))
                                         : jsonError(431, QStringLiteral("The request's header is too large")),
                 true);
            return;
        }
        if (ec) {
            // A closed connection or an expired time has nobody to answer; anything else that
            // is not HTTP gets a 400.
            const bool parseError = ec.category() == http::make_error_code(http::error::bad_target).category()
                && ec != http::error::end_of_stream && ec != http::error::partial_message;
            if (parseError)
                send(jsonError(400, QStringLiteral("The request is not valid HTTP")), true);
            return;
        }
        const auto& message = m_head->get();
        m_version = message.version();
        m_keepAlive = message.keep_alive();
        m_request = describeHead(message, m_slot->client());
        if (message.target().size() > limits().maxRequestLine) {
            send(jsonError(414, QStringLiteral("The request address is too long")), true);
            return;
        }
        std::size_t fields = 0;
        for (const auto& field : message) {
            if (field.name_string().size() + field.value().size() + 2 > limits().maxHeaderLine) {
                send(jsonError(431, QStringLiteral("A request header line is too long")), true);
                return;
            }
            ++fields;
        }
        if (fields > limits().maxHeaderFields) {
            send(jsonError(431, QStringLiteral("The request has too many header lines")), true);
            return;
        }
        if (auto refusal = framingRefusal(message)) {
            send(std::move(*refusal), true);
            return;
        }
        m_stream.expires_never();
        decide(m_state->front, [self = shared_from_this(), head = std::make_shared<HttpRequest>(m_request)] {
            return self->m_state->router(*head);
        });
    }

    // Runs a decision on a pool and continues with it on the connection's strand. A decision
    // that needs the database goes on to the database's workers, so that pages and refusals
    // from the head never wait behind a slow database.
    void decide(QThreadPool& pool, std::function<Admission()> decision)
    {
        pool.start([self = shared_from_this(), decision = std::move(decision)] {
            auto admission = std::make_shared<Admission>();
            try {
                *admission = decision();
            } catch (const std::exception& error) {
                logLine(QStringLiteral("[kivopro-service] request failed: ") + QString::fromLocal8Bit(error.what()));
                *admission = Admission::answerNow(jsonError(500, QStringLiteral("Internal server error")));
            }
            net::post(self->m_stream.get_executor(), [self, admission] {
                if (admission->decideWithDatabase) {
                    auto next = std::move(admission->decideWithDatabase);
                    self->decide(self->m_state->workers, std::move(next));
                    return;
                }
                self->onAdmission(std::move(*admission));
            });
        });
    }

    // What HTTP/1.1 forbids in a request's framing, or what this server does not implement:
    // one Host header, and a body framed either by its length or by chunks alone.
    std::optional<HttpResponse> framingRefusal(const http::request<http::empty_body>& message) const
    {
        const std::size_t hosts = message.count(http::field::host);
        if (message.version() >= 11 && hosts != 1)
            return jsonError(400, QStringLiteral("The request must have exactly one Host header"));
        if (hosts > 1)
            return jsonError(400, QStringLiteral("The request has more than one Host header"));
        if (message.count(http::field::transfer_encoding) == 0)
            return std::nullopt;
        if (message.version() < 11)
            return jsonError(400, QStringLiteral("Transfer-Encoding is not allowed in HTTP/1.0"));
        if (message.count(http::field::content_length) > 0)
            return jsonError(400, QStringLiteral("The request has both Transfer-Encoding and Content-Length"));
        std::vector<std::string> codings;
        for (const auto& field : message) {
            if (field.name() != http::field::transfer_encoding)
                continue;
            std::string_view value = field.value();
            while (!value.empty()) {
                const auto comma = value.find(',');
                std::string_view coding = value.substr(0, comma);
                while (!coding.empty() && (coding.front() == ' ' || coding.front() == '\t'))
                    coding.remove_prefix(1);
                while (!coding.empty() && (coding.back() == ' ' || coding.back() == '\t'))
                    coding.remove_suffix(1);
                codings.emplace_back(coding);
                value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
            }
        }
        const auto isChunked = [](const std::string& coding) { return beast::iequals(coding, "chunked"); };
        if (codings.empty() || !isChunked(codings.back()) || std::count_if(codings.begin(), codings.end(), isChunked) != 1)
            return jsonError(400, QStringLiteral("Transfer-Encoding must end with chunked, once"));
        if (codings.size() != 1)
            return jsonError(501, QStringLiteral("Only the chunked transfer coding is implemented"));
        return std::nullopt;
    }

    // The parser takes in the request line as soon as it is complete, and header lines one by
    // one after it: without a target it is the request line that did not fit.
    bool requestLineIncomplete() const { return m_head->get().target().empty(); }

    void onAdmission(Admission admission)
    {
        const bool bodyPending = !m_head->is_done();
        if (admission.answer) {
            send(std::move(*admission.answer), bodyPending);
            return;
        }
        if (!admission.handleBody) {
            send(jsonError(500, QStringLiteral("Internal server error")), bodyPending);
            return;
        }
        const auto declared = m_head->content_length();
        if (declared && *declared > admission.bodyLimit) {
            send(jsonError(413, QStringLiteral("The request body is larger than the limit")), true);
            return;
        }
        m_handleBody = std::move(admission.handleBody);
        if (!bodyPending) {
            dispatch();
            return;
        }
        m_body.emplace(std::move(*m_head));
        m_body->body_limit(admission.bodyLimit);
        if (beast::iequals(m_body->get()[http::field::expect], "100-continue")) {
            auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_, m_version);
            m_stream.expires_after(limits().bodyTimeout);
            http::async_write(m_stream, *interim, [self = shared_from_this(), interim](beast::error_code ec, std::size_t) {
                if (!ec)
                    self->readBody();
            });
            return;
        }
        readBody();
    }

    void readBody()
    {
        m_stream.expires_after(limits().bodyTimeout);
        http::async_read(m_stream, m_buffer, *m_body, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (!ec) {
                self->m_request.body = std::move(self->m_body->get().body());
                self->dispatch();
            } else if (ec == http::error::body_limit) {
                self->send(jsonError(413, QStringLiteral("The request body is larger than the limit")), true);
            } else if (ec == http::error::buffer_overflow) {
                // A chunk line or a trailer that does not end within the read buffer.
                self->send(jsonError(400, QStringLiteral("A chunk line or trailer of the request is too long")), true);
            } else if (ec.category() == http::make_error_code(http::error::bad_chunk).category()
                       && ec != http::error::end_of_stream && ec != http::error::partial_message) {
                self->send(jsonError(400, QStringLiteral("The request body's chunks are not valid HTTP")), true);
            } else {
                // Nobody to answer: the client left or stopped sending.
                self->logUnanswered(ec == beast::error::timeout ? "the body did not arrive in time" : "the client left during the body");
            }
        });
    }

    void logUnanswered(const char* why) const
    {
        logLine(requestLogLine(m_slot->client(), m_request.method.empty() ? "-" : m_request.method,
                               m_request.target.empty() ? "-" : m_request.target, 0, 0)
                + QStringLiteral(" (") + QLatin1StringView(why) + u')');
    }

    // The whole request goes to its handler on a worker thread.
    void dispatch()
    {
        m_stream.expires_never();
        auto request = std::make_shared<HttpRequest>(std::move(m_request));
        m_request.method = request->method;
        m_request.target = request->target;
        m_state->workers.start([self = shared_from_this(), request, handle = std::move(m_handleBody)] {
            const Responder respond = self->responder();
            try {
                handle(std::move(*request), respond);
            } catch (const std::exception& error) {
                logLine(QStringLiteral("[kivopro-service] request failed: ") + QString::fromLocal8Bit(error.what()));
                respond(jsonError(500, QStringLiteral("Internal server error")));
            }
        });
    }

    Responder responder()
    {
        auto answered = std::make_shared<std::atomic<bool>>(false);
        auto answer = [self = shared_from_this(), answered](HttpResponse response) {
            if (answered->exchange(true))
                return;
            auto shared = std::make_shared<HttpResponse>(std::move(response));
            net::post(self->m_stream.get_executor(), [self, shared] { self->send(std::move(*shared), false); });
        };
        // While a handler works nothing reads the socket: a look at it without taking anything
        // tells whether the connection was reset. The end of the client's stream alone may be
        // a client that shut only its sending side and still waits for the answer; an interim
        // "100 Continue" (which HTTP/1.1 clients skip) then tells the two apart, as a closed
        // socket answers it with a reset.
        auto clientGone = [self = shared_from_this(), http11 = m_version >= 11] {
            const int socket = self->m_stream.socket().native_handle();
            // After the client's FIN a read reports the end of the stream, never a later reset:
            // the connection's state tells.
            const auto reset = [socket] {
                tcp_info info{};
                socklen_t length = sizeof info;
                if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
                    return true;
                return info.tcpi_state == TCP_CLOSE;
            };
            char byte = 0;
            const ssize_t peeked = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            if (peeked > 0 || (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)))
                return false;
            if (peeked < 0 || reset())
                return true;
            if (!http11)
                return false;
            static constexpr char interim[] = "HTTP/1.1 100 Continue\r\n\r\n";
            if (::send(socket, interim, sizeof interim - 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
                return true;
            for (int waited = 0; waited < kResetWait.count(); waited += 10) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                if (reset())
                    return true;
            }
            return false;
        };
        return Responder(std::move(answer), std::move(clientGone));
    }

    void send(HttpResponse response, bool closeAfter)
    {
        auto message = std::make_shared<http::response<http::string_body>>();
        message->version(m_version);
        message->result(unsigned(response.status));
        if (!response.contentType.empty())
            message->set(http::field::content_type, response.contentType);
        for (const auto& [name, value] : response.headers)
            message->set(name, value);
        const std::size_t bodyBytes = response.body.size();
        message->body() = std::move(response.body);
        const bool keepAlive = !closeAfter && m_keepAlive && ++m_answered < kMaxRequestsPerConnection;
        message->keep_alive(keepAlive);
        message->prepare_payload();

        const QString line = requestLogLine(m_slot->client(), m_request.method.empty() ? "-" : m_request.method,
                                            m_request.target.empty() ? "-" : m_request.target, response.status, bodyBytes);
        m_stream.expires_after(limits().bodyTimeout);
        http::async_write(m_stream, *message,
                          [self = shared_from_this(), message, keepAlive, line](beast::error_code ec, std::size_t) {
                              logLine(line);
                              if (ec)
                                  return;
                              if (keepAlive)
                                  self->readHead();
                              else
                                  self->lingerClose();
                          });
    }

    void lingerClose()
    {
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        m_stream.expires_after(kLingerTime);
        drain();
    }

    void drain()
    {
        m_stream.async_read_some(net::buffer(m_scratch), [self = shared_from_this()](beast::error_code ec, std::size_t bytes) {
            self->m_drained += bytes;
            if (ec || self->m_drained > kLingerBytes) {
                beast::error_code ignored;
                self->m_stream.socket().close(ignored);
                return;
            }
            self->drain();
        });
    }

    beast::tcp_stream m_stream;
    std::shared_ptr<ServerState> m_state;
    std::unique_ptr<ConnectionSlot> m_slot;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::empty_body>> m_head;
    std::optional<http::request_parser<http::string_body>> m_body;
    HttpRequest m_request;
    std::function<void(HttpRequest, Responder)> m_handleBody;
    unsigned m_version = 11;
    bool m_keepAlive = false;
    int m_answered = 0;
    std::array<char, 16384> m_scratch{};
    std::size_t m_drained = 0;
};

// The handlers queued in `io` refer to the Impl that owns it: they are destroyed with it.
struct HttpServer::Impl {
    Impl(RequestRouter router, QThreadPool& front, QThreadPool& workers, Limits limits)
        : state(std::make_shared<ServerState>(std::move(router), front, workers, std::move(limits)))
    {
    }

    void accept()
    {
        acceptor.async_accept(net::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
            if (ec == net::error::operation_aborted || !acceptor.is_open())
                return;
            if (ec) {
                // Out of file descriptors, usually: try again shortly instead of spinning.
                retry.expires_after(std::chrono::milliseconds(50));
                retry.async_wait([this](beast::error_code waited) {
                    if (!waited)
                        accept();
                });
                return;
            }
            open(std::move(socket));
            accept();
        });
    }

    void open(tcp::socket socket)
    {
        beast::error_code ec;
        const tcp::endpoint peer = socket.remote_endpoint(ec);
        if (ec)
            return;
        socket.set_option(tcp::no_delay(true), ec);
        auto slot = std::make_unique<ConnectionSlot>(state, peer.address().to_string());
        if (slot->kind() == ConnectionSlot::Kind::refused)
            return; // the server is full: the socket closes here
        std::make_shared<HttpConnection>(std::move(socket), state, std::move(slot))->start();
    }

    std::shared_ptr<ServerState> state;
    net::io_context io;
    tcp::acceptor acceptor{io};
    net::steady_timer retry{io};
    std::vector<std::thread> threads;
    int port = -1;
};

HttpServer::HttpServer(RequestRouter router, QThreadPool& front, QThreadPool& workers, Limits limits)
    : d(std::make_unique<Impl>(std::move(router), front, workers, std::move(limits)))
{
}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::listen(const QString& host, int port, QString* error)
{
    beast::error_code ec;
    tcp::resolver resolver(d->io);
    const auto endpoints = resolver.resolve(host.toStdString(), std::to_string(port),
                                            tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (!ec && endpoints.empty())
        ec = net::error::host_not_found;
    if (!ec) {
        const tcp::endpoint endpoint = *endpoints.begin();
        d->acceptor.open(endpoint.protocol(), ec);
        if (!ec)
            d->acceptor.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec)
            d->acceptor.bind(endpoint, ec);
        if (!ec)
            d->acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3").arg(host).arg(port).arg(QString::fromStdString(ec.message()));
        beast::error_code ignored;
        d->acceptor.close(ignored);
        return false;
    }
    d->port = d->acceptor.local_endpoint().port();
    d->accept();
    for (int i = 0; i < std::max(1, d->state->limits.networkThreads); ++i)
        d->threads.emplace_back([impl = d.get()] { impl->io.run(); });
    return true;
}

void HttpServer::stop()
{
    if (d->threads.empty())
        return;
    d->io.stop();
    for (std::thread& thread : d->threads)
        thread.join();
    d->threads.clear();
    // No thread runs the handlers any more; the open connections end with the server.
    beast::error_code ignored;
    d->acceptor.close(ignored);
}

int HttpServer::port() const
{
    return d->port;
}

} // namespace kivo::service
