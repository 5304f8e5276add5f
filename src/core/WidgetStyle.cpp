#include "WidgetStyle.h"

#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace kivo {

void makeProminent(QPushButton* button)
{
    const QPalette palette = button->palette();
    const QColor accent = palette.color(QPalette::Highlight);
    button->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; color: %2; border: 1px solid %3;"
                                         " border-radius: 5px; padding: 4px 12px; font-weight: 600; }"
                                         "QPushButton:hover { background-color: %4; }"
                                         "QPushButton:disabled { background-color: %5; color: %6; border-color: %5; }")
                              .arg(accent.name(), palette.color(QPalette::HighlightedText).name(),
                                   accent.darker(115).name(), accent.lighter(110).name(),
                                   palette.color(QPalette::Button).darker(108).name(),
                                   palette.color(QPalette::Disabled, QPalette::ButtonText).name()));
}

QPixmap tintedPixmap(const QIcon& icon, const QSize& size, const QColor& color, qreal devicePixelRatio)
{
    QPixmap pixmap = icon.pixmap(size, devicePixelRatio);
    if (pixmap.isNull())
        return pixmap;
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    return pixmap;
}

void styleFont(QWidget* widget, qreal scale, QFont::Weight weight)
{
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setWeight(weight);
    widget->setFont(font);
}

QLabel* secondaryLabel(const QString& text, qreal fontScale)
{
    auto* label = new QLabel(text);
    label->setForegroundRole(QPalette::PlaceholderText);
    label->setWordWrap(true);
    if (fontScale != 1.0)
        styleFont(label, fontScale);
    return label;
}

QLabel* symbolLabel(const QString& resource, const QColor& color, int side)
{
    auto* label = new QLabel;
    label->setAlignment(Qt::AlignCenter);
    label->setPixmap(tintedPixmap(QIcon(resource), QSize(side, side), color));
    return label;
}

QWidget* centredColumn(std::initializer_list<QWidget*> widgets, int spacing)
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    if (spacing >= 0)
        layout->setSpacing(spacing);
    layout->addStretch();
    for (QWidget* widget : widgets)
        layout->addWidget(widget, 0, Qt::AlignHCenter);
    layout->addStretch();
    return page;
}

void paintCheckerboard(QPainter& painter, const QRect& area, int cell)
{
    painter.fillRect(area, Qt::white);
    QColor grey(Qt::gray);
    grey.setAlphaF(0.2f);
    for (int row = 0; row * cell < area.height(); ++row)
        for (int column = 0; column * cell < area.width(); ++column)
            if ((row + column) % 2 == 0)
                painter.fillRect(QRect(area.x() + column * cell, area.y() + row * cell, cell, cell).intersected(area), grey);
}

} // namespace kivo
