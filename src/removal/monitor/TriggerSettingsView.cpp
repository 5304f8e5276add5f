#include "TriggerSettingsView.h"

#include "TriggerActivityRow.h"

#include "core/AppState.h"
#include "core/Log.h"
#include "core/WidgetStyle.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QHash>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace kivo {

namespace {

const QColor green(0x30, 0xb0, 0x50);
const QColor orange(0xff, 0x95, 0x00);
const QColor grey(0x8e, 0x8e, 0x93);
const QColor blue(0x0a, 0x84, 0xff);
const QColor red(0xff, 0x3b, 0x30);

QLabel* iconLabel(const char* name, const QColor& color, int side)
{
    auto* label = new QLabel;
    label->setFixedSize(side, side);
    label->setPixmap(tintedPixmap(QIcon(QStringLiteral(":/monitor-icons/%1.svg").arg(QLatin1StringView(name))),
                                  QSize(side, side), color, label->devicePixelRatioF()));
    return label;
}

QLabel* sectionTitle(const QString& text)
{
    auto* label = new QLabel(text);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 1.1);
    font.setWeight(QFont::DemiBold);
    label->setFont(font);
    return label;
}

// A row of widgets: `filling`, one of them, takes the spare width; without it the row is
// left-aligned, its empty end no part of its controls.
QWidget* row(std::initializer_list<QWidget*> widgets, QWidget* filling = nullptr)
{
    auto* holder = new QWidget;
    auto* layout = new QHBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    for (QWidget* widget : widgets)
        layout->addWidget(widget, widget == filling ? 1 : 0);
    if (!filling)
        layout->addStretch();
    return holder;
}

QWidget* column(std::initializer_list<QWidget*> widgets, int spacing = 8)
{
    auto* holder = new QWidget;
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    for (QWidget* widget : widgets)
        layout->addWidget(widget);
    return holder;
}

// Two buttons joined into one control, the chosen one filled with the accent colour.
QString segmentStyle(bool first, const QPalette& palette)
{
    const QString corners = first ? QStringLiteral("border-top-left-radius: 6px; border-bottom-left-radius: 6px;")
                                  : QStringLiteral("border-top-right-radius: 6px; border-bottom-right-radius: 6px;");
    return QStringLiteral("QPushButton { border: 1px solid %1; padding: 5px 16px; background: %2; %3 }"
                          "QPushButton:checked { background: %4; color: %5; border-color: %4; }"
                          "QPushButton:disabled { color: %6; }"
                          "QPushButton:checked:disabled { background: %7; color: %8; border-color: %7; }")
        .arg(palette.color(QPalette::Mid).name(), palette.color(QPalette::Button).name(), corners,
             palette.color(QPalette::Highlight).name(), palette.color(QPalette::HighlightedText).name(),
             palette.color(QPalette::Disabled, QPalette::ButtonText).name(),
             palette.color(QPalette::Highlight).lighter(160).name(), palette.color(QPalette::HighlightedText).name());
}

} // namespace

TriggerSettingsView::TriggerSettingsView(AppState& appState, QWidget* parent)
    : QWidget(parent)
    , m_appState(appState)
{
    auto* content = new QWidget;
    auto* sections = new QVBoxLayout;
    sections->setSpacing(20);
    sections->addWidget(buildHeader());
    m_enableSwitch = new QCheckBox(tr("Enable Trigger"));
    sections->addWidget(row({m_enableSwitch}));
    sections->addWidget(buildEngineSection());
    sections->addWidget(buildFolderSection());
    sections->addWidget(buildStatusSection());
    sections->addWidget(buildActivitySection());
    sections->addStretch();

    // A readable column in the middle of a wide window.
    auto* centered = new QHBoxLayout(content);
    centered->setContentsMargins(24, 24, 24, 24);
    centered->addStretch(1);
    centered->addLayout(sections, 12);
    centered->addStretch(1);
    content->setMaximumWidth(900);

    auto* scroll = new QScrollArea;
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);

    connect(m_enableSwitch, &QCheckBox::clicked, this, [this](bool on) { m_appState.setTriggerEnabled(on); });
    connect(&m_appState, &AppState::userPreferencesChanged, this, [this] {
        adoptPreferences();
        refresh();
    });
    connect(&m_appState, &AppState::triggerStatusChanged, this, &TriggerSettingsView::refresh);
    connect(&m_appState, &AppState::triggerRecentActivityChanged, this, &TriggerSettingsView::refreshActivityRows);

    // Relative times move on, and a folder deleted meanwhile should say so.
    m_clock.setInterval(15000);
    connect(&m_clock, &QTimer::timeout, this, [this] {
        for (TriggerActivityRow* activityRow : std::as_const(m_rows))
            activityRow->refreshTime();
        refresh();
    });

    adoptPreferences();
    refresh();
    refreshActivityRows();
}

