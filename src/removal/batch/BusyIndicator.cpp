#include "BusyIndicator.h"

#include <QPainter>
#include <QTimerEvent>

namespace kivo {

BusyIndicator::BusyIndicator(QWidget* parent)
    : QWidget(parent)
{
    setFixedSize(sizeHint());
}

void BusyIndicator::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(palette().color(QPalette::Highlight), 2.5, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(pen);
    const QRectF arc = QRectF(rect()).adjusted(3, 3, -3, -3);
    painter.drawArc(arc, -m_angle * 16, 270 * 16);
}

void BusyIndicator::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_timer)
        return;
    m_angle = (m_angle + 30) % 360;
    update();
}

// Spins only while visible, so a long list of hidden cards costs nothing.
void BusyIndicator::showEvent(QShowEvent*)
{
    if (!m_timer)
        m_timer = startTimer(80);
}

void BusyIndicator::hideEvent(QHideEvent*)
{
    if (m_timer)
        killTimer(m_timer);
    m_timer = 0;
}

} // namespace kivo
