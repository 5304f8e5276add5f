#include "SettingsView.h"

#include "AboutSettingsView.h"
#include "ExportSettingsView.h"
#include "GeneralSettingsView.h"
#include "ProcessingSettingsView.h"
#include "SettingsFile.h"
#include "commands/KeyboardShortcutsView.h"
#include "core/AppState.h"
#include "core/SessionServerPrompt.h"
#include "core/WidgetStyle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace kivo {

namespace {

// A long settings page scrolls inside the fixed-size window.
QWidget* scrolling(QWidget* page)
{
    auto* scroll = new QScrollArea;
    scroll->setWidget(page);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    return scroll;
}

QWidget* unavailablePage(const QString& notice)
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* label = new QLabel(notice);
    label->setObjectName(QStringLiteral("unavailableNotice"));
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(label);
    return page;
}

QString buildNumber()
{
    return QStringLiteral(KIVOPRO_BUILD_NUMBER);
}

} // namespace

SettingsView::SettingsView(AppState& appState, HostedSettingsPages hostedPages, QWidget* parent)
    : QDialog(parent)
    , m_appState(appState)
    , m_tabs(new QTabWidget(this))
{
    setWindowTitle(tr("Settings"));
    resize(900, 650);

    for (SettingsTab tab : allCases<SettingsTab>()) {
        QWidget* page = nullptr;
        switch (tab) {
        case SettingsTab::general: page = scrolling(new GeneralSettingsView(appState, hostedPages.accelerationUnavailableReason)); break;
        case SettingsTab::exportTab: page = scrolling(new ExportSettingsView(appState)); break;
        case SettingsTab::processing: page = scrolling(new ProcessingSettingsView(appState, hostedPages.accelerationUnavailableReason)); break;
        case SettingsTab::shortcuts: page = new KeyboardShortcutsView(appState.userDefaults()); break;
        case SettingsTab::trigger:
            page = hostedPages.trigger ? hostedPages.trigger
                                       : unavailablePage(tr("Folder monitoring is not available in this build."));
            break;
        case SettingsTab::about:
            page = new AboutSettingsView(QCoreApplication::applicationVersion(), buildNumber());
            break;
        case SettingsTab::account:
            page = hostedPages.account ? hostedPages.account
                                       : unavailablePage(tr("Account sign-in is not available in this build."));
            break;
        }
        m_tabs->addTab(page, QIcon(settingsTabIconPath(tab)), settingsTabLabel(tab));
    }
    connect(m_tabs, &QTabWidget::currentChanged, this,
            [this](int index) { emit selectedTabChanged(allCases<SettingsTab>()[size_t(index)]); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(buildToolbar());
    layout->addWidget(m_tabs, 1);
}

QWidget* SettingsView::buildToolbar()
{
    auto* quit = new QPushButton(tr("Quit App"));
    // Quitting closes the main window, so it asks what the window asks before it goes.
    connect(quit, &QPushButton::clicked, this, [this] {
        accept();
        if (QWidget* mainWindow = parentWidget() ? parentWidget()->window() : nullptr)
            mainWindow->close();
        else
            QCoreApplication::quit();
    });
    auto* close = new QPushButton(tr("Close"));
    makeProminent(close);
    close->setDefault(true);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    auto* menu = new QMenu(this);
    menu->addAction(tr("Export Settings"), this, &SettingsView::exportSettings);
    menu->addAction(tr("Import Settings"), this, &SettingsView::importSettings);
    menu->addSeparator();
    menu->addAction(tr("Reset to Defaults"), this, &SettingsView::resetToDefaults);
    auto* advanced = new QToolButton;
    advanced->setObjectName(QStringLiteral("advancedMenu"));
    advanced->setText(tr("Advanced"));
    advanced->setMenu(menu);
    advanced->setPopupMode(QToolButton::InstantPopup);
    advanced->setToolButtonStyle(Qt::ToolButtonTextOnly);

    auto* bar = new QWidget;
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(quit);
    row->addWidget(close);
    row->addStretch(1);
    row->addWidget(advanced);
    return bar;
}

SettingsTab SettingsView::selectedTab() const
{
    return allCases<SettingsTab>()[size_t(qMax(0, m_tabs->currentIndex()))];
}

void SettingsView::setSelectedTab(SettingsTab tab)
{
    const auto cases = allCases<SettingsTab>();
    m_tabs->setCurrentIndex(int(std::find(cases.begin(), cases.end(), tab) - cases.begin()));
}

void SettingsView::exportSettings()
{
    QFileDialog dialog(this, tr("Export Settings"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(tr("JSON (*.json)"));
    dialog.setDefaultSuffix(QStringLiteral("json"));
    dialog.selectFile(QString(kSettingsFileName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    showImportExportAlert(settings_file::exportTo(m_appState.userPreferences(), dialog.selectedFiles().constFirst()));
}

void SettingsView::importSettings()
{
    QFileDialog dialog(this, tr("Import Settings"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(tr("JSON (*.json)"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const auto imported = settings_file::readSettingsFile(dialog.selectedFiles().constFirst());
    if (!imported.preferences) {
        showImportExportAlert(imported.failure);
        return;
    }
    if (!confirmServerChange(this, m_appState, *imported.preferences))
        return;
    showImportExportAlert(settings_file::applyImported(m_appState, *imported.preferences));
}

void SettingsView::resetToDefaults()
{
    QMessageBox confirm(QMessageBox::Warning, tr("Reset Settings"), tr("Reset Settings"), QMessageBox::NoButton, this);
    confirm.setInformativeText(
        tr("Are you sure you want to reset all settings to their default values? This action cannot be undone."));
    QPushButton* reset = confirm.addButton(tr("Reset"), QMessageBox::DestructiveRole);
    confirm.addButton(tr("Cancel"), QMessageBox::RejectRole);
    confirm.setDefaultButton(reset);
    confirm.exec();
    if (confirm.clickedButton() != reset || !confirmServerChange(this, m_appState, UserPreferences{}))
        return;
    showImportExportAlert(settings_file::resetToDefaults(m_appState));
}

void SettingsView::showImportExportAlert(const QString& message)
{
    QMessageBox alert(QMessageBox::NoIcon, tr("Settings"), message, QMessageBox::NoButton, this);
    alert.addButton(tr("OK"), QMessageBox::RejectRole);
    alert.exec();
}

} // namespace kivo
