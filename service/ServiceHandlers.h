#pragma once

#include "AccountStore.h"

#include <QString>

#include <httplib.h>

#include <cstddef>

namespace kivo::service {

// What the request handlers share; owned by the server.
struct HandlerContext {
    AccountStore& store;
    QString imageFolder;
    std::size_t maxRequestBytes = 0;
    // The server's own address, for absolute links when a request names no usable host.
    QString address;
};

void handleRemoval(const HandlerContext& context, const httplib::Request& request, httplib::Response& response,
                   const httplib::ContentReader& reader);
void handleLogin(const HandlerContext& context, const httplib::Request& request, httplib::Response& response,
                 const httplib::ContentReader& reader);
void handleTransactions(const HandlerContext& context, const httplib::Request& request,
                        httplib::Response& response);

// A short JSON error body: {"error": message}.
void setJsonError(httplib::Response& response, int status, const QString& message);

// "http://<host>" as the client addressed the server, for links in answers and pages.
QString publicBaseURL(const HandlerContext& context, const httplib::Request& request);

} // namespace kivo::service
