#include "RemoteImageLoader.h"

#include <QBuffer>
#include <QFutureWatcher>
#include <QImageReader>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

namespace {

// Thumbnails and avatars are small; a larger answer is not a picture meant for them.
constexpr qint64 kMaxPictureBytes = 20 * 1024 * 1024;
// The cache holds scaled pictures only; this bounds it over a long session of paging.
constexpr qsizetype kMaxCachedPictures = 400;

QImage readScaled(QByteArray bytes, QSize maxSize)
{
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > maxSize.width() || size.height() > maxSize.height()))
        reader.setScaledSize(size.scaled(maxSize, Qt::KeepAspectRatio));
    return reader.read();
}

} // namespace

RemoteImageLoader::RemoteImageLoader(QSize maxSize, QObject* parent)
    : QObject(parent)
    , m_maxSize(maxSize)
{
}

std::optional<QImage> RemoteImageLoader::image(const QUrl& url)
{
    if (const auto found = m_images.constFind(url); found != m_images.constEnd())
        return *found;
    if (m_pending.contains(url) || m_failed.contains(url))
        return std::nullopt;
    m_pending.insert(url);
    m_http.get(
        url, "image/*",
        [this, url](const RemoteHttpResult& result) {
            if (result.transportError || result.status != 200) {
                store(url, QImage());
                return;
            }
            decode(url, result.body);
        },
        kMaxPictureBytes);
    return std::nullopt;
}

void RemoteImageLoader::decode(const QUrl& url, const QByteArray& bytes)
{
    // The watcher belongs to this object: once it is gone, a decode still running ends unheard.
    auto* watcher = new QFutureWatcher<QImage>(this);
    connect(watcher, &QFutureWatcher<QImage>::finished, this, [this, watcher, url] {
        watcher->deleteLater();
        store(url, watcher->result());
    });
    watcher->setFuture(QtConcurrent::run(readScaled, bytes, m_maxSize));
}

void RemoteImageLoader::store(const QUrl& url, const QImage& image)
{
    m_pending.remove(url);
    if (image.isNull()) {
        m_failed.insert(url);
    } else {
        if (m_images.size() >= kMaxCachedPictures)
            m_images.clear();
        m_images.insert(url, image);
    }
    emit finished(url);
}

} // namespace kivo
