#include "RemoteEndpoint.h"

#include "core/AppConstants.h"
#include "core/WebAddress.h"

namespace kivo {

namespace {

QString trimmedAddress(const QString& address)
{
    return trimSlashes(address.trimmed());
}

} // namespace

QString removalApiBaseURL(const QString& backendBaseURLString)
{
    const QString server = trimmedAddress(backendBaseURLString);
    if (server.isEmpty() || server == trimmedAddress(QString(kDefaultWebsiteBaseURL)))
        return QString(kDefaultApiBaseURL);
    return server;
}

QString removalEndpointString(const QString& backendBaseURLString)
{
    return removalApiBaseURL(backendBaseURLString) + kRemovalEndpointPath;
}

std::optional<QUrl> parseRemovalEndpoint(const QString& endpointString)
{
    const QUrl url(endpointString, QUrl::StrictMode);
    if (!isWebAddress(url))
        return std::nullopt;
    return url;
}

} // namespace kivo
