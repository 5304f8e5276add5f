#include "CheckerboardBackground.h"

#include <QPaintEvent>
#include <QPainter>

namespace kivo {

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
