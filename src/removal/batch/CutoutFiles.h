#pragma once

#include "core/ImageCache.h"

#include <QSet>
#include <QString>
#include <QUrl>

namespace kivo {

// The name a saved cut-out gets: the source's name without its extension + "_no_bg.png"
// (photo.jpeg → photo_no_bg.png).
QString cutoutFileName(const QUrl& source);

// `fileName` inside `folder`, or, when an earlier file of the same batch already took that name,
// the first free "NAME-2.png", "NAME-3.png", … Names are recorded in `taken`.
QString distinctPathInFolder(const QString& folder, const QString& fileName, QSet<QString>& taken);

// Writes a kept cut-out's PNG bytes to `path` atomically, replacing any file there: a copy, no
// second encode. Logs one line saying what happened.
bool saveCutoutFile(const CachedImage& cutout, const QString& path);

} // namespace kivo
