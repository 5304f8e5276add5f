#pragma once

#include "SettingsTab.h"

#include <QDialog>

class QTabWidget;

namespace kivo {

class AppState;

// Pages of other subsystems that the settings window shows as its "Trigger" and "Account" tabs;
// the wiring of the application supplies them. A missing page shows a notice instead.
struct HostedSettingsPages {
    QWidget* trigger = nullptr;
    QWidget* account = nullptr;
    // Why hardware (GPU) acceleration cannot be used here; empty when it can.
    QString accelerationUnavailableReason;
};

// The settings window: seven tabs over the application state's preferences, with export,
// import and reset of the settings.
class SettingsView : public QDialog {
    Q_OBJECT
public:
    SettingsView(AppState& appState, HostedSettingsPages hostedPages, QWidget* parent = nullptr);

    SettingsTab selectedTab() const;
    void setSelectedTab(SettingsTab tab);

    void exportSettings();
    void importSettings();
    void resetToDefaults();

signals:
    void selectedTabChanged(kivo::SettingsTab tab);

private:
    QWidget* buildToolbar();
    void showImportExportAlert(const QString& message);

    AppState& m_appState;
    QTabWidget* m_tabs = nullptr;
};

} // namespace kivo