QWidget* TriggerSettingsView::buildHeader()
{
    auto* title = new QLabel(tr("Folder Trigger"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    titleFont.setBold(true);
    title->setFont(titleFont);
    auto* line = new QLabel(tr("Automatically process images when they are added to a monitored folder"));
    line->setForegroundRole(QPalette::PlaceholderText);
    line->setWordWrap(true);

    auto* header = new QWidget;
    auto* layout = new QHBoxLayout(header);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(14);
    layout->addWidget(iconLabel("folder-badge-gearshape", palette().color(QPalette::Highlight), 40), 0, Qt::AlignTop);
    auto* texts = column({title, line}, 4);
    layout->addWidget(texts, 1);
    return header;
}

QWidget* TriggerSettingsView::buildEngineSection()
{
    m_localButton = new QPushButton(rawValue(AIModelSelection::localFree));
    m_kivoButton = new QPushButton(rawValue(AIModelSelection::kivo));
    auto* group = new QButtonGroup(this);
    for (QPushButton* button : {m_localButton, m_kivoButton}) {
        button->setCheckable(true);
        button->setStyleSheet(segmentStyle(button == m_localButton, palette()));
        group->addButton(button);
    }
    connect(m_localButton, &QPushButton::clicked, this, [this] { chooseEngine(AIModelSelection::localFree); });
    connect(m_kivoButton, &QPushButton::clicked, this, [this] { chooseEngine(AIModelSelection::kivo); });

    auto* segments = new QWidget;
    auto* joined = new QHBoxLayout(segments);
    joined->setContentsMargins(0, 0, 0, 0);
    joined->setSpacing(0);
    joined->addWidget(m_localButton);
    joined->addWidget(m_kivoButton);

    auto* noteText = new QLabel(tr("Using Kivo Model requires a valid API key and account"));
    noteText->setForegroundRole(QPalette::PlaceholderText);
    m_engineNote = row({iconLabel("info-circle", blue, 16), noteText});

    return column({sectionTitle(tr("AI Model")), row({segments}), m_engineNote});
}

QWidget* TriggerSettingsView::buildFolderSection()
{
    m_chooseButton = new QPushButton(tr("Choose Folder..."));
    makeProminent(m_chooseButton);
    m_openButton = new QPushButton(tr("Open Triggered Folder"));
    connect(m_chooseButton, &QPushButton::clicked, this, &TriggerSettingsView::chooseFolder);
    connect(m_openButton, &QPushButton::clicked, this, &TriggerSettingsView::openFolder);

    m_folderPath = new QLabel;
    m_folderPath->setWordWrap(true);
    m_folderPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_clearButton = new QPushButton(tr("Clear"));
    connect(m_clearButton, &QPushButton::clicked, this, &TriggerSettingsView::clearFolder);
    m_folderRow = row({iconLabel("folder", blue, 18), m_folderPath, m_clearButton}, m_folderPath);

    m_folderMissing = new QLabel(tr("This folder no longer exists. It is watched again as soon as it is back; "
                                    "or choose another folder."));
    m_folderMissing->setWordWrap(true);
    m_folderMissing->setStyleSheet(QStringLiteral("color: #ff3b30;"));

    auto* warning = new QLabel(tr("No folder selected. Click \"Choose Folder...\" to select a folder to monitor."));
    warning->setWordWrap(true);
    warning->setForegroundRole(QPalette::PlaceholderText);
    m_noFolderRow = row({iconLabel("exclamationmark-triangle", orange, 18), warning}, warning);

    return column({sectionTitle(tr("Monitored Folder")), row({m_chooseButton, m_openButton}), m_folderRow,
                   m_folderMissing, m_noFolderRow});
}

QWidget* TriggerSettingsView::buildStatusSection()
{
    m_statusDot = new QLabel;
    m_statusDot->setFixedSize(10, 10);
    m_statusText = new QLabel;
    auto* noteText = new QLabel(tr("Monitoring folder for new images..."));
    noteText->setStyleSheet(QStringLiteral("color: %1;").arg(green.name()));
    m_monitoringNote = row({iconLabel("checkmark-circle", green, 16), noteText});
    m_statusReason = new QLabel;
    m_statusReason->setWordWrap(true);
    m_statusReason->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_errorNote = row({iconLabel("xmark-circle", red, 16), m_statusReason}, m_statusReason);
    return column({sectionTitle(tr("Status")), row({m_statusDot, m_statusText}), m_monitoringNote, m_errorNote});
}

QWidget* TriggerSettingsView::buildActivitySection()
{
    m_processedCount = new QLabel;
    m_processedCount->setForegroundRole(QPalette::PlaceholderText);
    m_totals = new QLabel;
    m_totals->setForegroundRole(QPalette::PlaceholderText);
    m_clearHistoryButton = new QPushButton(tr("Clear History"));
    connect(m_clearHistoryButton, &QPushButton::clicked, &m_appState, &AppState::clearTriggerRecentActivity);
    QLabel* title = sectionTitle(tr("Recent Activity"));
    QWidget* header = row({title, m_processedCount, m_totals, m_clearHistoryButton}, title);

    auto* rows = new QFrame;
    rows->setObjectName(QStringLiteral("activityRows"));
    rows->setStyleSheet(QStringLiteral("QFrame#activityRows { border: 1px solid palette(mid); border-radius: 8px; }"));
    m_rowsLayout = new QVBoxLayout(rows);
    m_rowsLayout->setContentsMargins(4, 4, 4, 4);
    m_rowsLayout->setSpacing(0);

    auto* emptyTitle = new QLabel(tr("No recent activity"));
    QFont emptyFont = emptyTitle->font();
    emptyFont.setWeight(QFont::Medium);
    emptyTitle->setFont(emptyFont);
    auto* emptyLine = new QLabel(tr("Processed images will appear here"));
    emptyLine->setForegroundRole(QPalette::PlaceholderText);
    m_emptyActivity = column({iconLabel("clock-arrow-circlepath", grey, 36), emptyTitle, emptyLine}, 6);
    for (QWidget* child : m_emptyActivity->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        m_emptyActivity->layout()->setAlignment(child, Qt::AlignHCenter);
    m_emptyActivity->setContentsMargins(0, 20, 0, 20);
    m_rowsLayout->addWidget(m_emptyActivity);

    return column({header, rows});
}

QPushButton* TriggerSettingsView::engineButton(AIModelSelection engine) const
{
    return engine == AIModelSelection::kivo ? m_kivoButton : m_localButton;
}

// ---- Appearing and disappearing -------------------------------------------------------------

void TriggerSettingsView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // A window restored from the task bar is no new appearance.
    if (event->spontaneous())
        return;
    adoptPreferences();
    if (m_appState.userPreferences().triggerEnabled && m_chosenFolder)
        m_appState.startFolderMonitoring();
    refresh();
    m_clock.start();
}

void TriggerSettingsView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (event->spontaneous())
        return;
    m_clock.stop();
    storeChoices();
}

void TriggerSettingsView::adoptPreferences()
{
    const UserPreferences& preferences = m_appState.userPreferences();
    m_chosenFolder = preferences.triggerFolderPath && !preferences.triggerFolderPath->isEmpty()
        ? preferences.triggerFolderPath
        : std::nullopt;
    m_chosenEngine = preferences.triggerAIModel == u"kivo" ? AIModelSelection::kivo : AIModelSelection::localFree;
}

void TriggerSettingsView::storeChoices()
{
    UserPreferences preferences = m_appState.userPreferences();
    preferences.triggerFolderPath = m_chosenFolder;
    preferences.triggerAIModel = preferenceText(m_chosenEngine);
    m_appState.setUserPreferences(preferences);
}

// ---- Actions --------------------------------------------------------------------------------

// Stored at once, not only when the view disappears: the monitor switched on right after must
// use the engine the view shows.
void TriggerSettingsView::chooseEngine(AIModelSelection engine)
{
    m_chosenEngine = engine;
    storeChoices();
}

void TriggerSettingsView::chooseFolder()
{
    if (m_folderPanel)
        return;
    // Qt's own panel, embedded under the message: the platform's panels have no place for one.
    auto* sheet = new QDialog(this);
    sheet->setWindowTitle(tr("Select Folder to Monitor"));
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->resize(760, 520);
    auto* message = new QLabel(tr("Choose a folder that will be monitored for new images"));
    m_folderPanel = new QFileDialog(sheet, tr("Select Folder to Monitor"),
                                    m_chosenFolder.value_or(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation)));
    m_folderPanel->setWindowFlags(Qt::Widget);
    m_folderPanel->setOption(QFileDialog::DontUseNativeDialog);
    m_folderPanel->setOption(QFileDialog::ShowDirsOnly);
    m_folderPanel->setFileMode(QFileDialog::Directory);
    m_folderPanel->setLabelText(QFileDialog::Accept, tr("Choose"));
    auto* layout = new QVBoxLayout(sheet);
    layout->addWidget(message);
    layout->addWidget(m_folderPanel, 1);

    connect(m_folderPanel, &QFileDialog::fileSelected, this, &TriggerSettingsView::folderChosen);
    connect(m_folderPanel, &QFileDialog::finished, sheet, &QDialog::done);
    sheet->open();
}

