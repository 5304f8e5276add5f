#include "MainTabView.h"

#include "TabButton.h"
#include "desktop/CompletionSound.h"
#include "desktop/DesktopNotifier.h"
#include "desktop/LauncherProgress.h"
#include "desktop/RunFeedback.h"

#include "account/AccountSettingsView.h"
#include "account/SignInExchange.h"
#include "account/TransactionsTab.h"
#include "core/AppState.h"
#include "core/NotificationCenter.h"
#include "core/WidgetStyle.h"
#include "editor/document/ImageEditorModel.h"
#include "editor/window/ImageEditorTab.h"
#include "editor/window/ImagePreviewPopup.h"
#include "removal/batch/BackgroundRemovalTab.h"
#include "removal/batch/BatchCardView.h"
#include "removal/engine/ForegroundSegmenter.h"
#include "removal/engine/LocalRemovalEngine.h"
#include "removal/monitor/TriggerSettingsView.h"
#include "settings/SettingsView.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QPushButton>
#include <QStackedWidget>
#include <QThreadPool>
#include <QVBoxLayout>

namespace kivo {

namespace {

struct TabDescription {
    AppTab tab;
    const char* title;
    const char* iconName; // an icon of the application's own, overridable by the icon theme
};

constexpr std::array<TabDescription, 4> tabDescriptions{{
    {AppTab::backgroundRemoval, "Background Removal", "photo-badge-plus"},
    {AppTab::imageEditor, "Image Editor", "paintbrush"},
    {AppTab::transactions, "Transactions", "creditcard"},
    {AppTab::trigger, "Trigger", "play"},
}};

QIcon tabIcon(const char* name)
{
    return QIcon(QStringLiteral(":/icons/%1.svg").arg(QLatin1StringView(name)));
}

} // namespace

MainTabView::MainTabView(AppState& appState, QWidget* parent)
    : QWidget(parent)
    , m_appState(appState)
    , m_sessionRenewal(std::make_unique<BackendSessionRenewal>())
    , m_notifier(std::make_unique<DesktopNotifier>())
    , m_launcher(std::make_unique<LauncherProgress>())
    , m_completionSound(std::make_unique<CompletionSound>())
    , m_shortcuts(appState.userDefaults())
    , m_screens(new QStackedWidget(this))
{
    setMinimumSize(1000, 700);
    setFocusPolicy(Qt::ClickFocus);
    appState.setSessionRenewal(m_sessionRenewal.get());

    auto* batchTab = m_batchTab = new BackgroundRemovalTab(appState);
    // The batch tab's full-size preview is the editor's, with the editor's export flow.
    batchTab->setPreviewFactory([&appState](const QImage& image, const QString& title, std::function<void()> close) {
        auto* popup = new ImagePreviewPopup(appState, image, title);
        QObject::connect(popup, &ImagePreviewPopup::closeRequested, popup, std::move(close));
        return popup;
    });
    m_screens->addWidget(batchTab);
    m_screens->addWidget(new ImageEditorTab(appState));
    m_screens->addWidget(new TransactionsTab(appState));
    m_screens->addWidget(new TriggerSettingsView(appState));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildTabBar());
    layout->addWidget(m_screens, 1);

    connect(&appState, &AppState::activeTabChanged, this, &MainTabView::onActiveTabChanged);
    connect(&NotificationCenter::defaultCenter(), &NotificationCenter::posted, this, &MainTabView::onNotification);
    connect(&m_shortcuts, &KeyboardShortcutsManager::shortcutsChanged, this, &MainTabView::showShortcutsInToolTips);
    onActiveTabChanged();
    connectRunFeedback();
    showShortcutsInToolTips();
}

void MainTabView::connectRunFeedback()
{
    m_runFeedback = new RunFeedback(m_appState, *m_notifier, *m_launcher, *m_completionSound,
                                    [this] { return window()->isActiveWindow(); }, this);
    BatchRemovalQueue& queue = m_batchTab->queue();
    connect(&queue, &BatchRemovalQueue::processingStateChanged, m_runFeedback,
            [this, &queue] { m_runFeedback->runProgressed(queue.isProcessing(), queue.processingProgress()); });
    connect(&queue, &BatchRemovalQueue::runEnded, m_runFeedback, &RunFeedback::runEnded);
    connect(m_runFeedback, &RunFeedback::openResultsInEditor, &queue, &BatchRemovalQueue::openRunResults);
    connect(m_runFeedback, &RunFeedback::releaseEngineMemory, this,
            [] { QThreadPool::globalInstance()->start(releaseEngineMemory); });
    connect(m_runFeedback, &RunFeedback::windowTitleChanged, this,
            [this](const QString& title) { window()->setWindowTitle(title); });
    showShortcutsInToolTips();
}

