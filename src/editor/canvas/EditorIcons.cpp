#include "EditorIcons.h"

#include "core/WidgetStyle.h"

namespace kivo {

QIcon editorIcon(const QString& name, const QColor& color)
{
    const QIcon source(QStringLiteral(":/editor-icons/%1.svg").arg(name));
    QIcon icon;
    for (qreal ratio : {1.0, 2.0})
        icon.addPixmap(tintedPixmap(source, QSize(20, 20), color, ratio));
    return icon;
}

} // namespace kivo