void TriggerSettingsView::folderChosen(const QString& path)
{
    if (path.isEmpty())
        return;
    m_chosenFolder = QDir::cleanPath(path);
    storeChoices();
    if (m_appState.userPreferences().triggerEnabled)
        m_appState.startFolderMonitoring();
}

// The stored folder goes too, at once: switching the trigger on again must not resume
// watching a folder the view no longer shows.
void TriggerSettingsView::clearFolder()
{
    m_chosenFolder.reset();
    m_appState.stopFolderMonitoring();
    logLine(QStringLiteral("Stopping folder monitoring"));
    storeChoices();
}

void TriggerSettingsView::openFolder()
{
    if (m_chosenFolder)
        QDesktopServices::openUrl(QUrl::fromLocalFile(*m_chosenFolder));
}

// ---- Showing the state ----------------------------------------------------------------------

bool TriggerSettingsView::folderIsMissing() const
{
    return m_chosenFolder && !QFileInfo(*m_chosenFolder).isDir();
}

void TriggerSettingsView::refresh()
{
    const bool enabled = m_appState.userPreferences().triggerEnabled;
    {
        const QSignalBlocker blocker(m_enableSwitch);
        m_enableSwitch->setChecked(enabled);
    }
    m_localButton->setChecked(m_chosenEngine == AIModelSelection::localFree);
    m_kivoButton->setChecked(m_chosenEngine == AIModelSelection::kivo);
    m_localButton->setEnabled(!enabled);
    m_kivoButton->setEnabled(!enabled);
    m_engineNote->setVisible(m_chosenEngine == AIModelSelection::kivo);

    const bool hasFolder = m_chosenFolder.has_value();
    m_openButton->setVisible(hasFolder);
    m_openButton->setEnabled(!folderIsMissing());
    m_folderRow->setVisible(hasFolder);
    m_noFolderRow->setVisible(!hasFolder);
    m_folderPath->setText(m_chosenFolder.value_or(QString()));
    m_folderMissing->setVisible(folderIsMissing());
    refreshStatus();
}

