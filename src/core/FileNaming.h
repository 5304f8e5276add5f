#pragma once

#include <QString>

namespace kivo {

// A proposed output name made safe to use as one file name inside the folder it is meant for.
// Naming patterns and suffixes come from settings files that may have been written elsewhere;
// a "/" in them would reach other folders and a name of dots would mean the folder itself or
// its parent. Every "/" (and NUL) becomes "_", and a name made only of dots, or an empty one,
// has each dot replaced by "_" ("_" when empty). Anything else is returned unchanged.
QString plainFileName(const QString& proposed);

} // namespace kivo
