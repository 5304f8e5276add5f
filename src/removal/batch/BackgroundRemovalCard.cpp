#include "BackgroundRemovalCard.h"

#include "BusyIndicator.h"

#include "core/WidgetStyle.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <utility>

namespace kivo {

namespace {

constexpr int imageSide = 120;

struct StatusLook {
    const char* text;
    QColor color;
};

StatusLook statusLook(ProcessingStatus status)
{
    switch (status) {
    case ProcessingStatus::pending: return {"Pending", QColor(0x8e, 0x8e, 0x93)};
    case ProcessingStatus::processing: return {"Processing...", QColor(0x0a, 0x84, 0xff)};
    case ProcessingStatus::completed: return {"Completed", QColor(0x30, 0xb0, 0x50)};
    case ProcessingStatus::failed: return {"Failed", QColor(0xff, 0x3b, 0x30)};
    }
    return {"", Qt::gray};
}

// Result pane pages.
enum Page { resultPage, pendingPage, processingPage, failedPage };

QLabel* caption(const QString& text)
{
    auto* label = new QLabel(text);
    label->setAlignment(Qt::AlignCenter);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

QLabel* imageBox()
{
    auto* label = new QLabel;
    label->setFixedSize(imageSide, imageSide);
    label->setAlignment(Qt::AlignCenter);
    label->setCursor(Qt::PointingHandCursor);
    label->setStyleSheet(QStringLiteral("background: palette(alternate-base); border-radius: 8px;"));
    return label;
}

// The image scaled into the card's box; a cut-out sits on a checkerboard so that its
// transparent background shows as transparent.
QPixmap fitted(const QImage& image, bool onCheckerboard = false)
{
    if (image.isNull())
        return {};
    const QImage scaled = image.scaled(imageSide, imageSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (!onCheckerboard)
        return QPixmap::fromImage(scaled);
    QPixmap pixmap(scaled.size());
    QPainter painter(&pixmap);
    paintCheckerboard(painter, pixmap.rect(), 8);
    painter.drawImage(0, 0, scaled);
    return pixmap;
}

} // namespace

BackgroundRemovalCard::BackgroundRemovalCard(QWidget* parent)
    : QFrame(parent)
{
    setObjectName(QStringLiteral("card"));

    m_nameLabel = new QLabel;
    QFont nameFont = m_nameLabel->font();
    nameFont.setWeight(QFont::DemiBold);
    m_nameLabel->setFont(nameFont);
    m_nameLabel->setMinimumWidth(60);
    m_statusBadge = new QLabel;

    auto* top = new QHBoxLayout;
    top->addWidget(m_nameLabel, 1);
    top->addWidget(m_statusBadge);

    m_originalImage = imageBox();
    m_originalImage->installEventFilter(this);
    auto* original = new QVBoxLayout;
    original->addWidget(m_originalImage);
    original->addWidget(caption(tr("Original")));

    auto* processed = new QVBoxLayout;
    processed->addWidget(buildResultPane());
    processed->addWidget(caption(tr("Processed")));

    auto* images = new QHBoxLayout;
    images->addStretch();
    images->addLayout(original);
    images->addWidget(symbolLabel(QStringLiteral(":/removal-icons/arrow-right.svg"), palette().color(QPalette::PlaceholderText), 18));
    images->addLayout(processed);
    images->addStretch();

    m_downloadButton = new QPushButton(tr("Download"));
    m_editButton = new QPushButton(tr("Edit"));
    for (QPushButton* button : {m_downloadButton, m_editButton}) {
        button->setCursor(Qt::PointingHandCursor);
        // Cards of one row keep one height whether or not they have a result yet.
        QSizePolicy policy = button->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        button->setSizePolicy(policy);
    }
    connect(m_downloadButton, &QPushButton::clicked, this, [this] { emit downloadRequested(m_task); });
    connect(m_editButton, &QPushButton::clicked, this, [this] { emit editRequested(m_task); });
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_downloadButton);
    buttons->addWidget(m_editButton);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(10);
    layout->addLayout(top);
    layout->addLayout(images);
    layout->addLayout(buttons);
}

QWidget* BackgroundRemovalCard::buildResultPane()
{
    m_resultPane = new QStackedWidget;
    m_resultPane->setFixedSize(imageSide, imageSide);
    m_resultPane->setStyleSheet(QStringLiteral("QStackedWidget { background: palette(alternate-base); border-radius: 8px; }"));

    m_processedImage = imageBox();
    m_processedImage->installEventFilter(this);
    m_resultPane->insertWidget(resultPage, m_processedImage);

    const QColor grey = palette().color(QPalette::PlaceholderText);
    m_pendingCaption = caption(tr("Pending"));
    m_pendingCaption->setWordWrap(true);
    m_resultPane->insertWidget(pendingPage, centredColumn({symbolLabel(QStringLiteral(":/removal-icons/clock.svg"), grey, 26),
                                                           m_pendingCaption}));
    m_busy = new BusyIndicator;
    m_processingCaption = caption(tr("Processing..."));
    m_processingCaption->setWordWrap(true);
    m_resultPane->insertWidget(processingPage, centredColumn({m_busy, m_processingCaption}));

    m_errorLabel = new QLabel;
    m_errorLabel->setWordWrap(true);
    m_errorLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_errorLabel->setStyleSheet(QStringLiteral("color: #ff3b30; font-size: 8pt;"));
    auto* failedCaption = caption(tr("Failed"));
    QWidget* failed = centredColumn({symbolLabel(QStringLiteral(":/removal-icons/warning.svg"), QColor(0xff, 0x3b, 0x30), 24),
                                     failedCaption});
    // Added without an alignment, the label takes the box's width and the height its wrapped
    // lines need; centred, the layout would give it a single line and cut the text mid-word.
    auto* failedLayout = static_cast<QVBoxLayout*>(failed->layout());
    failedLayout->setContentsMargins(4, 0, 4, 0);
    failedLayout->insertWidget(failedLayout->count() - 1, m_errorLabel);
    m_resultPane->insertWidget(failedPage, failed);
    return m_resultPane;
}

QString BackgroundRemovalCard::statusText() const
{
    return QString::fromLatin1(statusLook(m_task.status).text);
}

void BackgroundRemovalCard::setTask(const ImageProcessingTask& task, const QString& note)
{
    m_pendingCaption->setText(note.isEmpty() ? tr("Pending") : note);
    m_processingCaption->setText(note.isEmpty() ? tr("Processing...") : note);
    const bool first = !std::exchange(m_showsTask, true);
    const ImageProcessingTask previous = std::exchange(m_task, task);
    const StatusLook look = statusLook(task.status);

    if (first || previous.originalURL != task.originalURL) {
        const QString name = task.originalURL.fileName();
        m_nameLabel->setText(m_nameLabel->fontMetrics().elidedText(name, Qt::ElideMiddle, 200));
        m_nameLabel->setToolTip(name);
    }

    if (first || previous.status != task.status) {
        QColor fill = look.color;
        fill.setAlphaF(0.15f);
        m_statusBadge->setText(QString::fromLatin1(look.text));
        m_statusBadge->setStyleSheet(QStringLiteral("color: %1; background: %2; border-radius: 8px; padding: 2px 8px;"
                                                    " font-size: 8pt; font-weight: 600;")
                                         .arg(look.color.name(), fill.name(QColor::HexArgb)));
        QColor border = look.color;
        border.setAlphaF(0.55f);
        setStyleSheet(QStringLiteral("QFrame#card { border: 1.5px solid %1; border-radius: 12px; background: palette(base); }")
                          .arg(border.name(QColor::HexArgb)));
    }

    if (first || !(previous.originalImage == task.originalImage))
        m_originalImage->setPixmap(fitted(task.originalImage.thumbnail()));

    const bool hasResult = task.status == ProcessingStatus::completed && task.processedImage;
    switch (task.status) {
    case ProcessingStatus::pending: m_resultPane->setCurrentIndex(pendingPage); break;
    case ProcessingStatus::processing: m_resultPane->setCurrentIndex(processingPage); break;
    case ProcessingStatus::failed:
        m_errorLabel->setText(task.error.value_or(QString()));
        // A text too long even for the whole box can still be read in full.
        m_errorLabel->setToolTip(task.error.value_or(QString()));
        m_resultPane->setCurrentIndex(failedPage);
        break;
    case ProcessingStatus::completed:
        if (first || previous.processedImage != task.processedImage || previous.status != task.status)
            m_processedImage->setPixmap(hasResult ? fitted(task.processedImage->thumbnail(), true) : QPixmap());
        m_resultPane->setCurrentIndex(resultPage);
        break;
    }
    m_downloadButton->setVisible(hasResult);
    m_editButton->setVisible(hasResult);
}

bool BackgroundRemovalCard::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        const QString name = m_task.originalURL.fileName();
        if (watched == m_originalImage)
            emit imageTapped(m_task.originalImage, tr("Original - ") + name);
        else if (watched == m_processedImage && m_task.processedImage)
            emit imageTapped(*m_task.processedImage, tr("Processed - ") + name);
    }
    return QFrame::eventFilter(watched, event);
}

} // namespace kivo
