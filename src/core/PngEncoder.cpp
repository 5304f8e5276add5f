#include "PngEncoder.h"

#include <QBuffer>
#include <QImageWriter>

#ifdef KIVO_HAVE_ISAL
#include <QThread>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <thread>
#include <vector>
#endif

namespace kivo {

#ifndef KIVO_HAVE_ISAL

std::optional<QByteArray> encodePNG(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (image.isNull() || !writer.write(image))
        return std::nullopt;
    return bytes;
}

#else

namespace {

// Rows are compressed in pieces of about this many bytes; each piece is an independent run of
// deflate blocks ending on a byte boundary (a sync flush), so the pieces simply concatenate
// into one zlib stream, as pigz does.
constexpr qsizetype pieceBytes = 4 << 20;
constexpr quint8 filterUp = 2;

struct Layout {
    QImage pixels;     // Format_ARGB32, Format_RGB888 or Format_Grayscale8
    int channels = 0;
    quint8 colourType = 0;
};

Layout layoutFor(const QImage& image)
{
    if (image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16)
        return {image.convertToFormat(QImage::Format_Grayscale8), 1, 0};
    if (image.hasAlphaChannel())
        return {image.convertToFormat(QImage::Format_ARGB32), 4, 6};
    return {image.convertToFormat(QImage::Format_RGB888), 3, 2};
}

// One row in PNG byte order (R, G, B, A for colour with alpha).
void readRow(const Layout& layout, int y, quint8* row)
{
    if (layout.channels != 4) {
        std::memcpy(row, layout.pixels.constScanLine(y), size_t(layout.pixels.width() * layout.channels));
        return;
    }
    const auto* source = reinterpret_cast<const QRgb*>(layout.pixels.constScanLine(y));
    for (int x = 0; x < layout.pixels.width(); ++x) {
        row[4 * x] = quint8(qRed(source[x]));
        row[4 * x + 1] = quint8(qGreen(source[x]));
        row[4 * x + 2] = quint8(qBlue(source[x]));
        row[4 * x + 3] = quint8(qAlpha(source[x]));
    }
}

struct Piece {
    int firstRow = 0;
    int endRow = 0;
    std::vector<quint8> deflated;
    quint32 adler = 1;
    qsizetype filteredSize = 0;
};

bool compressPiece(const Layout& layout, Piece& piece, bool last)
{
    const qsizetype rowBytes = qsizetype(layout.pixels.width()) * layout.channels;
    std::vector<quint8> filtered(size_t((rowBytes + 1) * (piece.endRow - piece.firstRow)));
    std::vector<quint8> previous(static_cast<size_t>(rowBytes), 0);
    std::vector<quint8> current(static_cast<size_t>(rowBytes));
    if (piece.firstRow > 0)
        readRow(layout, piece.firstRow - 1, previous.data());

    quint8* out = filtered.data();
    for (int y = piece.firstRow; y < piece.endRow; ++y) {
        readRow(layout, y, current.data());
        *out++ = filterUp;
        for (qsizetype i = 0; i < rowBytes; ++i)
            out[i] = quint8(current[size_t(i)] - previous[size_t(i)]);
        out += rowBytes;
        std::swap(previous, current);
    }
    piece.filteredSize = qsizetype(filtered.size());
    piece.adler = isal_adler32(1, filtered.data(), filtered.size());

    std::vector<quint8> levelBuffer(ISAL_DEF_LVL1_DEFAULT);
    isal_zstream stream;
    isal_deflate_init(&stream);
    stream.level = 1;
    stream.level_buf = levelBuffer.data();
    stream.level_buf_size = quint32(levelBuffer.size());
    stream.gzip_flag = IGZIP_DEFLATE;
    stream.end_of_stream = last ? 1 : 0;
    stream.flush = last ? NO_FLUSH : SYNC_FLUSH;
    stream.next_in = filtered.data();
    stream.avail_in = quint32(filtered.size());

    piece.deflated.resize(filtered.size() / 2 + 1024);
    stream.next_out = piece.deflated.data();
    stream.avail_out = quint32(piece.deflated.size());
    for (;;) {
        if (isal_deflate(&stream) != COMP_OK)
            return false;
        const bool finished = last ? stream.internal_state.state == ZSTATE_END
                                   : stream.avail_in == 0 && stream.avail_out > 0;
        if (finished)
            break;
        // Incompressible data: grow the output and go on where the compressor stopped.
        const size_t used = piece.deflated.size() - stream.avail_out;
        piece.deflated.resize(piece.deflated.size() * 2);
        stream.next_out = piece.deflated.data() + used;
        stream.avail_out = quint32(piece.deflated.size() - used);
    }
    piece.deflated.resize(piece.deflated.size() - stream.avail_out);
    return true;
}

// zlib's adler32_combine: the checksum of A followed by B from those of A and B.
quint32 combineAdler(quint32 first, quint32 second, qsizetype secondLength)
{
    constexpr quint32 base = 65521;
    const quint32 remainder = quint32(secondLength % base);
    quint32 sum1 = first & 0xffff;
    quint32 sum2 = quint32((quint64(remainder) * sum1) % base);
    sum1 += (second & 0xffff) + base - 1;
    sum2 += ((first >> 16) & 0xffff) + ((second >> 16) & 0xffff) + base - remainder;
    if (sum1 >= base)
        sum1 -= base;
    if (sum1 >= base)
        sum1 -= base;
    if (sum2 >= (base << 1))
        sum2 -= (base << 1);
    if (sum2 >= base)
        sum2 -= base;
    return sum1 | (sum2 << 16);
}

void appendBigEndian(QByteArray& out, quint32 value)
{
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    out.append(bytes, 4);
}

void appendChunk(QByteArray& out, const char type[4], const char* data, qsizetype size)
{
    appendBigEndian(out, quint32(size));
    const qsizetype start = out.size();
    out.append(type, 4);
    out.append(data, size);
    appendBigEndian(out, crc32_gzip_refl(0, reinterpret_cast<const unsigned char*>(out.constData() + start),
                                         quint64(size + 4)));
}

} // namespace

std::optional<QByteArray> encodePNG(const QImage& image)
{
    if (image.isNull())
        return std::nullopt;
    try {
        const Layout layout = layoutFor(image);
        if (layout.pixels.isNull())
            return {};
        const int width = layout.pixels.width();
        const int height = layout.pixels.height();
        const qsizetype rowBytes = qsizetype(width) * layout.channels + 1;
        const int rowsPerPiece = int(std::clamp<qsizetype>(pieceBytes / rowBytes, 1, height));

        std::vector<Piece> pieces;
        for (int y = 0; y < height; y += rowsPerPiece)
            pieces.push_back(Piece{y, std::min(height, y + rowsPerPiece), {}, 1, 0});

        std::atomic<size_t> next{0};
        std::atomic<bool> failed{false};
        auto work = [&] {
            try {
                for (size_t i = next++; i < pieces.size() && !failed; i = next++) {
                    if (!compressPiece(layout, pieces[i], i + 1 == pieces.size()))
                        failed = true;
                }
            } catch (const std::bad_alloc&) {
                failed = true;
            }
        };
        const int helpers = std::min(int(pieces.size()), QThread::idealThreadCount()) - 1;
        std::vector<std::thread> threads;
        for (int i = 0; i < helpers; ++i)
            threads.emplace_back(work);
        work();
        for (std::thread& thread : threads)
            thread.join();
        if (failed)
            return {};

        QByteArray stream;
        qsizetype streamSize = 6;
        for (const Piece& piece : pieces)
            streamSize += qsizetype(piece.deflated.size());
        stream.reserve(streamSize);
        stream.append("\x78\x01", 2); // deflate, 32 KiB window, fastest level
        quint32 adler = 1;
        for (const Piece& piece : pieces) {
            stream.append(reinterpret_cast<const char*>(piece.deflated.data()), qsizetype(piece.deflated.size()));
            adler = combineAdler(adler, piece.adler, piece.filteredSize);
        }
        appendBigEndian(stream, adler);
        pieces.clear();

        QByteArray png;
        png.reserve(stream.size() + stream.size() / (1 << 20) * 12 + 64);
        png.append("\x89PNG\r\n\x1a\n", 8);
        QByteArray header;
        appendBigEndian(header, quint32(width));
        appendBigEndian(header, quint32(height));
        header.append(char(8));                  // bits per sample
        header.append(char(layout.colourType));
        header.append(3, char(0));               // deflate, adaptive filtering, no interlace
        appendChunk(png, "IHDR", header.constData(), header.size());
        constexpr qsizetype maxChunk = 1 << 20;
        for (qsizetype offset = 0; offset < stream.size(); offset += maxChunk)
            appendChunk(png, "IDAT", stream.constData() + offset, std::min(maxChunk, stream.size() - offset));
        appendChunk(png, "IEND", nullptr, 0);
        return png;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

#endif

} // namespace kivo
