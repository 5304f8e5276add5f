#include "ToolButton.h"

#include "editor/canvas/EditorIcons.h"

#include "core/WidgetStyle.h"

namespace kivo {

ToolButton::ToolButton(const QString& title, const QString& systemImage, QWidget* parent)
    : QToolButton(parent)
{
    setText(title);
    setIcon(editorIcon(systemImage, palette().color(QPalette::WindowText)));
    setIconSize(QSize(18, 18));
    setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    setAutoRaise(true);
    setCursor(Qt::PointingHandCursor);
    styleFont(this, 0.85);
    refreshLook();
}

void ToolButton::setActive(bool active)
{
    if (m_isActive == active)
        return;
    m_isActive = active;
    refreshLook();
}

void ToolButton::refreshLook()
{
    QColor fill = palette().color(QPalette::Highlight);
    fill.setAlphaF(0.15f);
    // A menu's own arrow is part of the caption.
    setStyleSheet(QStringLiteral("QToolButton { background: %1; border: none; border-radius: 6px; padding: 4px; }"
                                 "QToolButton::menu-indicator { image: none; }")
                      .arg(m_isActive ? fill.name(QColor::HexArgb) : QStringLiteral("transparent")));
}

} // namespace kivo
