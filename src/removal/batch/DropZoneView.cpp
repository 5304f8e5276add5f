#include "DropZoneView.h"

#include "core/WidgetStyle.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kivo {

namespace {
const QColor dropBlue(0x0a, 0x84, 0xff);
}

DropZoneView::DropZoneView(QWidget* parent)
    : QWidget(parent)
{
    m_badge = new QLabel;
    m_badge->setFixedSize(80, 80);
    m_badge->setAlignment(Qt::AlignCenter);

    m_heading = new QLabel;
    QFont headingFont = m_heading->font();
    headingFont.setPointSizeF(headingFont.pointSizeF() * 1.5);
    headingFont.setWeight(QFont::DemiBold);
    m_heading->setFont(headingFont);
    m_heading->setAlignment(Qt::AlignCenter);

    auto* text = m_text = new QLabel;
    text->setAlignment(Qt::AlignCenter);
    text->setForegroundRole(QPalette::PlaceholderText);

    m_browseButton = new QPushButton(tr("Browse Files"));
    makeProminent(m_browseButton);
    m_browseButton->setCursor(Qt::PointingHandCursor);
    connect(m_browseButton, &QPushButton::clicked, this, &DropZoneView::browseRequested);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(14);
    layout->addStretch();
    layout->addWidget(m_badge, 0, Qt::AlignHCenter);
    layout->addWidget(m_heading);
    layout->addWidget(text);
    layout->addSpacing(6);
    layout->addWidget(m_browseButton, 0, Qt::AlignHCenter);
    layout->addStretch();

    setDragOver(false);
}

void DropZoneView::setDragOver(bool dragOver)
{
    const QColor tint = dragOver ? dropBlue : palette().color(QPalette::PlaceholderText);
    const QString icon = dragOver ? QStringLiteral(":/removal-icons/photo-add.svg")
                                  : QStringLiteral(":/removal-icons/photos.svg");
    m_badge->setPixmap(tintedPixmap(QIcon(icon), QSize(56, 56), tint, devicePixelRatioF()));
    QColor badgeFill = tint;
    badgeFill.setAlphaF(0.12f);
    m_badge->setStyleSheet(QStringLiteral("background: %1; border-radius: 40px;").arg(badgeFill.name(QColor::HexArgb)));
    m_heading->setText(!m_dropsEnabled ? tr("Add Images")
                       : dragOver      ? tr("Drop your images here!")
                                       : tr("Drag & Drop Images"));
    m_text->setText(m_dropsEnabled ? tr("Support for JPG, PNG, GIF, BMP, TIFF, WebP, HEIC files\n"
                                        "You can also drop folders containing images")
                                   : tr("Drag and drop is turned off in Settings.\n"
                                        "Click Browse Files to add JPG, PNG, GIF, BMP, TIFF, WebP or HEIC photos."));
}

void DropZoneView::setDropsEnabled(bool enabled)
{
    m_dropsEnabled = enabled;
    setDragOver(false);
}

} // namespace kivo
