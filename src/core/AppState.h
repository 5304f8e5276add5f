#pragma once

#include "DefaultsStore.h"
#include "DomainModel.h"
#include "FolderMonitoring.h"
#include "PreferenceManager.h"
#include "UserPreferences.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <memory>
#include <optional>

namespace kivo {

class KeychainHelper;
class SessionRenewal;

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
    // The backend address the session was opened with: the stored API key was issued by it and
    // is sent nowhere else.
    static constexpr QLatin1StringView sessionServerKey{"com.kivopro.sessionServer"};
    // A session opened by a sign-in or a restore lasts this long.
    static constexpr int sessionLifetimeDays = 7;

    // Over the user's standard stores.
    explicit AppState(QObject* parent = nullptr);
    // Over the given stores (tests, tools).
    AppState(DefaultsStore& userDefaults, PreferenceManager& preferenceManager, const KeychainHelper& keychain,
             QObject* parent = nullptr);
    ~AppState() override;

    // The per-user store the state keeps its records in; other parts keep theirs beside them.
    DefaultsStore& userDefaults() const { return m_userDefaults; }

    AppTab activeTab() const { return m_activeTab; }
    void setActiveTab(AppTab tab);

    const QList<ImageProcessingTask>& processingQueue() const { return m_processingQueue; }
    void setProcessingQueue(const QList<ImageProcessingTask>& tasks);

    const QList<EditorSession>& editorSessions() const { return m_editorSessions; }
    void setEditorSessions(const QList<EditorSession>& sessions);
    void appendEditorSession(const EditorSession& session);

    const UserPreferences& userPreferences() const { return m_userPreferences; }
    // Every assignment is persisted at once (savePreferences). A record that moves the backend
    // to another server ends the sign-in first: the session's key belongs to its own server.
    // Screens ask the user before (wouldSignOut, SessionServerPrompt).
    void setUserPreferences(const UserPreferences& preferences);
    // True when assigning `preferences` would sign the current account out.
    bool wouldSignOut(const UserPreferences& preferences) const;
    // The signed-in account as the user knows it: its e-mail, else its name, else "your account".
    QString accountLabel() const;
    // The preferences as stored at this moment. Safe on any thread: it reads the per-user
    // defaults, never the working copy above.
    UserPreferences storedPreferences() const { return m_preferenceManager.loadPreferences(); }

    bool isAuthenticated() const { return m_isAuthenticated; }
    void setAuthenticated(bool authenticated);

    const std::optional<AccountInfo>& accountInfo() const { return m_accountInfo; }
    void setAccountInfo(const std::optional<AccountInfo>& account);

    TriggerStatus triggerStatus() const { return m_triggerStatus; }
    // The status with what goes with it: the reason of an error, or a note beside "Idle" (how
    // many files were left waiting). One change signal for both.
    void setTriggerStatus(TriggerStatus status, const QString& reason = {});
    QString triggerStatusReason() const { return m_triggerStatusReason; }
    // While processing: the file being worked on (1-based, counted over the current burst) and
    // the burst's size; "Processing N of M".
    struct TriggerProgress {
        int current = 0;
        int total = 0;
        friend bool operator==(const TriggerProgress&, const TriggerProgress&) = default;
    };
    TriggerProgress triggerProgress() const { return m_triggerProgress; }
    void setTriggerProgress(TriggerProgress progress);

    // The session's whole history, newest first. The activities are children of this object.
    const QList<QPointer<TriggerActivity>>& triggerRecentActivity() const { return m_triggerRecentActivity; }
    // A new "Processing" activity at the top.
    TriggerActivity* addTriggerActivity(const QString& filename);
    void clearTriggerRecentActivity();

