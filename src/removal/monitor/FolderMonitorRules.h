#pragma once

#include "core/UserPreferences.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace kivo {

// The folder the monitor writes its results into, beside each processed file.
inline constexpr QLatin1StringView kProcessedFolderName{"kivo_processed"};

// Whether a file created below the watched folder starts processing: not a ".DS_Store", no "~"
// anywhere in the path, nothing inside a "kivo_processed" folder (the monitor's own results),
// and one of the nine watched extensions (no webp).
bool isMonitoredFilePath(const QString& path);

// The results folder for a new file: "kivo_processed" in the file's own folder.
QString processedFolderPath(const QString& sourcePath);

// The result's file name by the naming preferences, with the date and time of `localNow`:
// "original_suffix" gives base name + suffix + "." + the source's extension, "custom" the
// pattern with {original}, {date} (yyyyMMdd), {time} (HHmmss) and {counter} (the smallest
// number free in the results folder) filled in and no extension,
// anything else base name + "_processed." + extension. A "/" the preferences bring in becomes
// "_", so the name always stays inside the results folder; nothing when it would be empty,
// "." or "..".
std::optional<QString> processedFileName(const QString& sourcePath, const UserPreferences& preferences,
                                         const QDateTime& localNow);

// "just now", "5 min ago", "1 hour ago", "3 days ago" for an activity this many seconds old.
QString relativeTimeText(qint64 elapsedSeconds);

} // namespace kivo
