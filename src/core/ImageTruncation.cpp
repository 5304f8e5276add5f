#include "ImageTruncation.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kivo {

namespace {

struct Bytes {
    QByteArrayView data;

    qsizetype size() const { return data.size(); }
    std::uint32_t u8(qsizetype at) const { return std::uint8_t(data[at]); }
    std::uint32_t be16(qsizetype at) const { return u8(at) << 8 | u8(at + 1); }
    std::uint32_t be32(qsizetype at) const { return be16(at) << 16 | be16(at + 2); }
    std::uint32_t le16(qsizetype at) const { return u8(at) | u8(at + 1) << 8; }
    std::uint32_t le32(qsizetype at) const { return le16(at) | le16(at + 2) << 16; }
    bool startsWith(qsizetype at, const char* magic) const
    {
        const auto length = qsizetype(std::strlen(magic));
        return at + length <= size() && std::memcmp(data.data() + at, magic, size_t(length)) == 0;
    }
};

// Segments up to the end-of-image marker; the entropy-coded data after each start-of-scan runs
// until the next marker that is neither a restart marker nor a stuffed 0xFF byte.
bool jpegTruncated(const Bytes& b)
{
    const qsizetype n = b.size();
    qsizetype i = 2;
    while (true) {
        // Stray bytes before a marker are skipped, as the decoder does.
        const void* next = i < n ? std::memchr(b.data.data() + i, 0xFF, size_t(n - i)) : nullptr;
        if (!next)
            return true;
        i = static_cast<const char*>(next) - b.data.data();
        while (i < n && b.u8(i) == 0xFF)
            ++i;
        if (i >= n)
            return true;
        const std::uint32_t marker = b.u8(i++);
        if (marker == 0xD9)
            return false;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue;
        if (i + 2 > n)
            return true;
        i += b.be16(i);
        if (i > n)
            return true;
        if (marker != 0xDA)
            continue;
        while (true) {
            const void* ff = std::memchr(b.data.data() + i, 0xFF, size_t(n - i));
            if (!ff)
                return true;
            i = static_cast<const char*>(ff) - b.data.data();
            if (i + 1 >= n)
                return true;
            const std::uint32_t following = b.u8(i + 1);
            if (following == 0x00 || (following >= 0xD0 && following <= 0xD7))
                i += 2;
            else if (following == 0xFF)
                i += 1;
            else
                break;
        }
    }
}

// Chunks (length, type, data, CRC) up to IEND.
bool pngTruncated(const Bytes& b)
{
    qsizetype i = 8;
    while (true) {
        if (i + 8 > b.size())
            return true;
        if (b.startsWith(i + 4, "IEND"))
            return false;
        i += 12 + qsizetype(b.be32(i));
        if (i > b.size())
            return true;
    }
}

// Blocks up to the trailer. A file that ends right after a complete image, without the
// trailer, still counts as complete: some encoders leave the trailer out.
bool gifTruncated(const Bytes& b)
{
    const qsizetype n = b.size();
    const auto colourTableBytes = [](std::uint32_t packed) {
        return (packed & 0x80) ? qsizetype(3) << ((packed & 7) + 1) : qsizetype(0);
    };
    const auto skipSubBlocks = [&](qsizetype& i) {
        while (i < n) {
            const qsizetype size = b.u8(i++);
            if (size == 0)
                return true;
            i += size;
        }
        return false;
    };
    if (n < 13)
        return true;
    qsizetype i = 13 + colourTableBytes(b.u8(10));
    while (i < n) {
        switch (b.u8(i++)) {
        case 0x3B: // trailer
            return false;
        case 0x21: // extension: label, then sub-blocks
            ++i;
            if (!skipSubBlocks(i))
                return true;
            break;
        case 0x2C: // image: descriptor, optional colour table, LZW code size, sub-blocks
            if (i + 9 > n)
                return true;
            i += 9 + colourTableBytes(b.u8(i + 8)) + 1;
            if (!skipSubBlocks(i))
                return true;
            break;
        default: // damaged rather than short: the decoder's business
            return false;
        }
    }
    return i > n;
}

// The pixel array must fit after its offset: rows padded to 4 bytes for uncompressed data, the
// declared image size for compressed data.
bool bmpTruncated(const Bytes& b)
{
    if (b.size() < 26)
        return true;
    const qint64 pixelOffset = b.le32(10);
    const std::uint32_t headerSize = b.le32(14);
    qint64 width = 0;
    qint64 height = 0;
    qint64 bitsPerPixel = 0;
    std::uint32_t compression = 0;
    qint64 imageSize = 0;
    if (headerSize == 12) {
        width = b.le16(18);
        height = b.le16(20);
        bitsPerPixel = b.le16(24);
    } else {
        if (b.size() < 38)
            return true;
        width = qint32(b.le32(18));
        height = std::abs(qint64(qint32(b.le32(22))));
        bitsPerPixel = b.le16(28);
        compression = b.le32(30);
        imageSize = b.le32(34);
    }
    // Absurd sizes are for the decoder to refuse.
    if (width <= 0 || width > (1 << 24) || height > (1 << 24))
        return false;
    const bool uncompressed = compression == 0 || compression == 3 || compression == 6;
    const qint64 pixelBytes = uncompressed ? (width * bitsPerPixel + 31) / 32 * 4 * height : imageSize;
    return b.size() < pixelOffset + pixelBytes;
}

// The RIFF container declares its own length.
bool webpTruncated(const Bytes& b)
{
    return b.size() < 8 + qint64(b.le32(4));
}

// Segments up to the first start-of-scan; the size is the frame header's.
std::optional<DeclaredImage> jpegDeclared(const Bytes& b)
{
    std::optional<DeclaredImage> declared;
    qsizetype i = 2;
    while (i + 4 <= b.size()) {
        if (b.u8(i) != 0xFF)
            return declared;
        const std::uint32_t marker = b.u8(i + 1);
        if (marker == 0xFF) {
            ++i;
            continue;
        }
        if (marker == 0xD9)
            return declared;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            i += 2;
            continue;
        }
        const qsizetype length = b.be16(i + 2);
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame && i + 9 <= b.size())
            declared = DeclaredImage{QSize(int(b.be16(i + 7)), int(b.be16(i + 5))), false};
        if (marker == 0xDA) {
            // A scan with at least a little entropy-coded data after its header.
            if (declared)
                declared->hasImageData = i + 2 + length < b.size() - 2;
            return declared;
        }
        i += 2 + length;
    }
    return declared;
}