// The dot, the word and the line all come from the one status: the line under it says
// "Monitoring folder…" only while the folder really is watched.
void TriggerSettingsView::refreshStatus()
{
    const TriggerStatus status = m_appState.triggerStatus();
    const QColor color = status == TriggerStatus::monitoring ? green
        : status == TriggerStatus::processing                ? orange
        : status == TriggerStatus::error                     ? red
                                                             : grey;
    m_statusDot->setStyleSheet(QStringLiteral("background: %1; border-radius: 5px;").arg(color.name()));
    const AppState::TriggerProgress progress = m_appState.triggerProgress();
    m_statusText->setText(status == TriggerStatus::processing && progress.total > 0
                              ? tr("Processing %1 of %2").arg(progress.current).arg(progress.total)
                              : rawValue(status));
    m_monitoringNote->setVisible(status == TriggerStatus::monitoring || status == TriggerStatus::processing);
    const QString reason = m_appState.triggerStatusReason();
    m_statusReason->setText(reason);
    m_statusReason->setStyleSheet(status == TriggerStatus::error ? QStringLiteral("color: %1;").arg(red.name())
                                                                 : QString());
    m_errorNote->setVisible(!reason.isEmpty());
    m_errorNote->layout()->itemAt(0)->widget()->setVisible(status == TriggerStatus::error);
    refreshActivityHeader();
}

