#pragma once

#include "core/UserPreferences.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

namespace kivo {

// The folder the monitor writes its results into, beside each processed file.
inline constexpr QLatin1StringView kProcessedFolderName{"kivo_processed"};

// Whether a file that arrived below `watchedFolder` starts processing. Only the part of the
// path below the watched folder counts, so a "~" or a "kivo_processed" above it changes
// nothing. Below it: not a ".DS_Store", no "~", nothing inside a "kivo_processed" folder (the
// monitor's own results), no name with a leading dot (hidden files, rsync's and editors'
// temporaries), and one of the nine watched extensions (no webp), which also leaves out the
// names of downloads in progress (".part", ".crdownload") and swap files (".swp") until they
// are renamed. Nothing outside the watched folder.
bool isMonitoredFilePath(const QString& path, const QString& watchedFolder);

// The results folder for a new file: "kivo_processed" in the file's own folder.
QString processedFolderPath(const QString& sourcePath);

// The result's file name by the naming preferences, with the date and time of `localNow`,
// always ending in ".png" (the data is PNG): "original_suffix" gives base name + suffix,
// "custom" the pattern with {original}, {date} (yyyyMMdd) and {time} (HHmmss) filled in,
// anything else base name + "_processed". {counter} stays in the name for freeResultName.
// A "/" the preferences bring in becomes "_", so the name always stays inside the results
// folder; nothing when it would be empty, "." or "..".
std::optional<QString> processedFileName(const QString& sourcePath, const UserPreferences& preferences,
                                         const QDateTime& localNow);

// What a name in the results folder holds now.
enum class ResultNameUse { free, sameSource, otherSource };

// The name to write under: {counter} becomes the smallest number from 1 whose name is free;
// a name that holds the result of another source gets "-2", "-3", … before ".png" (the
// smallest free); the result of the same source is replaced.
QString freeResultName(const QString& name, const std::function<ResultNameUse(const QString&)>& use);

// "just now", "5 min ago", "1 hour ago", "3 days ago" for an activity this many seconds old.
QString relativeTimeText(qint64 elapsedSeconds);

} // namespace kivo
