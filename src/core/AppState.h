#pragma once

#include "DefaultsStore.h"
#include "DomainModel.h"
#include "FolderMonitoring.h"
#include "PreferenceManager.h"
#include "UserPreferences.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <memory>
#include <optional>

namespace kivo {

// The one object holding the application's shared state. It lives on the window's thread;
// views observe its change signals and change it through its setters and operations.
class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(kivo::AppTab activeTab READ activeTab WRITE setActiveTab NOTIFY activeTabChanged)
    Q_PROPERTY(QList<kivo::ImageProcessingTask> processingQueue READ processingQueue WRITE setProcessingQueue
                   NOTIFY processingQueueChanged)
    Q_PROPERTY(QList<kivo::EditorSession> editorSessions READ editorSessions WRITE setEditorSessions
                   NOTIFY editorSessionsChanged)
    Q_PROPERTY(kivo::UserPreferences userPreferences READ userPreferences WRITE setUserPreferences
                   NOTIFY userPreferencesChanged)
    Q_PROPERTY(bool isAuthenticated READ isAuthenticated WRITE setAuthenticated NOTIFY isAuthenticatedChanged)
    Q_PROPERTY(std::optional<kivo::AccountInfo> accountInfo READ accountInfo WRITE setAccountInfo
                   NOTIFY accountInfoChanged)
    Q_PROPERTY(kivo::TriggerStatus triggerStatus READ triggerStatus WRITE setTriggerStatus NOTIFY triggerStatusChanged)

public:
    static constexpr QLatin1StringView accountInfoKey{"com.kivopro.accountInfo"};
    static constexpr QLatin1StringView sessionExpiryKey{"com.kivopro.sessionExpiry"};
    static constexpr QLatin1StringView lastValidatedKey{"com.kivopro.lastSessionValidated"};

    // Over the user's standard stores.
    explicit AppState(QObject* parent = nullptr);
    // Over the given stores (tests, tools).
    AppState(DefaultsStore& userDefaults, PreferenceManager& preferenceManager, QObject* parent = nullptr);
    ~AppState() override;

    AppTab activeTab() const { return m_activeTab; }
    void setActiveTab(AppTab tab);

    const QList<ImageProcessingTask>& processingQueue() const { return m_processingQueue; }
    void setProcessingQueue(const QList<ImageProcessingTask>& tasks);

    const QList<EditorSession>& editorSessions() const { return m_editorSessions; }
    void setEditorSessions(const QList<EditorSession>& sessions);
    void appendEditorSession(const EditorSession& session);

    const UserPreferences& userPreferences() const { return m_userPreferences; }
    // Every assignment is persisted at once (savePreferences).
    void setUserPreferences(const UserPreferences& preferences);

    bool isAuthenticated() const { return m_isAuthenticated; }
    void setAuthenticated(bool authenticated);

    const std::optional<AccountInfo>& accountInfo() const { return m_accountInfo; }
    void setAccountInfo(const std::optional<AccountInfo>& account);

    TriggerStatus triggerStatus() const { return m_triggerStatus; }
    void setTriggerStatus(TriggerStatus status);

    // Newest first, at most ten. The activities are children of this object.
    const QList<QPointer<TriggerActivity>>& triggerRecentActivity() const { return m_triggerRecentActivity; }
    // A new "Processing" activity at the top; the oldest beyond ten goes.
    TriggerActivity* addTriggerActivity(const QString& filename);
    void clearTriggerRecentActivity();

    // The folder monitor's watching comes from above this layer (see FolderMonitoring.h). The
    // application installs it right after constructing the state, and the last step of start-up
    // runs then: monitoring resumes when it is enabled and has a folder.
    void installFolderMonitor(std::unique_ptr<FolderMonitoring> monitor);
    // Checks the stored folder, restarts the watch, shows "Monitoring".
    void startFolderMonitoring();
    // Stops a running watch and shows "Idle"; without one, changes nothing.
    void stopFolderMonitoring();
    // Stores the switch, then starts or stops.
    void setTriggerEnabled(bool enabled);

    QUrl backendBaseURL() const { return m_backendBaseURL; }

    // Writes the working copy of the preferences and re-derives the backend address.
    void savePreferences();
    // Stores the account and opens a session of `days` days from now.
    void saveAccountInfo(const AccountInfo& account, int days);
    std::optional<AccountInfo> loadAccountInfo() const;
    bool isSessionExpired() const;
    // The installation's identifier: created once, upper-case canonical UUID, never changed.
    QString installationUUID() const;

signals:
    void activeTabChanged();
    void processingQueueChanged();
    void editorSessionsChanged();
    void userPreferencesChanged();
    void isAuthenticatedChanged();
    void accountInfoChanged();
    void triggerStatusChanged();
    void triggerRecentActivityChanged();

private:
    void deriveBackendBaseURL();
    void restoreCachedSignIn();

    DefaultsStore& m_userDefaults;
    PreferenceManager& m_preferenceManager;

    AppTab m_activeTab = AppTab::backgroundRemoval;
    QList<ImageProcessingTask> m_processingQueue;
    QList<EditorSession> m_editorSessions;
    UserPreferences m_userPreferences;
    bool m_isAuthenticated = false;
    std::optional<AccountInfo> m_accountInfo;
    QUrl m_backendBaseURL;
    TriggerStatus m_triggerStatus = TriggerStatus::idle;
    QList<QPointer<TriggerActivity>> m_triggerRecentActivity;
    std::unique_ptr<FolderMonitoring> m_folderMonitor;
};

} // namespace kivo