MainTabView::~MainTabView()
{
    m_appState.setSessionRenewal(nullptr);
}

QString accelerationUnavailableReason()
{
    // The runtime we ship computes on the CPU only; a build with an accelerated provider would
    // list it here.
    static const bool available = !acceleratedExecutionProviders().isEmpty();
    return available ? QString() : QObject::tr("No GPU runtime is available on this system");
}

void MainTabView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // A task of its own on the window's thread, neither awaited nor cancelled here.
    QMetaObject::invokeMethod(&m_appState, &AppState::restoreSession, Qt::QueuedConnection);
}

QWidget* MainTabView::buildTabBar()
{
    auto* bar = new QWidget;
    bar->setObjectName(QStringLiteral("tabBar"));
    bar->setAutoFillBackground(true);
    bar->setBackgroundRole(QPalette::Button);

    auto* row = new QHBoxLayout;
    row->setContentsMargins(16, 8, 16, 8);
    row->setSpacing(8);
    for (const auto& description : tabDescriptions) {
        auto* button = new TabButton(tr(description.title), tabIcon(description.iconName));
        const AppTab tab = description.tab;
        connect(button, &TabButton::clicked, this, [this, tab] { m_appState.setActiveTab(tab); });
        m_tabButtons[size_t(tab)] = button;
        row->addWidget(button);
    }
    row->addStretch(1);

    m_processAllButton = new QPushButton(tr("Process All"));
    makeProminent(m_processAllButton);
    connect(m_processAllButton, &QPushButton::clicked, this,
            [] { NotificationCenter::defaultCenter().post(kProcessAllImages); });
    row->addWidget(m_processAllButton);

    m_settingsButton = new QPushButton(tr("Settings"));
    connect(m_settingsButton, &QPushButton::clicked, this, &MainTabView::showSettings);
    row->addWidget(m_settingsButton);

    // A one-pixel line along the bar's bottom edge in the text colour at 20 % opacity.
    auto* separator = new QFrame;
    separator->setFixedHeight(1);
    QColor line = palette().color(QPalette::WindowText);
    line.setAlphaF(0.2f);
    separator->setStyleSheet(QStringLiteral("background-color: %1;").arg(line.name(QColor::HexArgb)));

    auto* column = new QVBoxLayout(bar);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addLayout(row);
    column->addWidget(separator);
    return bar;
}

void MainTabView::openLaunchFiles(const LaunchFiles& files)
{
    if (!files.images.isEmpty()) {
        static_cast<BackgroundRemovalTab*>(screen(AppTab::backgroundRemoval))->queue().addImages(files.images);
        m_appState.setActiveTab(AppTab::backgroundRemoval);
    }
    if (!files.sessions.isEmpty()) {
        m_appState.setActiveTab(AppTab::imageEditor);
        emit sessionFilesRequested(files.sessions);
    }
}

QWidget* MainTabView::screen(AppTab tab) const
{
    return m_screens->widget(int(tab));
}

void MainTabView::onActiveTabChanged()
{
    const AppTab active = m_appState.activeTab();
    for (const auto& description : tabDescriptions)
        m_tabButtons[size_t(description.tab)]->setSelected(description.tab == active);
    m_processAllButton->setVisible(active == AppTab::backgroundRemoval);
    m_screens->setCurrentIndex(int(active));
    // The new screen starts without a text field in focus (the window holds it), so the
    // shortcuts keep working after a switch instead of the keys going into a search field.
    if (QWidget* focus = QApplication::focusWidget(); !focus || isAncestorOf(focus))
        setFocus(Qt::OtherFocusReason);
}

void MainTabView::onNotification(const QString& name, const QVariantMap& userInfo)
{
    if (name == kKeyboardShortcutTriggered) {
        const QVariant action = userInfo.value(QStringLiteral("action"));
        if (action.metaType() == QMetaType::fromType<KeyboardAction>())
            performScreenShortcut(action.value<KeyboardAction>());
        return;
    }
    if (name != kOpenSettings)
        return;
    m_selectedSettingsTab = settingsTabFromUserInfo(userInfo);
    showSettings();
}

