#pragma once

#include <QByteArrayView>
#include <QSize>

#include <optional>

namespace kivo {

// True when the bytes are a JPEG, PNG, GIF, BMP or WebP file that ends before its image data
// does. Qt decodes truncated JPEG, GIF and BMP files without an error and fills the missing rows
// with grey, so completeness is checked from the file's own structure before decoding. Files of
// other formats, and files of these formats that are damaged in other ways, count as complete
// here: their decoders report those faults themselves.
bool isTruncatedImage(QByteArrayView bytes);

// What a JPEG, PNG, GIF, BMP or WebP file declares in its headers, read without decoding.
struct DeclaredImage {
    // The canvas the decoder allocates: for GIF the screen, grown to hold every frame.
    QSize size;
    // Whether any image data follows the headers (a scan, an IDAT chunk, a GIF frame).
    bool hasImageData = false;
};
// Nothing for other formats and for headers too short or damaged to read.
std::optional<DeclaredImage> declaredImage(QByteArrayView bytes);

} // namespace kivo
