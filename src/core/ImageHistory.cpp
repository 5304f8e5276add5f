#include "ImageHistory.h"

#include "ImageAllocation.h"

#include <QColorSpace>
#include <QCoreApplication>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentMap>
#include <QtConcurrent/QtConcurrentRun>

#include <zstd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <numeric>
#include <optional>
#include <unordered_set>
#include <vector>

namespace kivo {

namespace {

// 256 pixels of 32 bits by 128 rows: small enough that a brush stroke touches few tiles, large
// enough that per-tile overhead stays negligible.
constexpr qsizetype tileBytes = 1024;
constexpr int tileRows = 128;
// zstd's fastest level: compresses at several hundred MB/s and decompresses at over 1 GB/s.
constexpr int compressionLevel = 1;

using Tile = std::shared_ptr<const QByteArray>;

// The history's own threads, made on first use and stopped when the application object goes
// (or at exit without one): queued work is dropped, work under way finishes while Qt is
// still whole. Compression and restoring each run one snapshot at a time
// (compression in order, so that each snapshot finds its predecessor's tiles) and spread the
// tiles of that snapshot over all cores.
struct HistoryWorkers {
    QThreadPool tiles;
    QThreadPool compression;
    QThreadPool restore;

    HistoryWorkers()
    {
        compression.setMaxThreadCount(1);
        restore.setMaxThreadCount(1);
        if (QCoreApplication::instance())
            qAddPostRoutine([] { instance().stop(); });
    }
    ~HistoryWorkers() { stop(); }

    void stop()
    {
        compression.clear();
        restore.clear();
        compression.waitForDone();
        restore.waitForDone();
        tiles.waitForDone();
    }

    static HistoryWorkers& instance()
    {
        static HistoryWorkers workers;
        return workers;
    }
};

// Everything besides the pixel bytes that makes the restored image equal to the appended one.
struct ImageGeometry {
    QSize size;
    QImage::Format format = QImage::Format_Invalid;
    qsizetype rowBytes = 0;
    qreal devicePixelRatio = 1.0;
    int dotsPerMeterX = 0;
    int dotsPerMeterY = 0;
    QList<QRgb> colorTable;
    QColorSpace colorSpace;

