#pragma once

#include <QFuture>
#include <QImage>
#include <QList>

#include <memory>
#include <vector>

namespace kivo {

// The image snapshots of an editor session, oldest first: a list of whole images that gives
// back every snapshot exactly as it was appended, to the pixel.
//
// Whole 12-megapixel snapshots are 48 MB each and a session keeps all of them, so only the
// current snapshot and its neighbours are held as images (one on each side unless
// "Memory Usage" says otherwise, see setResidentNeighbours). Every snapshot is also stored
// losslessly compressed (zstd) in tiles, in the background; a tile that did not change since
// the previous snapshot is shared with it, so a brush stroke costs only the tiles it touched
// (100 strokes on a 12-megapixel photo: under 80 MB). A snapshot outside the window is
// restored from its tiles, copying the tiles it shares with a neighbour held as an image:
// about 60 ms of one core for a whole 12-megapixel photo, a few ms for a brush stroke's
// neighbour. restore() does it in the background, at() on the caller's thread.
//
// A value type: copies share the snapshots, which never change their pixels. Use it from one
// thread; the compression runs on a worker of its own.
class ImageHistory {
public:
    ImageHistory();
    ~ImageHistory();
    ImageHistory(const ImageHistory&);
    ImageHistory& operator=(const ImageHistory&);

    qsizetype size() const { return m_snapshots.size(); }
    bool isEmpty() const { return m_snapshots.isEmpty(); }

    // The snapshot's pixels, format and geometry exactly as appended.
    QImage at(qsizetype index) const;
    // Whether at(index) returns without decompressing.
    bool isResident(qsizetype index) const;

    // Appends a snapshot; it becomes the current one.
    void append(const QImage& image);
    // Keeps the first `count` snapshots.
    void truncate(qsizetype count);

    // Moves the window of snapshots held as images to `index` and its neighbours; neighbours
    // that are not held are restored in the background.
    void setCurrentIndex(qsizetype index);
    // Restores one snapshot in the background; the future finishes when at(index) is resident.
    QFuture<void> restore(qsizetype index) const;

    // Bytes of compressed tiles held by this history (tiles shared between snapshots once).
    qint64 compressedBytes() const;
    // Blocks until every pending compression has finished (tests and benchmarks).
    static void waitForCompression();

    // How many snapshots on each side of the current one every history holds as images
    // ("Memory Usage"); applies from each history's next move. 1 unless set.
    static void setResidentNeighbours(int count);
    static int residentNeighbours();

    struct Snapshot;

private:
    // The snapshots beside `index`, the later one first.
    std::vector<std::shared_ptr<Snapshot>> neighbours(qsizetype index) const;

    QList<std::shared_ptr<Snapshot>> m_snapshots;
    qsizetype m_currentIndex = -1;
};

} // namespace kivo
