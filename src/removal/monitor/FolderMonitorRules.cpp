#include "FolderMonitorRules.h"

#include "core/FileNaming.h"

#include <QDir>
#include <QFileInfo>

#include <array>

namespace kivo {

namespace {

constexpr std::array<QLatin1StringView, 9> watchedExtensions{{
    QLatin1StringView("jpg"), QLatin1StringView("jpeg"), QLatin1StringView("png"),
    QLatin1StringView("tiff"), QLatin1StringView("tif"), QLatin1StringView("bmp"),
    QLatin1StringView("gif"), QLatin1StringView("heic"), QLatin1StringView("heif"),
}};

QString plural(qint64 count, const char* unit)
{
    return QStringLiteral("%1 %2%3 ago").arg(count).arg(QLatin1StringView(unit)).arg(count == 1 ? "" : "s");
}

} // namespace

bool isMonitoredFilePath(const QString& path)
{
    if (path.contains(u".DS_Store") || path.contains(u'~')
        || path.contains(u'/' + kProcessedFolderName + u'/'))
        return false;
    const QString extension = QFileInfo(path).suffix().toLower();
    return std::find(watchedExtensions.begin(), watchedExtensions.end(), extension) != watchedExtensions.end();
}

QString processedFolderPath(const QString& sourcePath)
{
    return QDir(QFileInfo(sourcePath).path()).filePath(kProcessedFolderName);
}

std::optional<QString> processedFileName(const QString& sourcePath, const UserPreferences& preferences,
                                         const QDateTime& localNow)
{
    const QFileInfo source(sourcePath);
    const QString base = source.completeBaseName();
    const QString extension = source.suffix();

    QString name;
    if (preferences.exportNamingPattern == u"original_suffix") {
        name = base + preferences.exportSuffix + u'.' + extension;
    } else if (preferences.exportNamingPattern == u"custom") {
        name = preferences.customExportPattern;
        name.replace(QStringLiteral("{original}"), base)
            .replace(QStringLiteral("{date}"), localNow.toString(QStringLiteral("yyyyMMdd")))
            .replace(QStringLiteral("{time}"), localNow.toString(QStringLiteral("HHmmss")));
    } else {
        name = base + QStringLiteral("_processed.") + extension;
    }
    // A suffix or pattern such as "/../../x" must not lead out of the results folder.
    if (name.isEmpty() || name == u"." || name == u"..")
        return std::nullopt;
    return fillCounter(plainFileName(name), processedFolderPath(sourcePath));
}

QString relativeTimeText(qint64 elapsedSeconds)
{
    if (elapsedSeconds < 60)
        return QStringLiteral("just now");
    if (elapsedSeconds < 3600)
        return QStringLiteral("%1 min ago").arg(elapsedSeconds / 60);
    if (elapsedSeconds < 86400)
        return plural(elapsedSeconds / 3600, "hour");
    return plural(elapsedSeconds / 86400, "day");
}

} // namespace kivo
