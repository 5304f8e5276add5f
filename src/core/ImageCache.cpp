#include "ImageCache.h"

#include "AtomicFile.h"
#include "ImageFileLoader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QMutex>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QUuid>

namespace kivo {

namespace {

constexpr int thumbnailSide = cardThumbnailSide;

QString lockPath(const QString& runFolder)
{
    return runFolder + QStringLiteral(".lock");
}

} // namespace

// This run's folder, shared by the cache and every kept file: removing a file and, when it was
// the last, the folder must not interleave with writing a new one.
struct ImageCache::Folder {
    QString path;
    QMutex mutex;
};

struct CachedImage::Entry {
    std::shared_ptr<ImageCache::Folder> folder;
    QString path;
    QImage thumbnail;
    QSize size;

    ~Entry()
    {
        if (path.isEmpty() || !folder)
            return;
        QMutexLocker lock(&folder->mutex);
        QFile::remove(path);
        // Only succeeds once the folder is empty.
        QDir().rmdir(folder->path);
    }
};

CachedImage::CachedImage(std::shared_ptr<const Entry> entry)
    : m_entry(std::move(entry))
{
}

CachedImage CachedImage::thumbnailOnly(const QImage& thumbnail, QSize size)
{
    auto entry = std::make_shared<Entry>();
    entry->thumbnail = thumbnail;
    entry->size = size;
    return CachedImage(std::move(entry));
}

bool CachedImage::hasBytes() const
{
    return m_entry && !m_entry->path.isEmpty();
}

QString CachedImage::filePath() const
{
    return m_entry ? m_entry->path : QString();
}

QImage CachedImage::thumbnail() const
{
    return m_entry ? m_entry->thumbnail : QImage();
}

QSize CachedImage::size() const
{
    return m_entry ? m_entry->size : QSize();
}

std::optional<QByteArray> CachedImage::readBytes() const
{
    if (!hasBytes())
        return std::nullopt;
    QFile file(m_entry->path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

QImage CachedImage::decode() const
{
    return hasBytes() ? loadImageFile(m_entry->path) : QImage();
}

QImage makeCardThumbnail(const QImage& image)
{
    if (image.isNull())
        return {};
    if (image.width() <= thumbnailSide && image.height() <= thumbnailSide)
        return image;
    // A quick step down to four times the size first: smoothing all of a 12 MP photo costs
    // tens of milliseconds and looks no different at card size.
    const int coarse = thumbnailSide * 4;
    const QImage reduced = image.width() > coarse || image.height() > coarse
        ? image.scaled(coarse, coarse, Qt::KeepAspectRatio, Qt::FastTransformation)
        : image;
    QImage thumbnail = reduced.scaled(thumbnailSide, thumbnailSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    thumbnail.setDevicePixelRatio(1.0);
    return thumbnail;
}

ImageCache& ImageCache::shared()
{
    static ImageCache cache(defaultRunsFolder());
    return cache;
}

QString ImageCache::defaultRunsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/runs");
}

ImageCache::ImageCache(const QString& runsFolder)
    : m_folder(std::make_shared<Folder>())
{
    QDir().mkpath(runsFolder);
    removeStaleRuns(runsFolder);
    const QString runName = QStringLiteral("%1-%2")
                                .arg(QCoreApplication::applicationPid())
                                .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    m_folder->path = QDir(runsFolder).filePath(runName);
    // The lock beside the folder says the run is alive; the folder itself comes and goes.
    m_lock = std::make_unique<QLockFile>(lockPath(m_folder->path));
    m_lock->setStaleLockTime(0);
    m_lock->tryLock(0);
}

ImageCache::~ImageCache()
{
    {
        QMutexLocker lock(&m_folder->mutex);
        QDir(m_folder->path).removeRecursively();
    }
    m_lock->unlock();
}

QString ImageCache::folder() const
{
    return m_folder->path;
}

std::optional<CachedImage> ImageCache::store(const QByteArray& bytes, const QString& suffix, const QImage& thumbnail,
                                             QSize size, QString* error)
{
    QMutexLocker lock(&m_folder->mutex);
    const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces) + u'.' + suffix.toLower();
    const QString path = QDir(m_folder->path).filePath(name);
    const std::optional<QString> failure = QDir().mkpath(m_folder->path)
        ? writeFileAtomically(path, bytes)
        : QStringLiteral("cannot create %1").arg(m_folder->path);
    if (failure) {
        if (error)
            *error = *failure;
        QDir().rmdir(m_folder->path);
        return std::nullopt;
    }
    auto entry = std::make_shared<CachedImage::Entry>();
    entry->folder = m_folder;
    entry->path = path;
    entry->thumbnail = thumbnail;
    entry->size = size;
    return CachedImage(std::move(entry));
}

// A run is stale when its lock can be taken: the process that held it is gone. A folder
// without a lock has no run at all.
void ImageCache::removeStaleRuns(const QString& runsFolder)
{
    const QDir runs(runsFolder);
    for (const QString& name : runs.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QString folder = runs.filePath(name);
        if (!QFile::exists(lockPath(folder)))
            QDir(folder).removeRecursively();
    }
    for (const QString& name : runs.entryList({QStringLiteral("*.lock")}, QDir::Files | QDir::Hidden)) {
        QLockFile lock(runs.filePath(name));
        lock.setStaleLockTime(0);
        if (!lock.tryLock(0))
            continue;
        QString folder = runs.filePath(name);
        folder.chop(int(qstrlen(".lock")));
        QDir(folder).removeRecursively();
        lock.unlock();
    }
}

} // namespace kivo