std::optional<DeclaredImage> pngDeclared(const Bytes& b)
{
    if (b.size() < 24 || !b.startsWith(12, "IHDR"))
        return std::nullopt;
    DeclaredImage declared{QSize(int(std::min<std::uint32_t>(b.be32(16), 1u << 30)), int(std::min<std::uint32_t>(b.be32(20), 1u << 30))), false};
    for (qsizetype i = 8; i + 8 <= b.size(); i += 12 + qsizetype(b.be32(i))) {
        if (b.startsWith(i + 4, "IDAT")) {
            declared.hasImageData = b.be32(i) > 0;
            break;
        }
    }
    return declared;
}

std::optional<DeclaredImage> gifDeclared(const Bytes& b)
{
    if (b.size() < 13)
        return std::nullopt;
    const auto colourTableBytes = [](std::uint32_t packed) {
        return (packed & 0x80) ? qsizetype(3) << ((packed & 7) + 1) : qsizetype(0);
    };
    qint64 width = b.le16(6);
    qint64 height = b.le16(8);
    bool frames = false;
    const qsizetype n = b.size();
    qsizetype i = 13 + colourTableBytes(b.u8(10));
    const auto skipSubBlocks = [&] {
        while (i < n) {
            const qsizetype size = b.u8(i++);
            if (size == 0)
                return;
            i += size;
        }
    };
    while (i < n) {
        const std::uint32_t block = b.u8(i++);
        if (block == 0x21) {
            ++i;
            skipSubBlocks();
        } else if (block == 0x2C && i + 9 <= n) {
            width = std::max<qint64>(width, qint64(b.le16(i)) + b.le16(i + 4));
            height = std::max<qint64>(height, qint64(b.le16(i + 2)) + b.le16(i + 6));
            i += 9 + colourTableBytes(b.u8(i + 8)) + 1;
            const qsizetype dataStart = i;
            skipSubBlocks();
            frames = frames || i > dataStart + 1;
        } else {
            break;
        }
    }
    return DeclaredImage{QSize(int(width), int(height)), frames};
}

