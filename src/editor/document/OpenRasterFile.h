#pragma once

#include "core/DomainModel.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// Sessions as OpenRaster files (.ora), the layered format painting programs share. The file
// itself is written and read by editor/openraster; this turns a session into its document and
// back. The file's merged image is the editor's own composition, so it shows what the canvas and
// an export show.

namespace kivo {

// Writes the session's file in one step (the old file stays whole if anything fails); the
// failure's text, if any.
std::optional<QString> saveSessionFile(const QString& path, const EditorSession& session);

struct OpenedDocument {
    EditorSession session;
    // What the file held that the editor does not support, one sentence each.
    QStringList dropped;
};
// A session from a file, named as it was saved (else after the file); the error's text when the
// file cannot be opened as an OpenRaster file. Slow for large files: call it off the window's
// thread.
std::variant<OpenedDocument, QString> readSessionFile(const QString& path);

// The file name a session is first offered under: its name with ".ora"; a "/" (the default
// names hold a date such as 12/07/2026) would make it a path, so it becomes "-".
QString sessionFileName(const QString& sessionName);

// The folder a dialog for saving or opening a session (or exporting it) opens in: the folder of
// the session's file when it has one, else the user's Documents folder. A Documents folder that
// does not exist yet is made, since a file dialog given a missing folder opens in the working
// folder instead.
QString sessionDialogFolder(const std::optional<QString>& sessionFile);

} // namespace kivo
