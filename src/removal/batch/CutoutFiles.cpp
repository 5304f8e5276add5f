#include "CutoutFiles.h"

#include "core/AtomicFile.h"
#include "core/Log.h"

#include <QDir>
#include <QFileInfo>

namespace kivo {

QString cutoutFileName(const QUrl& source)
{
    return QFileInfo(source.fileName()).completeBaseName() + QStringLiteral("_no_bg.png");
}

QString distinctPathInFolder(const QString& folder, const QString& fileName, QSet<QString>& taken)
{
    const QFileInfo info(fileName);
    QString candidate = fileName;
    for (int n = 2; taken.contains(candidate); ++n)
        candidate = QStringLiteral("%1-%2.%3").arg(info.completeBaseName()).arg(n).arg(info.suffix());
    taken.insert(candidate);
    return QDir(folder).filePath(candidate);
}

bool saveCutoutFile(const CachedImage& cutout, const QString& path)
{
    const std::optional<QByteArray> png = cutout.readBytes();
    if (!png) {
        logLine(QStringLiteral("Failed to get image representation"));
        return false;
    }
    if (const std::optional<QString> failure = writeFileAtomically(path, *png)) {
        logLine(QStringLiteral("Failed to save image: ") + *failure);
        return false;
    }
    logLine(QStringLiteral("Successfully saved image to: ") + QFileInfo(path).absoluteFilePath());
    return true;
}

} // namespace kivo
