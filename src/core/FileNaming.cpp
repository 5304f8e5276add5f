#include "FileNaming.h"

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

} // namespace kivo
