#include "TabButton.h"

#include "core/WidgetStyle.h"

#include <QPainter>
#include <QPainterPath>

namespace kivo {

namespace {
constexpr int horizontalPadding = 16;
constexpr int verticalPadding = 8;
constexpr int iconExtent = 14;
constexpr int spacing = 8;
constexpr qreal cornerRadius = 6;
} // namespace

TabButton::TabButton(const QString& title, const QIcon& icon, QWidget* parent)
    : QAbstractButton(parent)
{
    setText(title);
    setIcon(icon);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setAttribute(Qt::WA_Hover);
    QFont titleFont = font();
    titleFont.setPointSize(10);
    titleFont.setWeight(QFont::Medium);
    setFont(titleFont);
}

void TabButton::setSelected(bool selected)
{
    if (m_selected == selected)
        return;
    m_selected = selected;
    update();
}

QSize TabButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    const int width = horizontalPadding * 2 + iconExtent + spacing + metrics.horizontalAdvance(text());
    const int height = verticalPadding * 2 + qMax(iconExtent, metrics.height());
    return {width, height};
}

void TabButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    const QColor accent = palette().color(QPalette::Highlight);
    const QColor foreground = m_selected ? accent : palette().color(QPalette::WindowText);

    if (m_selected || underMouse()) {
        QColor fill = accent;
        fill.setAlphaF(m_selected ? 0.10f : 0.05f);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius, cornerRadius);
        painter.fillPath(path, fill);
    }

    const QRect content = rect().adjusted(horizontalPadding, verticalPadding, -horizontalPadding, -verticalPadding);
    const QRect iconRect(content.left(), content.center().y() - iconExtent / 2 + 1, iconExtent, iconExtent);
    if (!icon().isNull()) {
        painter.drawPixmap(iconRect, tintedPixmap(icon(), iconRect.size(), foreground, devicePixelRatioF()));
    }

    painter.setPen(foreground);
    const QRect textRect = content.adjusted(iconExtent + spacing, 0, 0, 0);
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, text());
}

} // namespace kivo
