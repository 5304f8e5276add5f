#pragma once

#include <QString>

namespace kivo {

struct UserPreferences;

// Where exports go. "Create subfolder for exports" puts every exported file (an editor export,
// the batch's "Download All") into the named subfolder of the folder the user chose.

// The subfolder's name as a single path component, or empty when no subfolder is to be made
// (the switch is off, or the name is empty, ".", ".." or only separators). Separators inside
// the name become "-", so a name never leads out of the chosen folder.
QString exportSubfolder(const UserPreferences& preferences);

// The folder exports into `chosenFolder` are written to: the chosen folder itself, or its
// subfolder. A chosen folder that already is the subfolder is not nested again.
QString exportFolderFor(const QString& chosenFolder, const UserPreferences& preferences);

// The file path an export chosen as `chosenPath` is written to (same file name).
QString exportPathFor(const QString& chosenPath, const UserPreferences& preferences);

// The folder the export panels open in: the default export location, or empty ("Same as
// source": the panel's own default).
QString defaultExportDirectory(const UserPreferences& preferences);

} // namespace kivo
