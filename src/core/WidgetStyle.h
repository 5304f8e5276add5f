#pragma once

#include <QColor>
#include <QPixmap>

class QIcon;
class QPushButton;
class QSize;

namespace kivo {

// A prominent button: filled with the accent colour, for the main action of a bar.
void makeProminent(QPushButton* button);

// The icon drawn in one colour, as a template image is.
QPixmap tintedPixmap(const QIcon& icon, const QSize& size, const QColor& color, qreal devicePixelRatio = 1.0);

} // namespace kivo
