#pragma once

#include <QString>

namespace kivo {

// A proposed output name made safe to use as one file name inside the folder it is meant for.
// Naming patterns and suffixes come from settings files that may have been written elsewhere;
// a "/" in them would reach other folders and a name of dots would mean the folder itself or
// its parent. Every "/" (and NUL) becomes "_", and a name made only of dots, or an empty one,
// has each dot replaced by "_" ("_" when empty). Anything else is returned unchanged.
QString plainFileName(const QString& proposed);

// The file name with every "{counter}" replaced by the smallest number from 1 up for which no
// entry of that name exists in `folder` yet. A name without "{counter}" is returned unchanged.
QString fillCounter(const QString& fileName, const QString& folder);

} // namespace kivo