std::optional<DeclaredImage> bmpDeclared(const Bytes& b)
{
    if (b.size() < 26)
        return std::nullopt;
    const std::uint32_t headerSize = b.le32(14);
    if (headerSize == 12)
        return DeclaredImage{QSize(int(b.le16(18)), int(b.le16(20))), b.size() > qsizetype(b.le32(10))};
    if (b.size() < 38)
        return std::nullopt;
    const qint64 width = std::abs(qint64(qint32(b.le32(18))));
    const qint64 height = std::abs(qint64(qint32(b.le32(22))));
    return DeclaredImage{QSize(int(std::min<qint64>(width, 1 << 30)), int(std::min<qint64>(height, 1 << 30))),
                         b.size() > qsizetype(b.le32(10))};
}

// The first image chunk of the RIFF container: VP8X gives the canvas, VP8 and VP8L their frame.
std::optional<DeclaredImage> webpDeclared(const Bytes& b)
{
    if (b.size() < 30)
        return std::nullopt;
    const auto le24 = [&](qsizetype at) { return qint64(b.le16(at)) | qint64(b.u8(at + 2)) << 16; };
    if (b.startsWith(12, "VP8X"))
        return DeclaredImage{QSize(int(le24(24) + 1), int(le24(27) + 1)), b.size() > 30 + 8};
    if (b.startsWith(12, "VP8 "))
        return DeclaredImage{QSize(int(b.le16(26) & 0x3FFF), int(b.le16(28) & 0x3FFF)), b.le32(16) > 10};
    if (b.startsWith(12, "VP8L")) {
        const std::uint32_t bits = b.le32(21);
        return DeclaredImage{QSize(int((bits & 0x3FFF) + 1), int(((bits >> 14) & 0x3FFF) + 1)), b.le32(16) > 5};
    }
    return std::nullopt;
}

} // namespace

std::optional<DeclaredImage> declaredImage(QByteArrayView data)
{
    const Bytes b{data};
    if (b.startsWith(0, "\xFF\xD8\xFF"))
        return jpegDeclared(b);
    if (b.startsWith(0, "\x89PNG\r\n\x1A\n"))
        return pngDeclared(b);
    if (b.startsWith(0, "GIF8"))
        return gifDeclared(b);
    if (b.startsWith(0, "BM"))
        return bmpDeclared(b);
    if (b.startsWith(0, "RIFF") && b.startsWith(8, "WEBP"))
        return webpDeclared(b);
    return std::nullopt;
}

bool isTruncatedImage(QByteArrayView data)
{
    const Bytes b{data};
    if (b.startsWith(0, "\xFF\xD8\xFF"))
        return jpegTruncated(b);
    if (b.startsWith(0, "\x89PNG\r\n\x1A\n"))
        return pngTruncated(b);
    if (b.startsWith(0, "GIF8"))
        return gifTruncated(b);
    if (b.startsWith(0, "BM"))
        return bmpTruncated(b);
    if (b.startsWith(0, "RIFF") && b.startsWith(8, "WEBP"))
        return webpTruncated(b);
    return false;
}

} // namespace kivo
