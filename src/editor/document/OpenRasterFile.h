#pragma once

#include "core/DomainModel.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// Sessions as OpenRaster files (.ora): a zip whose first entry "mimetype" holds
// "image/openraster" uncompressed, then stack.xml listing the layers top first, one PNG per
// layer, the merged image and a thumbnail. Blend modes use the format's "svg:" names; what only
// this application knows (the base layer, the enabled filters, the canvas background) lives in
// attributes of its own namespace, which other programs ignore.

namespace kivo {

// The file's bytes for the session's layer stack.
std::optional<QByteArray> encodeOpenRaster(const EditorSession& session);

// Writes the session's file in one step (the old file stays whole if anything fails); the
// failure's text, if any.
std::optional<QString> saveSessionFile(const QString& path, const EditorSession& session);

struct OpenedDocument {
    EditorSession session;
    // What the file held that the editor does not support, one sentence each.
    QStringList dropped;
};
// A session from a file's bytes, named as it was saved (else `name`), its first step recorded; the error's text when
// the bytes are not an OpenRaster file.
std::variant<OpenedDocument, QString> decodeOpenRaster(const QByteArray& bytes, const QString& name);

} // namespace kivo
