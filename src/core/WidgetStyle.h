#pragma once

#include <QColor>
#include <QFont>
#include <QPixmap>

#include <initializer_list>

class QIcon;
class QLabel;
class QPainter;
class QPushButton;
class QRect;
class QSize;
class QWidget;

namespace kivo {

// A prominent button: filled with the accent colour, for the main action of a bar.
void makeProminent(QPushButton* button);

// The icon drawn in one colour, as a template image is.
QPixmap tintedPixmap(const QIcon& icon, const QSize& size, const QColor& color, qreal devicePixelRatio = 1.0);

// The widget's font scaled from the default size, with the given weight (titles, headlines).
void styleFont(QWidget* widget, qreal scale, QFont::Weight weight = QFont::Normal);

// A label in the secondary text colour (captions, help lines).
QLabel* secondaryLabel(const QString& text, qreal fontScale = 1.0);

// A label showing the icon resource drawn in one colour, side × side points.
QLabel* symbolLabel(const QString& resource, const QColor& color, int side);

// A widget whose widgets sit centred, one above the other, with stretch above and below.
// A negative spacing keeps the style's.
QWidget* centredColumn(std::initializer_list<QWidget*> widgets, int spacing = -1);

// What shows through the transparent parts of an image: white, with light grey squares of
// cell × cell on the cells whose column plus row is even, counted from the area's origin.
void paintCheckerboard(QPainter& painter, const QRect& area, int cell = 20);

} // namespace kivo