    static ImageGeometry of(const QImage& image)
    {
        return {image.size(),
                image.format(),
                (qsizetype(image.width()) * image.depth() + 7) / 8,
                image.devicePixelRatio(),
                image.dotsPerMeterX(),
                image.dotsPerMeterY(),
                image.colorTable(),
                image.colorSpace()};
    }
    int columns() const { return int((rowBytes + tileBytes - 1) / tileBytes); }
    int rows() const { return (size.height() + tileRows - 1) / tileRows; }
    bool sameLayout(const ImageGeometry& other) const
    {
        return size == other.size && format == other.format && rowBytes == other.rowBytes;
    }
};

struct TileRect {
    qsizetype firstByte;
    qsizetype byteCount;
    int firstRow;
    int rowCount;
};

TileRect tileRect(const ImageGeometry& geometry, int index)
{
    const int column = index % geometry.columns();
    const int row = index / geometry.columns();
    const qsizetype firstByte = column * tileBytes;
    const int firstRow = row * tileRows;
    return {firstByte, std::min(tileBytes, geometry.rowBytes - firstByte), firstRow,
            std::min(tileRows, geometry.size.height() - firstRow)};
}

bool tileEqual(const QImage& a, const QImage& b, const TileRect& rect)
{
    for (int y = rect.firstRow; y < rect.firstRow + rect.rowCount; ++y)
        if (std::memcmp(a.constScanLine(y) + rect.firstByte, b.constScanLine(y) + rect.firstByte, rect.byteCount) != 0)
            return false;
    return true;
}

Tile compressTile(const QImage& image, const TileRect& rect)
{
    std::vector<char> raw(size_t(rect.byteCount * rect.rowCount));
    for (int y = 0; y < rect.rowCount; ++y)
        std::memcpy(raw.data() + y * rect.byteCount, image.constScanLine(rect.firstRow + y) + rect.firstByte,
                    size_t(rect.byteCount));
    QByteArray packed(qsizetype(ZSTD_compressBound(raw.size())), Qt::Uninitialized);
    const size_t written = ZSTD_compress(packed.data(), size_t(packed.size()), raw.data(), raw.size(), compressionLevel);
    if (ZSTD_isError(written))
        return {};
    packed.truncate(qsizetype(written));
    packed.squeeze();
    return std::make_shared<const QByteArray>(std::move(packed));
}

bool decompressTile(const QByteArray& packed, QImage& image, const TileRect& rect)
{
    std::vector<char> raw(size_t(rect.byteCount * rect.rowCount));
    const size_t read = ZSTD_decompress(raw.data(), raw.size(), packed.constData(), size_t(packed.size()));
    if (ZSTD_isError(read) || read != raw.size())
        return false;
    for (int y = 0; y < rect.rowCount; ++y)
        std::memcpy(image.scanLine(rect.firstRow + y) + rect.firstByte, raw.data() + y * rect.byteCount,
                    size_t(rect.byteCount));
    return true;
}

// A snapshot in compressed form. Immutable once made; tiles may be shared with the previous
// snapshot's.
struct CompressedImage {
    ImageGeometry geometry;
    std::vector<Tile> tiles;
};

std::shared_ptr<const CompressedImage> compress(const QImage& image, const QImage& previous,
                                                const std::shared_ptr<const CompressedImage>& previousTiles)
{
    auto result = std::make_shared<CompressedImage>();
    result->geometry = ImageGeometry::of(image);
    if (image.isNull())
        return result;
    const ImageGeometry& geometry = result->geometry;
    const bool canShare = previousTiles && !previous.isNull() && geometry.sameLayout(previousTiles->geometry)
        && geometry.sameLayout(ImageGeometry::of(previous));
    result->tiles.resize(size_t(geometry.columns()) * size_t(geometry.rows()));

    std::vector<int> indices(result->tiles.size());
    std::iota(indices.begin(), indices.end(), 0);
    std::atomic_bool failed = false;
    QtConcurrent::blockingMap(&HistoryWorkers::instance().tiles, indices, [&](int index) {
        const TileRect rect = tileRect(geometry, index);
        if (canShare && tileEqual(image, previous, rect)) {
            result->tiles[size_t(index)] = previousTiles->tiles[size_t(index)];
            return;
        }
        result->tiles[size_t(index)] = compressTile(image, rect);
        if (!result->tiles[size_t(index)])
            failed = true;
    });
    if (failed)
        return nullptr;
    return result;
}

// A snapshot held as an image next to the one being restored: tiles the two share are copied
// from its pixels instead of being decompressed. Consecutive snapshots of brush strokes share
// almost every tile, so stepping through the history costs little more than a copy.
struct Reference {
    QImage image;
    std::shared_ptr<const CompressedImage> compressed;
};

void copyTile(const QImage& from, QImage& to, const TileRect& rect)
{
    for (int y = rect.firstRow; y < rect.firstRow + rect.rowCount; ++y)
        std::memcpy(to.scanLine(y) + rect.firstByte, from.constScanLine(y) + rect.firstByte, size_t(rect.byteCount));
}

QImage decompress(const CompressedImage& compressed, const std::optional<Reference>& reference)
{
    const ImageGeometry& geometry = compressed.geometry;
    if (geometry.size.isEmpty())
        return {};
    QImage image = allocateImage(geometry.size, geometry.format);
    if (image.isNull())
        return {};
    const bool canCopy = reference && geometry.sameLayout(reference->compressed->geometry)
        && geometry.sameLayout(ImageGeometry::of(reference->image));
    image.setDevicePixelRatio(geometry.devicePixelRatio);
    image.setDotsPerMeterX(geometry.dotsPerMeterX);
    image.setDotsPerMeterY(geometry.dotsPerMeterY);
    if (!geometry.colorTable.isEmpty())
        image.setColorTable(geometry.colorTable);
    image.setColorSpace(geometry.colorSpace);

    std::vector<int> indices(compressed.tiles.size());
    std::iota(indices.begin(), indices.end(), 0);
    std::atomic_bool failed = false;
    QtConcurrent::blockingMap(&HistoryWorkers::instance().tiles, indices, [&](int index) {
        const Tile& tile = compressed.tiles[size_t(index)];
        if (canCopy && reference->compressed->tiles[size_t(index)] == tile)
            copyTile(reference->image, image, tileRect(geometry, index));
        else if (!decompressTile(*tile, image, tileRect(geometry, index)))
            failed = true;
    });
    return failed ? QImage() : image;
}


} // namespace

struct ImageHistory::Snapshot {
    std::mutex mutex;
    // The pixels while held as an image; null once dropped.
    QImage image;
    // Set once by the compression; never changed afterwards.
    std::shared_ptr<const CompressedImage> compressed;
    // Inside the window of held snapshots.
    bool wanted = true;
    QFuture<void> restoring;
};

namespace {

using SnapshotPointer = std::shared_ptr<ImageHistory::Snapshot>;

// The first of the snapshots that is held both as an image and as tiles.
std::optional<Reference> referenceAmong(const std::vector<SnapshotPointer>& candidates)
{
    for (const SnapshotPointer& candidate : candidates) {
        if (!candidate)
            continue;
        std::lock_guard lock(candidate->mutex);
        if (!candidate->image.isNull() && candidate->compressed)
            return Reference{candidate->image, candidate->compressed};
    }
    return std::nullopt;
}

// Holds a restored image until the window next moves past it.
void adopt(ImageHistory::Snapshot& snapshot, const QImage& image)
{
    std::lock_guard lock(snapshot.mutex);
    if (snapshot.image.isNull())
        snapshot.image = image;
}

} // namespace

ImageHistory::ImageHistory() = default;
ImageHistory::~ImageHistory() = default;
ImageHistory::ImageHistory(const ImageHistory&) = default;
ImageHistory& ImageHistory::operator=(const ImageHistory&) = default;

QImage ImageHistory::at(qsizetype index) const
{
    Snapshot& snapshot = *m_snapshots.at(index);
    std::shared_ptr<const CompressedImage> compressed;
    {
        std::lock_guard lock(snapshot.mutex);
        if (!snapshot.image.isNull() || !snapshot.compressed)
            return snapshot.image;
        compressed = snapshot.compressed;
    }
    const QImage image = decompress(*compressed, referenceAmong(neighbours(index)));
    adopt(snapshot, image);
    return image;
}

bool ImageHistory::isResident(qsizetype index) const
{
    Snapshot& snapshot = *m_snapshots.at(index);
    std::lock_guard lock(snapshot.mutex);
    return !snapshot.image.isNull() || !snapshot.compressed;
}

void ImageHistory::append(const QImage& image)
{
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->image = image;

    SnapshotPointer previous = m_snapshots.isEmpty() ? nullptr : m_snapshots.back();
    QImage previousImage;
    if (previous) {
        std::lock_guard lock(previous->mutex);
        previousImage = previous->image;
    }
    HistoryWorkers::instance().compression.start([snapshot, image, previous, previousImage] {
        std::shared_ptr<const CompressedImage> previousTiles;
        if (previous) {
            std::lock_guard lock(previous->mutex);
            previousTiles = previous->compressed;
        }
        auto compressed = compress(image, previousImage, previousTiles);
        std::lock_guard lock(snapshot->mutex);
        // Without memory for the tiles the snapshot simply stays an image.
        if (!compressed)
            return;
        snapshot->compressed = std::move(compressed);
        if (!snapshot->wanted)
            snapshot->image = QImage();
    });

    m_snapshots.append(std::move(snapshot));
    setCurrentIndex(m_snapshots.size() - 1);
}

void ImageHistory::truncate(qsizetype count)
{
    if (count < m_snapshots.size())
        m_snapshots.resize(std::max<qsizetype>(count, 0));
    if (m_currentIndex >= m_snapshots.size())
        m_currentIndex = m_snapshots.size() - 1;
}

namespace {
std::atomic_int residentNeighbourCount{1};
}

void ImageHistory::setResidentNeighbours(int count)
{
    residentNeighbourCount = std::max(0, count);
}

int ImageHistory::residentNeighbours()
{
    return residentNeighbourCount;
}

void ImageHistory::setCurrentIndex(qsizetype index)
{
    m_currentIndex = index;
    const int radius = residentNeighbourCount;
    for (qsizetype k = 0; k < m_snapshots.size(); ++k) {
        Snapshot& snapshot = *m_snapshots[k];
        const bool wanted = index >= 0 && std::abs(k - index) <= radius;
        bool needsRestore = false;
        {
            std::lock_guard lock(snapshot.mutex);
            snapshot.wanted = wanted;
            if (!wanted && snapshot.compressed)
                snapshot.image = QImage();
            needsRestore = wanted && snapshot.image.isNull() && snapshot.compressed;
        }
        if (needsRestore)
            restore(k);
    }
}

QFuture<void> ImageHistory::restore(qsizetype index) const
{
    SnapshotPointer snapshot = m_snapshots.at(index);
    std::lock_guard lock(snapshot->mutex);
    if (!snapshot->image.isNull() || !snapshot->compressed)
        return QtFuture::makeReadyFuture();
    if (!snapshot->restoring.isFinished())
        return snapshot->restoring;
    snapshot->restoring = QtConcurrent::run(&HistoryWorkers::instance().restore, [snapshot, compressed = snapshot->compressed,
                                                              neighbours = neighbours(index)] {
        {
            std::lock_guard lock(snapshot->mutex);
            if (!snapshot->image.isNull())
                return;
        }
        adopt(*snapshot, decompress(*compressed, referenceAmong(neighbours)));
    });
    return snapshot->restoring;
}

std::vector<std::shared_ptr<ImageHistory::Snapshot>> ImageHistory::neighbours(qsizetype index) const
{
    std::vector<std::shared_ptr<Snapshot>> found;
    for (qsizetype k : {index + 1, index - 1})
        if (k >= 0 && k < m_snapshots.size())
            found.push_back(m_snapshots[k]);
    return found;
}

qint64 ImageHistory::compressedBytes() const
{
    std::unordered_set<const QByteArray*> counted;
    qint64 total = 0;
    for (const SnapshotPointer& snapshot : m_snapshots) {
        std::shared_ptr<const CompressedImage> compressed;
        {
            std::lock_guard lock(snapshot->mutex);
            compressed = snapshot->compressed;
        }
        if (!compressed)
            continue;
        for (const Tile& tile : compressed->tiles)
            if (tile && counted.insert(tile.get()).second)
                total += tile->size();
    }
    return total;
}

void ImageHistory::waitForCompression()
{
    HistoryWorkers::instance().compression.waitForDone();
    HistoryWorkers::instance().restore.waitForDone();
}

} // namespace kivo
