#pragma once

#include "core/UserPreferences.h"

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QString>

namespace kivo {

// Where a result went, or why it could not be written.
struct SaveOutcome {
    QString path;
    QString error;
};

// Writes the cut-out of `sourcePath` as PNG into the "kivo_processed" folder beside it, under
// the name the naming preferences give (FolderMonitorRules), never over another source's
// result: each result records the name of the file it came from (a PNG text chunk "Source"),
// so the result of the same photo processed again replaces its old one while a different
// photo whose name leads to the same result name gets "-2", "-3", …. Choosing the name and
// writing are one step for all threads, so two results finished at once never take one name.
// Logs the outcome.
SaveOutcome saveMonitorResult(const QImage& cutout, const QString& sourcePath, const UserPreferences& preferences,
                              const QDateTime& localNow);

// The source file name a result records; empty for files without one.
QString resultSourceName(const QString& resultPath);

// Whether any result in the file's "kivo_processed" folder records this file as its source.
bool hasMonitorResult(const QString& sourcePath);

// `png` with a text chunk `keyword` = `text` (Latin-1) right after its header chunk; `png`
// unchanged when it is no PNG.
QByteArray withPngText(const QByteArray& png, const QByteArray& keyword, const QByteArray& text);

} // namespace kivo
