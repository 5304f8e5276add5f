#include "TriggerActivityRow.h"

#include "FolderMonitorRules.h"

#include "core/DomainModel.h"
#include "core/WidgetStyle.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>

namespace kivo {

namespace {

struct StatusLook {
    const char* icon;
    QColor color;
};

StatusLook lookOf(TriggerActivityStatus status)
{
    switch (status) {
    case TriggerActivityStatus::processing: return {"hourglass", QColor(0xff, 0x95, 0x00)};
    case TriggerActivityStatus::completed: return {"checkmark-circle", QColor(0x30, 0xb0, 0x50)};
    case TriggerActivityStatus::failed: return {"xmark-circle", QColor(0xff, 0x3b, 0x30)};
    }
    return {"hourglass", QColor(0x8e, 0x8e, 0x93)};
}

} // namespace

// A label that shows as much of its text as fits, cut in the middle: file names differ at their
// ends ("IMG_20250105_1430…_edit.jpg").
class TriggerActivityRow::ElidedLabel : public QLabel {
public:
    using QLabel::QLabel;
    void setFullText(const QString& text)
    {
        m_fullText = text;
        setToolTip(text);
        updateElision();
    }
    QString fullText() const { return m_fullText; }
    QSize minimumSizeHint() const override { return {fontMetrics().horizontalAdvance(u'…') * 8, QLabel::minimumSizeHint().height()}; }
    QSize sizeHint() const override { return {fontMetrics().horizontalAdvance(m_fullText), QLabel::sizeHint().height()}; }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QLabel::resizeEvent(event);
        updateElision();
    }

private:
    void updateElision() { setText(fontMetrics().elidedText(m_fullText, Qt::ElideMiddle, std::max(0, width()))); }
    QString m_fullText;
};

TriggerActivityRow::TriggerActivityRow(TriggerActivity* activity, QWidget* parent)
    : QWidget(parent)
    , m_activity(activity)
    , m_icon(new QLabel)
    , m_name(new ElidedLabel)
    , m_status(new QLabel)
    , m_time(new QLabel)
    , m_error(new QLabel)
{
    m_icon->setFixedSize(20, 20);
    m_name->setFullText(activity->filename());
    m_name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setCursor(Qt::PointingHandCursor);
    QFont nameFont = m_name->font();
    nameFont.setWeight(QFont::Medium);
    m_name->setFont(nameFont);
    m_time->setForegroundRole(QPalette::PlaceholderText);
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: #ff3b30;"));
    m_error->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* line = new QHBoxLayout;
    line->setSpacing(10);
    line->addWidget(m_name, 1);
    line->addWidget(m_status);
    line->addWidget(m_time);
    texts->addLayout(line);
    texts->addWidget(m_error);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 6, 8, 6);
    row->setSpacing(10);
    row->addWidget(m_icon, 0, Qt::AlignTop);
    row->addLayout(texts, 1);

    connect(activity, &TriggerActivity::statusChanged, this, &TriggerActivityRow::refresh);
    connect(activity, &TriggerActivity::errorChanged, this, &TriggerActivityRow::refresh);
    connect(activity, &TriggerActivity::resultPathChanged, this, &TriggerActivityRow::refresh);
    refresh();
}

QString TriggerActivityRow::shownName() const
{
    return m_name->text();
}

QUrl TriggerActivityRow::target() const
{
    if (!m_activity)
        return {};
    if (!m_activity->resultPath().isEmpty() && QFileInfo::exists(m_activity->resultPath()))
        return QUrl::fromLocalFile(m_activity->resultPath());
    if (!m_activity->sourcePath().isEmpty())
        return QUrl::fromLocalFile(QFileInfo(m_activity->sourcePath()).path());
    return {};
}

void TriggerActivityRow::mouseReleaseEvent(QMouseEvent* event)
{
    QWidget::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        if (const QUrl url = target(); url.isValid())
            QDesktopServices::openUrl(url);
}

QString TriggerActivityRow::statusText() const
{
    return m_status->text();
}

QString TriggerActivityRow::timeText() const
{
    return m_time->text();
}

QString TriggerActivityRow::errorText() const
{
    return m_error->isHidden() ? QString() : m_error->text();
}

void TriggerActivityRow::refresh()
{
    if (!m_activity)
        return;
    const StatusLook look = lookOf(m_activity->status());
    m_icon->setPixmap(tintedPixmap(QIcon(QStringLiteral(":/monitor-icons/%1.svg").arg(QLatin1StringView(look.icon))),
                                   QSize(18, 18), look.color, devicePixelRatioF()));
    m_status->setText(rawValue(m_activity->status()));
    m_status->setStyleSheet(QStringLiteral("color: %1; font-weight: 600;").arg(look.color.name()));
    m_error->setText(m_activity->errorText());
    m_error->setVisible(!m_activity->errorText().isEmpty());
    setToolTip(m_activity->resultPath().isEmpty() ? tr("Open the folder of %1").arg(m_activity->filename())
                                                  : tr("Open %1").arg(m_activity->resultPath()));
    m_name->setToolTip(m_activity->filename());
    refreshTime();
}

void TriggerActivityRow::refreshTime()
{
    if (m_activity)
        m_time->setText(relativeTimeText(m_activity->timestamp().secsTo(QDateTime::currentDateTimeUtc())));
}

} // namespace kivo
