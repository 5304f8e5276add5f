#include "ExportFolders.h"

#include "UserPreferences.h"

#include <QDir>
#include <QFileInfo>

namespace kivo {

QString exportSubfolder(const UserPreferences& preferences)
{
    if (!preferences.createExportSubfolder)
        return {};
    QString name = preferences.exportSubfolderName.trimmed();
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    name.replace(QLatin1Char('\\'), QLatin1Char('-'));
    if (name.isEmpty() || name == u"." || name == u".." || name.count(QLatin1Char('-')) == name.size())
        return {};
    return name;
}

QString exportFolderFor(const QString& chosenFolder, const UserPreferences& preferences)
{
    const QString subfolder = exportSubfolder(preferences);
    if (subfolder.isEmpty() || QFileInfo(chosenFolder).fileName() == subfolder)
        return chosenFolder;
    return QDir(chosenFolder).filePath(subfolder);
}

QString exportPathFor(const QString& chosenPath, const UserPreferences& preferences)
{
    const QFileInfo chosen(chosenPath);
    return QDir(exportFolderFor(chosen.path(), preferences)).filePath(chosen.fileName());
}

QString defaultExportDirectory(const UserPreferences& preferences)
{
    if (preferences.defaultExportLocation && preferences.defaultExportLocation->isLocalFile())
        return preferences.defaultExportLocation->toLocalFile();
    return {};
}

} // namespace kivo
