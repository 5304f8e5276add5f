#include "ServiceServer.h"

#include "AccountStore.h"
#include "PrivateImageFolder.h"
#include "RemovalQueue.h"
#include "ServiceHandlers.h"

#include <QTemporaryDir>
#include <QThreadPool>
#include <QUrl>

#include <mutex>

namespace kivo::service {

// Members are destroyed bottom-up: the HTTP server (and with it the connections, which may
// hold places in the queue) before the queue, the workers and what the handlers use.
struct ServiceServer::Impl {
    Impl(AccountStore& store, Options options)
        : options(std::move(options))
        , temporaryImages(this->options.imageFolder.isEmpty() ? std::make_unique<QTemporaryDir>() : nullptr)
        , images(temporaryImages ? temporaryImages->path() : this->options.imageFolder)
        , removals(this->options.removalQueueCapacity, this->options.modelNiceness)
        , context{store,     images, removals, credits, signIns, workers, this->options.maxRequestBytes, QString(),
                  this->options.limits.trustedProxy}
        , http([this](const HttpRequest& head) { return routeRequest(context, head); }, front, workers, this->options.limits)
    {
        // Pages and refusals from the head: a few threads that never touch the database.
        front.setMaxThreadCount(2);
        workers.setMaxThreadCount(std::max(1, this->options.workerThreads));
        // Threads stay: each keeps its database connection.
        workers.setExpiryTimeout(-1);
    }

    Options options;
    std::unique_ptr<QTemporaryDir> temporaryImages;
    PrivateImageFolder images;
    QThreadPool front;
    QThreadPool workers;
    RemovalQueue removals;
    CreditReservations credits;
    SignInLimiter signIns;
    HandlerContext context;
    HttpServer http;
    std::once_flag stopped;
};

ServiceServer::ServiceServer(AccountStore& store, Options options)
    : d(std::make_unique<Impl>(store, std::move(options)))
{
}

ServiceServer::~ServiceServer()
{
    stop();
}

bool ServiceServer::start(QString* error)
{
    if (!d->images.prepare(error))
        return false;
    if (!d->http.listen(d->options.host, d->options.port, error))
        return false;
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(d->options.host);
    url.setPort(d->http.port());
    d->context.address = url.toString();
    if (d->options.preloadModel)
        d->removals.preload();
    return true;
}

void ServiceServer::stop()
{
    std::call_once(d->stopped, [this] {
        d->http.stop();
        d->removals.stop();
        d->front.waitForDone();
        d->workers.waitForDone();
    });
}

int ServiceServer::port() const
{
    return d->http.port();
}

QString ServiceServer::address() const
{
    return d->context.address;
}

} // namespace kivo::service
