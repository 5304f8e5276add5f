#pragma once

#include "core/DomainModel.h"
#include "settings/SettingsView.h"

#include <QPointer>
#include <QWidget>

#include <array>

class QPushButton;
class QStackedWidget;

namespace kivo {

class AppState;
class TabButton;

// The main window's content: the tab bar across the top and the active tab's screen below.
// It also owns the settings sheet.
class MainTabView : public QWidget {
    Q_OBJECT
public:
    explicit MainTabView(AppState& appState, QWidget* parent = nullptr);

    QPushButton* processAllButton() const { return m_processAllButton; }
    QPushButton* settingsButton() const { return m_settingsButton; }
    TabButton* tabButton(AppTab tab) const { return m_tabButtons[size_t(tab)]; }
    QWidget* screen(AppTab tab) const;

    bool showingSettings() const { return m_showingSettings; }
    SettingsTab selectedSettingsTab() const { return m_selectedSettingsTab; }

    void showSettings();

private:
    void onActiveTabChanged();
    void onNotification(const QString& name, const QVariantMap& userInfo);
    QWidget* buildTabBar();
    HostedSettingsPages hostedSettingsPages();

    AppState& m_appState;
    std::array<TabButton*, 4> m_tabButtons{};
    QPushButton* m_processAllButton = nullptr;
    QPushButton* m_settingsButton = nullptr;
    QStackedWidget* m_screens = nullptr;
    QPointer<SettingsView> m_settingsView;
    bool m_showingSettings = false;
    SettingsTab m_selectedSettingsTab = SettingsTab::general;
};

} // namespace kivo
