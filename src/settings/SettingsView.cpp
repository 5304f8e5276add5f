#include "SettingsView.h"

#include "account/AccountSettingsView.h"
#include "core/WidgetStyle.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace kivo {

SettingsView::SettingsView(AppState& appState, QWidget* parent)
    : QDialog(parent)
    , m_appState(appState)
    , m_tabs(new QTabWidget(this))
{
    setWindowTitle(tr("Settings"));
    resize(900, 650);

    // Each page is filled in by the settings of its own subsystem.
    for (SettingsTab tab : allCases<SettingsTab>()) {
        if (tab == SettingsTab::account) {
            m_tabs->addTab(new AccountSettingsView(appState), QIcon::fromTheme(settingsTabIconName(tab)),
                           settingsTabLabel(tab));
            continue;
        }
        auto* page = new QWidget;
        auto* layout = new QVBoxLayout(page);
        auto* heading = new QLabel(settingsTabLabel(tab));
        QFont font = heading->font();
        font.setPointSizeF(font.pointSizeF() * 1.4);
        font.setBold(true);
        heading->setFont(font);
        layout->addWidget(heading);
        layout->addStretch();
        m_tabs->addTab(page, QIcon::fromTheme(settingsTabIconName(tab)), settingsTabLabel(tab));
    }
    connect(m_tabs, &QTabWidget::currentChanged, this,
            [this](int index) { emit selectedTabChanged(allCases<SettingsTab>()[size_t(index)]); });

    auto* quit = new QPushButton(tr("Quit App"));
    auto* close = new QPushButton(tr("Close"));
    makeProminent(close);
    close->setDefault(true);
    connect(quit, &QPushButton::clicked, qApp, &QCoreApplication::quit);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(quit);
    buttons->addWidget(close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    layout->addLayout(buttons);
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

} // namespace kivo
