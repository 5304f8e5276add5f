#pragma once

#include "SettingsTab.h"

#include <QDialog>

class QTabWidget;

namespace kivo {

class AppState;

// The settings window: one tab per settings page, shown as a sheet over the main window.
class SettingsView : public QDialog {
    Q_OBJECT
public:
    SettingsView(AppState& appState, QWidget* parent = nullptr);

    SettingsTab selectedTab() const;
    void setSelectedTab(SettingsTab tab);

signals:
    void selectedTabChanged(kivo::SettingsTab tab);

private:
    AppState& m_appState;
    QTabWidget* m_tabs = nullptr;
};

} // namespace kivo
