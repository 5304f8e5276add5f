#pragma once

#include "app/LaunchFiles.h"
#include "commands/KeyboardShortcutsManager.h"
#include "core/DomainModel.h"
#include "settings/SettingsView.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <memory>

class QPushButton;
class QStackedWidget;

namespace kivo {

class AppState;
class BackendSessionRenewal;
class BackgroundRemovalTab;
class CompletionSound;
class DesktopNotifier;
class LauncherProgress;
class RunFeedback;
class TabButton;

// Why GPU acceleration cannot be used here ("No GPU runtime is available on this system"), or
// empty when the ONNX Runtime offers an accelerated execution provider.
QString accelerationUnavailableReason();

// The main window's content: the tab bar across the top and the active tab's screen below.
// It also owns the settings sheet.
class MainTabView : public QWidget {
    Q_OBJECT
public:
    explicit MainTabView(AppState& appState, QWidget* parent = nullptr);
    ~MainTabView() override;

    QPushButton* processAllButton() const { return m_processAllButton; }
    QPushButton* settingsButton() const { return m_settingsButton; }
    TabButton* tabButton(AppTab tab) const { return m_tabButtons[size_t(tab)]; }
    QWidget* screen(AppTab tab) const;
    BackgroundRemovalTab* batchTab() const { return m_batchTab; }
    // The batch runs' (and the folder monitor's) feedback to the desktop.
    RunFeedback& runFeedback() const { return *m_runFeedback; }

    bool showingSettings() const { return m_showingSettings; }
    SettingsTab selectedSettingsTab() const { return m_selectedSettingsTab; }

    void showSettings();

    // Files from the command line or a later launch: images join the batch (its tab shown);
    // OpenRaster files are announced through sessionFilesRequested with the editor's tab shown.
    void openLaunchFiles(const LaunchFiles& files);

signals:
    // OpenRaster files to open as editor sessions, as absolute paths.
    void sessionFilesRequested(const QStringList& paths);

protected:
    // Each appearance starts a restore of the stored sign-in.
    void showEvent(QShowEvent* event) override;

private:
    void onActiveTabChanged();
    void onNotification(const QString& name, const QVariantMap& userInfo);
    void connectRunFeedback();
    // The shortcuts of a screen's own work go to the screen on show (the preview, when open).
    void performScreenShortcut(KeyboardAction action);
    // Buttons name the keys of what they do, so the shortcuts can be discovered.
    void showShortcutsInToolTips();
    QWidget* buildTabBar();
    HostedSettingsPages hostedSettingsPages();

    AppState& m_appState;
    // The restore's network half, installed into the application state while this view lives.
    std::unique_ptr<BackendSessionRenewal> m_sessionRenewal;
    std::unique_ptr<DesktopNotifier> m_notifier;
    std::unique_ptr<LauncherProgress> m_launcher;
    std::unique_ptr<CompletionSound> m_completionSound;
    RunFeedback* m_runFeedback = nullptr;
    BackgroundRemovalTab* m_batchTab = nullptr;
    KeyboardShortcutsManager m_shortcuts;
    std::array<TabButton*, 4> m_tabButtons{};
    QPushButton* m_processAllButton = nullptr;
    QPushButton* m_settingsButton = nullptr;
    QStackedWidget* m_screens = nullptr;
    QPointer<SettingsView> m_settingsView;
    bool m_showingSettings = false;
    SettingsTab m_selectedSettingsTab = SettingsTab::general;
};

} // namespace kivo