    // The folder monitor's watching comes from above this layer (see FolderMonitoring.h). The
    // application installs it right after constructing the state, and the last step of start-up
    // runs then: monitoring resumes when it is enabled and has a folder.
    void installFolderMonitor(std::unique_ptr<FolderMonitoring> monitor);
    // Checks the stored folder, restarts the watch, shows "Monitoring", or "Error" with the
    // reason when the folder cannot be watched (the monitor watches it again once it can).
    void startFolderMonitoring();
    // Stops a running watch and shows "Idle" (with how many files were left waiting); without
    // one, changes nothing.
    void stopFolderMonitoring();
    // Stores the switch, then starts or stops.
    void setTriggerEnabled(bool enabled);

    QUrl backendBaseURL() const { return m_backendBaseURL; }
    // The server the signed-in session belongs to: the one recorded with it, else the backend
    // address of the preferences.
    QString sessionServer() const;

    // Whether the account's figures could not be renewed from the backend since this session was
    // restored: they are the ones stored at the last sign-in, of creditsAsOf().
    bool isAccountOffline() const { return m_isAccountOffline; }
    void setAccountOffline(bool offline);
    // When the stored account was last confirmed by the backend (absent when never).
    std::optional<QDateTime> creditsAsOf() const;

    // Writes the working copy of the preferences and re-derives the backend address.
    void savePreferences();
    // Stores the account and opens a session of `days` days from now.
    void saveAccountInfo(const AccountInfo& account, int days);
    std::optional<AccountInfo> loadAccountInfo() const;
    // The signed-in account's e-mail and name (those it has) into the preferences, saved.
    void rememberAccountInPreferences(const AccountInfo& account);
    bool isSessionExpired() const;
    // The installation's identifier: created once, upper-case canonical UUID, never changed.
    QString installationUUID() const;

    // Ends the sign-in: the stored account and session, the published account and the stored
    // API key go; the preferences (the remembered e-mail and name among them) stay.
    void logout();
    // Renews a stored sign-in with the stored API key unless already signed in. Returns at once;
    // the backend's answer (through the installed renewal) signs in, and no answer falls back to
    // an unexpired cached session.
    void restoreSession();
    // "device_info" of a sign-in request: the system's name and version, the application's
    // version and the installation identifier.
    QJsonObject deviceInfo() const;

    // The network part of restoreSession(); the installer keeps it alive while installed.
    void setSessionRenewal(SessionRenewal* renewal) { m_sessionRenewal = renewal; }
    const KeychainHelper& keychain() const { return m_keychain; }

signals:
    void activeTabChanged();
    void processingQueueChanged();
    void editorSessionsChanged();
    void userPreferencesChanged();
    void isAuthenticatedChanged();
    void accountInfoChanged();
    void accountOfflineChanged();
    void triggerStatusChanged();
    void triggerRecentActivityChanged();

private:
    void deriveBackendBaseURL();
    // The server a backend address string leads to (the last good one for a blank or broken string).
    QString effectiveServer(const QString& backendBaseURLString) const;
    void restoreCachedSignIn();
    void applyRenewal(const std::optional<AccountInfo>& account);
    void settleStoredApiKey();
    void finishKeyMigration(bool saved, const QString& key);
    void adoptStoredKey(const std::optional<QString>& key);

    DefaultsStore& m_userDefaults;
    PreferenceManager& m_preferenceManager;
    const KeychainHelper& m_keychain;
    SessionRenewal* m_sessionRenewal = nullptr;

    AppTab m_activeTab = AppTab::backgroundRemoval;
    QList<ImageProcessingTask> m_processingQueue;
    QList<EditorSession> m_editorSessions;
    UserPreferences m_userPreferences;
    bool m_isAuthenticated = false;
    std::optional<AccountInfo> m_accountInfo;
    bool m_isAccountOffline = false;
    QUrl m_backendBaseURL;
    TriggerStatus m_triggerStatus = TriggerStatus::idle;
    QString m_triggerStatusReason;
    TriggerProgress m_triggerProgress;
    QList<QPointer<TriggerActivity>> m_triggerRecentActivity;
    std::unique_ptr<FolderMonitoring> m_folderMonitor;
};

} // namespace kivo
