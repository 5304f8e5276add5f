#pragma once

#include "HttpServer.h"

#include <QString>

#include <cstddef>
#include <memory>

namespace kivo::service {

class AccountStore;

// The stand-in for the removal service and its backend: an HTTP server that speaks the removal
// endpoint, the sign-in and the transactions list exactly as the application expects them, and
// serves a few plain pages for the links the application opens.
//
//   POST /v1.0.1/remove_background   multipart "return_type" + "image", header X-API-KEY
//   POST /api/app/login              JSON {"email", "password"} or {"api_key"}, "app_id", "device_info"
//   GET  /api/transactions           ?page=&limit=&app_id=&api_key=
//   GET  /, /profile, /profile/transactions, /transactions/<id>, /images/<name>.png, /avatar/<id>.png
//
// Removals run the local engine on a queue of their own; each successful one takes a credit and
// is recorded as a transaction, together, when its answer is ready. Everything else is answered
// by a pool of workers that never waits for the model.
class ServiceServer {
public:
    struct Options {
        QString host = QStringLiteral("127.0.0.1");
        int port = 0; // 0: any free port
        std::size_t maxRequestBytes = 50u * 1024u * 1024u;
        // Where the transactions' preview images are kept; empty: a temporary folder that goes
        // away with the server.
        QString imageFolder;
        // Removals admitted at once (uploading, waiting or running); more are refused with 503.
        int removalQueueCapacity = 16;
        // The model's threads run at this niceness, so that on a machine of its own the service
        // answers everything else first while removals run. On a machine shared with other busy
        // work, a high value lets that work starve the removals.
        int modelNiceness = 10;
        int workerThreads = 8;
        // Load the segmentation network at start rather than before the first removal.
        bool preloadModel = false;
        HttpServer::Limits limits;
    };

    ServiceServer(AccountStore& store, Options options);
    ~ServiceServer();

    ServiceServer(const ServiceServer&) = delete;
    ServiceServer& operator=(const ServiceServer&) = delete;

    // Prepares the image folder, binds and serves on threads of its own; false, with the
    // reason, when that fails.
    bool start(QString* error);
    // Safe from any thread; returns once nothing of the server runs any more.
    void stop();

    int port() const;
    // "http://host:port"
    QString address() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace kivo::service
