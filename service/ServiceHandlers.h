#pragma once

#include "AccountStore.h"
#include "CreditReservations.h"
#include "HttpExchange.h"
#include "PrivateImageFolder.h"
#include "RemovalQueue.h"
#include "SignInLimiter.h"

#include <QString>

#include <cstddef>
#include <functional>

class QThreadPool;

namespace kivo::service {

// What the request handlers share; owned by the server.
struct HandlerContext {
    AccountStore& store;
    PrivateImageFolder& images;
    RemovalQueue& removals;
    CreditReservations& credits;
    SignInLimiter& signIns;
    // Where handlers continue after the model's work.
    QThreadPool& workers;
    std::size_t maxRequestBytes = 0;
    // The server's own address, for absolute links when a request names no usable host.
    QString address;
    // A reverse proxy whose X-Forwarded-For and X-Forwarded-Proto are believed.
    QString trustedProxy;
};

// The service's routes: decides on each request head (see Admission). Database failures are
// answered 503 and logged.
Admission routeRequest(const HandlerContext& context, const HttpRequest& head);

// POST /v1.0.1/remove_background, on a database worker: the key is checked and a credit
// promised from the head alone; the body is read only then, and a place in the removal queue
// taken once it has arrived.
Admission admitRemoval(const HandlerContext& context, const HttpRequest& head);

HttpResponse handleLogin(const HandlerContext& context, const HttpRequest& request);
HttpResponse handleTransactions(const HandlerContext& context, const HttpRequest& request);

// The work's answer, or 503 (and a log line) when the database fails on the way.
HttpResponse answerUnlessStoreFails(const std::function<HttpResponse()>& work);
HttpResponse storeFailureAnswer(const StoreFailure& failure);

// "http://<host>" as the client addressed the server, for links in answers and pages.
QString publicBaseURL(const HandlerContext& context, const HttpRequest& request);
// The client's address: the proxy's X-Forwarded-For for requests through the trusted proxy.
QString clientAddress(const HandlerContext& context, const HttpRequest& request);

QString fromStd(const std::string& text);

} // namespace kivo::service
