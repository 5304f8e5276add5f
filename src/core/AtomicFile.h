#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <optional>

namespace kivo {

// Replaces the file at `path` with `bytes` only once every byte is on disk; on failure the old
// file (if any) stays as it was and the result is the reason.
//
// Qt 6.4's QSaveFile::commit() does not notice a failed flush of buffered data, and a short
// unbuffered write is not an error to it either: either way it renames a truncated file over
// the old one (seen with a file-size limit). So the bytes go unbuffered, every short write is
// retried until the system reports its error, and only a complete write is committed.
// With `permissions`, the temporary file gets them before any byte is written (for secrets).
std::optional<QString> writeFileAtomically(const QString& path, const QByteArray& bytes,
                                           std::optional<QFileDevice::Permissions> permissions = std::nullopt);

} // namespace kivo
