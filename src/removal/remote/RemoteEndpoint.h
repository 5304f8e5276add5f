#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace kivo {

// The removal endpoint's fixed path and query; only the API base URL depends on the deployment.
inline constexpr QLatin1StringView kRemovalEndpointPath{"/v1.0.1/remove_background?site_url=kivo-pro-macos"};

// The API base URL for a backend address (the account page's "Server"): the default website, or
// a blank address, means the hosted API; any other server is taken to serve the API itself (a
// self-hosted service such as kivopro-service does). White space and every "/" are trimmed from
// both ends.
QString removalApiBaseURL(const QString& backendBaseURLString);

// The API base URL followed by the endpoint's path and query.
QString removalEndpointString(const QString& backendBaseURLString);

// The endpoint as a URL the HTTP layer can use (http or https with a host), or absent.
std::optional<QUrl> parseRemovalEndpoint(const QString& endpointString);

} // namespace kivo