// The whole history stays; rows are made only for activities that are new, so a long session
// costs one row per file, not the whole list per file.
void TriggerSettingsView::refreshActivityRows()
{
    QList<TriggerActivityRow*> rows;
    QHash<TriggerActivity*, TriggerActivityRow*> existing;
    for (TriggerActivityRow* activityRow : std::as_const(m_rows)) {
        if (activityRow->activity())
            existing.insert(activityRow->activity(), activityRow);
        else
            delete activityRow;
    }
    const QList<QPointer<TriggerActivity>>& activities = m_appState.triggerRecentActivity();
    for (const QPointer<TriggerActivity>& activity : activities) {
        if (!activity)
            continue;
        TriggerActivityRow* activityRow = existing.take(activity);
        if (!activityRow) {
            activityRow = new TriggerActivityRow(activity);
            connect(activity, &TriggerActivity::statusChanged, this, &TriggerSettingsView::refreshActivityHeader,
                    Qt::UniqueConnection);
        }
        // Newest first, after the empty-list placeholder.
        m_rowsLayout->insertWidget(int(rows.size()) + 1, activityRow);
        rows.append(activityRow);
    }
    qDeleteAll(existing);
    m_rows = rows;
    refreshActivityHeader();
}

void TriggerSettingsView::refreshActivityHeader()
{
    const QList<QPointer<TriggerActivity>>& activities = m_appState.triggerRecentActivity();
    const auto count = [&activities](TriggerActivityStatus status) {
        return std::count_if(activities.begin(), activities.end(),
                             [status](const QPointer<TriggerActivity>& a) { return a && a->status() == status; });
    };
    const auto completed = count(TriggerActivityStatus::completed);
    const auto failed = count(TriggerActivityStatus::failed);
    const AppState::TriggerProgress progress = m_appState.triggerProgress();
    const int waiting = m_appState.triggerStatus() == TriggerStatus::processing ? progress.total - progress.current : 0;
    m_processedCount->setText(tr("%1 files processed").arg(completed));
    m_processedCount->setVisible(completed > 0);
    QStringList totals;
    if (failed > 0)
        totals << tr("%1 failed").arg(failed);
    if (waiting > 0)
        totals << tr("%1 waiting").arg(waiting);
    m_totals->setText(totals.join(QStringLiteral(" · ")));
    m_totals->setVisible(!totals.isEmpty());
    m_clearHistoryButton->setVisible(!activities.isEmpty());
    m_emptyActivity->setVisible(activities.isEmpty());
}

} // namespace kivo
