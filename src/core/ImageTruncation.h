#pragma once

#include <QByteArrayView>

namespace kivo {

// True when the bytes are a JPEG, PNG, GIF, BMP or WebP file that ends before its image data
// does. Qt decodes truncated JPEG, GIF and BMP files without an error and fills the missing rows
// with grey, so completeness is checked from the file's own structure before decoding. Files of
// other formats, and files of these formats that are damaged in other ways, count as complete
// here: their decoders report those faults themselves.
bool isTruncatedImage(QByteArrayView bytes);

} // namespace kivo
