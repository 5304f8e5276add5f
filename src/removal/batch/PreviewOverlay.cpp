#include "PreviewOverlay.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

namespace kivo {

PreviewOverlay::PreviewOverlay(QWidget* content, QWidget* parent)
    : QWidget(parent)
    , m_content(content)
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(content, 0, Qt::AlignCenter);
    setGeometry(parent->rect());
    // Follows the parent's size for as long as it is shown.
    parent->installEventFilter(this);
}

bool PreviewOverlay::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}

void PreviewOverlay::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 128));
}

void PreviewOverlay::mousePressEvent(QMouseEvent* event)
{
    if (!m_content->geometry().contains(event->position().toPoint()))
        emit dismissed();
}

} // namespace kivo
