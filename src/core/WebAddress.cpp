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

bool openWebAddress(const QUrl& url)
{
    if (!isWebAddress(url))
        return false;
    return QDesktopServices::openUrl(url);
}

} // namespace kivo
