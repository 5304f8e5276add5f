#include "CutoutFiles.h"

#include "core/Log.h"
#include "core/PngEncoder.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

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

bool savePNG(const QImage& image, const QString& path)
{
    if (image.isNull()) {
        logLine(QStringLiteral("Failed to get image representation"));
        return false;
    }
    const std::optional<QByteArray> png = encodePNG(image);
    if (!png) {
        logLine(QStringLiteral("Failed to convert to PNG"));
        return false;
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(*png) != png->size() || !file.commit()) {
        logLine(QStringLiteral("Failed to save image: ") + file.errorString());
        return false;
    }
    logLine(QStringLiteral("Successfully saved image to: ") + QFileInfo(path).absoluteFilePath());
    return true;
}

} // namespace kivo
