#include "FileNaming.h"

#include <QDir>
#include <QFileInfo>

namespace kivo {

QString plainFileName(const QString& proposed)
{
    QString name = proposed;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name.replace(QChar(0), QLatin1Char('_'));
    if (name.isEmpty())
        return QStringLiteral("_");
    if (name.count(QLatin1Char('.')) == name.size())
        name.fill(QLatin1Char('_'));
    return name;
}

QString fillCounter(const QString& fileName, const QString& folder)
{
    static const QString placeholder = QStringLiteral("{counter}");
    if (!fileName.contains(placeholder))
        return fileName;
    const QDir directory(folder);
    for (qint64 counter = 1;; ++counter) {
        QString name = fileName;
        name.replace(placeholder, QString::number(counter));
        // exists() follows links; a dangling link still takes the name.
        const QFileInfo entry(directory.filePath(name));
        if (!entry.exists() && !entry.isSymLink())
            return name;
    }
}

} // namespace kivo
