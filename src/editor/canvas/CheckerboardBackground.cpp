#include "CheckerboardBackground.h"

#include <QPaintEvent>
#include <QPainter>

namespace kivo {

namespace {

constexpr int cell = 20;

} // namespace

void paintCheckerboard(QPainter& painter, const QRect& area)
{
    painter.fillRect(area, Qt::white);
    QColor grey(Qt::gray);
    grey.setAlphaF(0.2f);
    for (int row = 0; row * cell < area.height(); ++row)
        for (int column = 0; column * cell < area.width(); ++column)
            if ((row + column) % 2 == 0)
                painter.fillRect(QRect(area.x() + column * cell, area.y() + row * cell, cell, cell).intersected(area), grey);
}

CheckerboardBackground::CheckerboardBackground(QWidget* parent)
    : QWidget(parent)
{
}

void CheckerboardBackground::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.setClipRegion(event->region());
    paintCheckerboard(painter, rect());
}

} // namespace kivo
