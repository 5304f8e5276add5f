#pragma once

#include "BackendHttp.h"

#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QUrl>

#include <optional>

namespace kivo {

// Pictures from the network (the transactions' thumbnails, the account's avatar): each address
// is fetched once, decoded and scaled off the window's thread, and kept for the next ask.
class RemoteImageLoader : public QObject {
    Q_OBJECT
public:
    // Pictures are scaled down to fit maxSize (device pixels), keeping their proportions.
    explicit RemoteImageLoader(QSize maxSize, QObject* parent = nullptr);

    // The picture once it has arrived; until then nothing, and the first ask starts the fetch.
    std::optional<QImage> image(const QUrl& url);

signals:
    // The fetch of url ended, with a picture or without (a failed one is not tried again).
    void finished(const QUrl& url);

private:
    void decode(const QUrl& url, const QByteArray& bytes);
    void store(const QUrl& url, const QImage& image);

    QSize m_maxSize;
    BackendHttp m_http;
    QHash<QUrl, QImage> m_images;
    QSet<QUrl> m_pending;
    QSet<QUrl> m_failed;
};

} // namespace kivo
