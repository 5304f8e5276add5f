#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace kivo {

// The nine extensions a dropped file may have (compared lower-cased). "tif" is not one of them;
// the open panel accepts any image.
const QStringList& acceptedDropExtensions();
bool hasAcceptedDropExtension(const QUrl& file);

// The files a drop delivers, in order: a dropped file as it is, a dropped folder walked at every
// depth (hidden entries skipped, entries by name). A folder reached twice, through a link or
// a link cycle, is walked once. Paths that do not exist are ignored; a folder that cannot be
// listed logs "Error reading folder contents: …" and is skipped. Safe on any thread.
QList<QUrl> collectDroppedFiles(const QList<QUrl>& dropped);

// The text of the alert after a drop, or empty when there is nothing to say. `refusals` are
// "name: reason" lines for files that looked like photos but did not load; the first few follow
// the list of invalid files.
QString dropSummary(bool added, qsizetype taskCount, const QStringList& duplicateNames,
                    const QStringList& invalidNames, const QStringList& refusals = {});

} // namespace kivo
