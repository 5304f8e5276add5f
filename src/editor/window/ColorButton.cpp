#include "ColorButton.h"

#include "editor/canvas/CheckerboardBackground.h"

#include <QColorDialog>
#include <QPainter>

namespace kivo {

ColorButton::ColorButton(const QColor& color, QWidget* parent)
    : QPushButton(parent)
{
    setFixedSize(44, 24);
    setCursor(Qt::PointingHandCursor);
    setColor(color);
    connect(this, &QPushButton::clicked, this, &ColorButton::pick);
}

void ColorButton::setColor(const QColor& color)
{
    m_color = color;
    // Translucent colours show over the checkerboard, as they would over an image.
    QPixmap swatch(32, 14);
    QPainter painter(&swatch);
    paintCheckerboard(painter, swatch.rect());
    painter.fillRect(swatch.rect(), color);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(swatch.rect().adjusted(0, 0, -1, -1));
    painter.end();
    setIcon(swatch);
    setIconSize(swatch.size());
    setToolTip(color.name(QColor::HexArgb));
}

void ColorButton::pick()
{
    auto* dialog = new QColorDialog(m_color, this);
    dialog->setOption(QColorDialog::ShowAlphaChannel);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QColorDialog::colorSelected, this, [this](const QColor& color) {
        setColor(color);
        emit colorPicked(color);
    });
    dialog->open();
}

} // namespace kivo
