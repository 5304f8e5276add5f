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

constexpr QLatin1StringView counterField{"{counter}"};
constexpr QLatin1StringView pngExtension{".png"};

QString plural(qint64 count, const char* unit)
{
    return QStringLiteral("%1 %2%3 ago").arg(count).arg(QLatin1StringView(unit)).arg(count == 1 ? "" : "s");
}

} // namespace

bool isMonitoredFilePath(const QString& path, const QString& watchedFolder)
{
    const QString root = QDir::cleanPath(watchedFolder);
    const QString prefix = root.endsWith(u'/') ? root : root + u'/';
    if (!path.startsWith(prefix) || path.size() == prefix.size())
        return false;
    const QString below = path.mid(prefix.size());
    if (below.contains(u".DS_Store") || below.contains(u'~'))
        return false;
    const QStringList parts = below.split(u'/');
    if (parts.sliced(0, parts.size() - 1).contains(kProcessedFolderName) || parts.last().startsWith(u'.'))
        return false;
    const QString extension = QFileInfo(parts.last()).suffix().toLower();
    return std::find(watchedExtensions.begin(), watchedExtensions.end(), extension) != watchedExtensions.end();
}

QString processedFolderPath(const QString& sourcePath)
{
    return QDir(QFileInfo(sourcePath).path()).filePath(kProcessedFolderName);
}

std::optional<QString> processedFileName(const QString& sourcePath, const UserPreferences& preferences,
                                         const QDateTime& localNow)
{
    const QString base = QFileInfo(sourcePath).completeBaseName();

    QString name;
    if (preferences.exportNamingPattern == u"original_suffix") {
        name = base + preferences.exportSuffix;
    } else if (preferences.exportNamingPattern == u"custom") {
        name = preferences.customExportPattern;
        name.replace(QStringLiteral("{original}"), base)
            .replace(QStringLiteral("{date}"), localNow.toString(QStringLiteral("yyyyMMdd")))
            .replace(QStringLiteral("{time}"), localNow.toString(QStringLiteral("HHmmss")));
    } else {
        name = base + QStringLiteral("_processed");
    }
    // A suffix or pattern such as "/../../x" must not lead out of the results folder.
    if (name.isEmpty() || name == u"." || name == u"..")
        return std::nullopt;
    name = plainFileName(name);
    // The data is PNG whatever the source was; a pattern that names the extension keeps it.
    if (!name.endsWith(pngExtension, Qt::CaseInsensitive))
        name += pngExtension;
    return name;
}

QString freeResultName(const QString& name, const std::function<ResultNameUse(const QString&)>& use)
{
    if (name.contains(counterField)) {
        for (int counter = 1;; ++counter) {
            QString numbered = name;
            numbered.replace(counterField, QString::number(counter));
            if (use(numbered) == ResultNameUse::free)
                return numbered;
        }
    }
    if (use(name) != ResultNameUse::otherSource)
        return name;
    const QString stem = name.endsWith(pngExtension, Qt::CaseInsensitive) ? name.chopped(pngExtension.size()) : name;
    const QString extension = name.right(name.size() - stem.size());
    for (int number = 2;; ++number) {
        const QString candidate = QStringLiteral("%1-%2%3").arg(stem).arg(number).arg(extension);
        if (use(candidate) != ResultNameUse::otherSource)
            return candidate;
    }
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
