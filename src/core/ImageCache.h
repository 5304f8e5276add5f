#pragma once

#include <QImage>
#include <QString>

#include <memory>
#include <optional>

class QLockFile;

namespace kivo {

// A photo or a cut-out as a removal task keeps it: its encoded bytes in the run's cache folder
// and a card-size thumbnail in memory. The full-size pixels are decoded only while they are
// needed (processing, an upload, the editor) and dropped after, so a batch of hundreds of photos
// costs a thumbnail each, not a decoded photo each.
//
// Copies share one file, which goes with the last copy. Safe to copy and read on any thread.
class CachedImage {
public:
    CachedImage() = default;

    // The thumbnail alone, for an image whose bytes could not be kept (a full disk).
    static CachedImage thumbnailOnly(const QImage& thumbnail, QSize size);

    bool isNull() const { return !m_entry; }
    // Whether the encoded bytes are kept.
    bool hasBytes() const;
    QString filePath() const;
    QImage thumbnail() const;
    // The full image's pixel size.
    QSize size() const;

    // The bytes as kept; nothing when they cannot be read.
    std::optional<QByteArray> readBytes() const;
    // The full image, decoded as photos are loaded everywhere; null when it cannot be.
    QImage decode() const;

    // The same kept image, not merely equal pixels.
    friend bool operator==(const CachedImage& a, const CachedImage& b) { return a.m_entry == b.m_entry; }

private:
    friend class ImageCache;
    struct Entry;
    explicit CachedImage(std::shared_ptr<const Entry> entry);

    std::shared_ptr<const Entry> m_entry;
};

// The thumbnail a task's card shows: at most 240 pixels on the longer side, aspect kept; a
// smaller image is its own thumbnail.
QImage makeCardThumbnail(const QImage& image);
inline constexpr int cardThumbnailSide = 240;

// The cache folder of this run of the application, under the user's cache folder. It holds only
// files that some task still refers to, disappears while it holds none, and is removed when the
// application quits; the folders of runs that ended without removing theirs (a crash) are
// removed when the next cache is made.
class ImageCache {
public:
    // The application's cache, in <user cache folder>/runs; made on first use (the application
    // makes it at start, which removes the stale folders).
    static ImageCache& shared();
    static QString defaultRunsFolder();

    // A cache whose run folders live in `runsFolder`.
    explicit ImageCache(const QString& runsFolder);
    ~ImageCache();

    ImageCache(const ImageCache&) = delete;
    ImageCache& operator=(const ImageCache&) = delete;

    // This run's folder (absent while no file is kept).
    QString folder() const;

    // Keeps `bytes` as a new file with the extension `suffix`. Nothing, with the reason in
    // `error`, when the file cannot be written (a full disk). Thread-safe.
    std::optional<CachedImage> store(const QByteArray& bytes, const QString& suffix, const QImage& thumbnail,
                                     QSize size, QString* error = nullptr);

    // This run's folder and its lock, shared with the kept files.
    struct Folder;

private:
    static void removeStaleRuns(const QString& runsFolder);

    std::shared_ptr<Folder> m_folder;
    std::unique_ptr<QLockFile> m_lock;
};

} // namespace kivo
