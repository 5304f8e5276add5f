#pragma once

#include "HttpExchange.h"

#include <QString>

#include <chrono>
#include <cstddef>
#include <memory>

class QThreadPool;

namespace kivo::service {

// The service's HTTP/1.1 transport (Boost.Beast). It holds every client to its limits before a
// handler sees anything, on a few network threads that never wait for a handler:
// - a request line over `maxRequestLine` is answered 414, a header line over `maxHeaderLine`
//   or a header block over `maxHeaderBlock` 431, as soon as that much has arrived;
// - the head must arrive within `headerTimeout` and a body within `bodyTimeout`, so slow
//   clients cannot hold connections; each client address keeps at most
//   `maxConnectionsPerClient` connections;
// - at most `maxHeaderFields` header lines; one Host header; a body framed by Content-Length
//   or by chunks alone (400, or 501 for transfer codings other than chunked); a chunk line or
//   trailer must end within 16 KiB (400), so nothing a client sends is buffered without bound;
// - the router decides on the head alone (on a thread that never waits for the database), so
//   a refusal never reads the body; a declared length over the router's limit is answered 413
//   at once, and chunked bodies are counted against the same limit while they arrive.
// Each request is logged on one line, with the API key hidden, also when it is refused or
// left unanswered.
class HttpServer {
public:
    struct Limits {
        std::size_t maxRequestLine = 8 * 1024;
        std::size_t maxHeaderLine = 8 * 1024;
        std::size_t maxHeaderBlock = 64 * 1024;
        std::size_t maxHeaderFields = 100;
        // From the connection, or the previous answer, to the end of the head.
        std::chrono::milliseconds headerTimeout{10'000};
        // To receive a body, and to send an answer.
        std::chrono::milliseconds bodyTimeout{60'000};
        // 0: no limit.
        int maxConnectionsPerClient = 128;
        int maxConnections = 4096;
        // A reverse proxy's address: its connections carry many clients, so the per-client
        // limit does not apply to them.
        QString trustedProxy;
        int networkThreads = 2;
    };

    // The router runs on `front`, decisions it defers to the database and the handlers of
    // bodies on `workers`; both pools must outlive the server's connections.
    HttpServer(RequestRouter router, QThreadPool& front, QThreadPool& workers, Limits limits);
    ~HttpServer();

    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts serving; false, with the reason, when the address cannot be used.
    bool listen(const QString& host, int port, QString* error);
    // Closes the listening socket and ends the network threads; answers still being prepared
    // are dropped.
    void stop();
    int port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The request as one log line: the query rebuilt with the API key hidden and every byte
// outside printable ASCII percent-encoded, so a request can neither leak a key nor forge lines.
QString requestLogLine(const std::string& remoteAddress, const std::string& method, const std::string& target,
                       int status, std::size_t bodyBytes);

} // namespace kivo::service