void MainTabView::performScreenShortcut(KeyboardAction action)
{
    using A = KeyboardAction;
    auto* batch = qobject_cast<BackgroundRemovalTab*>(screen(AppTab::backgroundRemoval));
    auto* editor = qobject_cast<ImageEditorTab*>(screen(AppTab::imageEditor));
    // Stopping a run is wanted from wherever the user is.
    if (action == A::stopProcessing) {
        if (batch->cancelButton()->isVisible() && batch->cancelButton()->isEnabled())
            batch->cancelButton()->click();
        return;
    }
    switch (m_appState.activeTab()) {
    case AppTab::backgroundRemoval: {
        auto* preview = batch->previewOverlay() ? batch->previewOverlay()->findChild<ImagePreviewPopup*>() : nullptr;
        if (preview) {
            if (action == A::zoomIn)
                preview->zoomIn();
            else if (action == A::zoomOut)
                preview->zoomOut();
            else if (action == A::fitToScreen || action == A::actualSize)
                preview->resetZoom();
            return;
        }
        if (action == A::openImage)
            batch->selectImagesButton()->click();
        else if (action == A::selectAll)
            batch->cardView()->selectAll();
        return;
    }
    case AppTab::imageEditor: {
        ImageEditorModel& model = editor->model();
        switch (action) {
        case A::openImage: editor->openSession(); return;
        case A::save: editor->saveSession(); return;
        case A::undo: model.undo(); return;
        case A::redo: model.redo(); return;
        case A::copy: model.copySelection(); return;
        case A::cut: model.cutSelection(); return;
        case A::paste: model.paste(); return;
        case A::selectAll: model.selectAll(); return;
        case A::zoomIn: model.zoomIn(); return;
        case A::zoomOut: model.zoomOut(); return;
        case A::fitToScreen: model.zoomToFit(); return;
        case A::actualSize: model.zoomToActualSize(); return;
        case A::selectPenTool: model.choosePen(); return;
        case A::selectBrushTool: model.chooseBrush(); return;
        case A::selectEraserTool: model.chooseEraser(); return;
        default: return;
        }
    }
    case AppTab::transactions:
    case AppTab::trigger: return;
    }
}

void MainTabView::showShortcutsInToolTips()
{
    using A = KeyboardAction;
    const auto hint = [this](QWidget* widget, const QString& what, A action) {
        if (!widget)
            return;
        for (const KeyboardShortcut& shortcut : m_shortcuts.shortcuts())
            if (shortcut.action == action)
                widget->setToolTip(QStringLiteral("%1 (%2)").arg(what, shortcut.keyText()));
    };
    const std::array<A, 4> switches{A::switchToBackgroundRemoval, A::switchToImageEditor, A::switchToTransactions,
                                     A::switchToTrigger};
    for (const auto& description : tabDescriptions)
        hint(m_tabButtons[size_t(description.tab)], tr(description.title), switches[size_t(description.tab)]);
    hint(m_processAllButton, tr("Process All"), A::processAll);
    hint(m_settingsButton, tr("Settings"), A::settings);
    auto* batch = qobject_cast<BackgroundRemovalTab*>(screen(AppTab::backgroundRemoval));
    hint(batch->selectImagesButton(), tr("Select Images"), A::openImage);
    hint(batch->cancelButton(), tr("Stop Processing"), A::stopProcessing);
    auto* editor = qobject_cast<ImageEditorTab*>(screen(AppTab::imageEditor));
    hint(editor->undoButton(), tr("Undo"), A::undo);
    hint(editor->redoButton(), tr("Redo"), A::redo);
    hint(editor->exportButton(), tr("Export"), A::exportImage);
    hint(editor->saveSessionButton(), tr("Save Session"), A::save);
    hint(editor->openSessionButton(), tr("Open Session"), A::openImage);
    hint(editor->newSessionButton(), tr("New Session"), A::newSession);
}

HostedSettingsPages MainTabView::hostedSettingsPages()
{
    return {new TriggerSettingsView(m_appState), new AccountSettingsView(m_appState), accelerationUnavailableReason()};
}

void MainTabView::showSettings()
{
    if (!m_settingsView) {
        m_settingsView = new SettingsView(m_appState, hostedSettingsPages(), this);
        m_settingsView->setWindowModality(Qt::WindowModal);
        m_settingsView->setAttribute(Qt::WA_DeleteOnClose);
        connect(m_settingsView, &SettingsView::selectedTabChanged, this,
                [this](SettingsTab tab) { m_selectedSettingsTab = tab; });
        connect(m_settingsView, &QDialog::finished, this, [this] { m_showingSettings = false; });
    }
    // Already shown: only the selected tab changes.
    m_settingsView->setSelectedTab(m_selectedSettingsTab);
    m_showingSettings = true;
    m_settingsView->open();
}

} // namespace kivo
