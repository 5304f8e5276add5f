#include "WebAddress.h"

#include <QDesktopServices>

namespace kivo {

QString trimSlashes(const QString& address)
{
    qsizetype begin = 0;
    qsizetype end = address.size();
    while (begin < end && address.at(begin) == u'/')
        ++begin;
    while (end > begin && address.at(end - 1) == u'/')
        --end;
    return address.mid(begin, end - begin);
}

bool isWebAddress(const QUrl& url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    return scheme == u"http" || scheme == u"https";
}

std::optional<QString> normalizedServerAddress(const QString& typed)
{
    // Slashes around it too, as every backend address is read.
    const QString trimmed = typed.trimmed();
    const bool hasScheme = trimmed.contains(QStringLiteral("://"));
    QString address = trimSlashes(trimmed);
    if (address.isEmpty())
        return std::nullopt;
    if (!hasScheme)
        address.prepend(QStringLiteral("https://"));
    const QUrl url(address, QUrl::StrictMode);
    if (!isWebAddress(url) || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return std::nullopt;
    return address;
}

bool isSameServer(const QString& first, const QString& second)
{
    const auto a = normalizedServerAddress(first);
    const auto b = normalizedServerAddress(second);
    if (!a || !b)
        return false;
    const QUrl left(*a);
    const QUrl right(*b);
    const auto defaultPort = [](const QUrl& url) { return url.scheme().toLower() == u"https" ? 443 : 80; };
    return left.scheme().toLower() == right.scheme().toLower() && left.host() == right.host()
        && left.port(defaultPort(left)) == right.port(defaultPort(right)) && left.path() == right.path();
}

bool openWebAddress(const QUrl& url)
{
    if (!isWebAddress(url))
        return false;
    return QDesktopServices::openUrl(url);
}

} // namespace kivo
