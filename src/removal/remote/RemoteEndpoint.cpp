#include "RemoteEndpoint.h"

#include "core/AppConstants.h"

namespace kivo {

namespace {

QString trimmedAddress(const QString& address)
{
    QString text = address.trimmed();
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == u'/')
        ++begin;
    while (end > begin && text.at(end - 1) == u'/')
        --end;
    return text.mid(begin, end - begin);
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
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme != u"http" && scheme != u"https")
        return std::nullopt;
    return url;
}

} // namespace kivo
