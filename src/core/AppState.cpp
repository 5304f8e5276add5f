#include "AppState.h"

#include "AppConstants.h"
#include "Clock.h"
#include "KeychainHelper.h"
#include "Log.h"
#include "SessionRenewal.h"
#include "WebAddress.h"

#include <QCoreApplication>
#include <QDir>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>
#include <QFileInfo>
#include <QJsonDocument>
#include <QPointer>
#include <QRegularExpression>
#include <QSysInfo>
#include <QUuid>

namespace kivo {

namespace {

constexpr qint64 secondsPerDay = 24 * 60 * 60;

// A backend address: white space trimmed; a blank or unparsable string gives nothing.
std::optional<QUrl> parseBaseURL(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    const QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

// The running system as "<kernel> <major>.<minor>.<patch>", e.g. "Linux 6.1.0" for the kernel
// "6.1.0-18-amd64": the same shape the backend gets from the application on other systems.
QString operatingSystemVersionText()
{
    QString name = QSysInfo::kernelType();
    if (!name.isEmpty())
        name[0] = name.at(0).toUpper();
    static const QRegularExpression numbers(QStringLiteral(R"(^(\d+)(?:\.(\d+))?(?:\.(\d+))?)"));
    const auto match = numbers.match(QSysInfo::kernelVersion());
    QStringList parts;
    for (int group = 1; group <= 3; ++group)
        parts << (match.captured(group).isEmpty() ? QStringLiteral("0") : match.captured(group));
    return name + u' ' + parts.join(u'.');
}

} // namespace

AppState::AppState(QObject* parent)
    : AppState(DefaultsStore::standard(), PreferenceManager::shared(), KeychainHelper::standard(), parent)
{
}

AppState::AppState(DefaultsStore& userDefaults, PreferenceManager& preferenceManager, const KeychainHelper& keychain,
                   QObject* parent)
    : QObject(parent)
    , m_userDefaults(userDefaults)
    , m_preferenceManager(preferenceManager)
    , m_keychain(keychain)
    , m_backendBaseURL(QString(kDefaultWebsiteBaseURL))
{
    Q_ASSERT(m_backendBaseURL.isValid());
    m_userPreferences = m_preferenceManager.preferences();
    deriveBackendBaseURL();
    restoreCachedSignIn();
    settleStoredApiKey();
    // Folder monitoring, the last step of start-up, waits for installFolderMonitor.
}

AppState::~AppState()
{
    // The monitor's workers post back to it, never to this object: it goes first.
    stopFolderMonitoring();
    m_folderMonitor.reset();
}

void AppState::setActiveTab(AppTab tab)
{
    if (m_activeTab == tab)
        return;
    m_activeTab = tab;
    emit activeTabChanged();
}

void AppState::setProcessingQueue(const QList<ImageProcessingTask>& tasks)
{
    m_processingQueue = tasks;
    emit processingQueueChanged();
}

void AppState::setEditorSessions(const QList<EditorSession>& sessions)
{
    m_editorSessions = sessions;
    emit editorSessionsChanged();
}

void AppState::appendEditorSession(const EditorSession& session)
{
    m_editorSessions.append(session);
    emit editorSessionsChanged();
}

void AppState::setUserPreferences(const UserPreferences& preferences)
{
    // A stored session that is not signed in (expired) still has its key in the store, which
    // the restore and the removal engines would otherwise send to the new server.
    if (!isSameServer(sessionServer(), effectiveServer(preferences.backendBaseURLString))
        && (m_isAuthenticated || m_userDefaults.data(accountInfoKey))) {
        logLine(QStringLiteral("[AppState] The server changed from %1: signing out").arg(sessionServer()));
        logout();
    }
    m_userPreferences = preferences;
    emit userPreferencesChanged();
    savePreferences();
}

bool AppState::wouldSignOut(const UserPreferences& preferences) const
{
    return m_isAuthenticated && !isSameServer(sessionServer(), effectiveServer(preferences.backendBaseURLString));
}

QString AppState::accountLabel() const
{
    if (m_accountInfo && m_accountInfo->email && !m_accountInfo->email->isEmpty())
        return *m_accountInfo->email;
    if (m_accountInfo && m_accountInfo->name && !m_accountInfo->name->isEmpty())
        return *m_accountInfo->name;
    return QStringLiteral("your account");
}

QString AppState::effectiveServer(const QString& backendBaseURLString) const
{
    if (const auto address = normalizedServerAddress(backendBaseURLString))
        return *address;
    // A blank or broken "Server" leaves requests on the last good address.
    return trimSlashes(m_backendBaseURL.toString());
}

QString AppState::sessionServer() const
{
    if (const auto recorded = m_userDefaults.string(sessionServerKey); recorded && !recorded->isEmpty())
        return *recorded;
    return effectiveServer(m_userPreferences.backendBaseURLString);
}

void AppState::setAccountOffline(bool offline)
{
    if (m_isAccountOffline == offline)
        return;
    m_isAccountOffline = offline;
    emit accountOfflineChanged();
}

std::optional<QDateTime> AppState::creditsAsOf() const
{
    const double validated = m_userDefaults.doubleValue(lastValidatedKey);
    if (validated <= 0)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(qint64(validated * 1000.0));
}

void AppState::setAuthenticated(bool authenticated)
{
    if (m_isAuthenticated == authenticated)
        return;
    m_isAuthenticated = authenticated;
    emit isAuthenticatedChanged();
}

void AppState::setAccountInfo(const std::optional<AccountInfo>& account)
{
    if (m_accountInfo == account)
        return;
    m_accountInfo = account;
    emit accountInfoChanged();
}

void AppState::setTriggerStatus(TriggerStatus status, const QString& reason)
{
    if (m_triggerStatus == status && m_triggerStatusReason == reason)
        return;
    m_triggerStatus = status;
    m_triggerStatusReason = reason;
    emit triggerStatusChanged();
}

void AppState::setTriggerProgress(TriggerProgress progress)
{
    if (m_triggerProgress == progress)
        return;
    m_triggerProgress = progress;
    emit triggerStatusChanged();
}

TriggerActivity* AppState::addTriggerActivity(const QString& filename)
{
    auto* activity = new TriggerActivity(filename, this);
    m_triggerRecentActivity.prepend(activity);
    emit triggerRecentActivityChanged();
    return activity;
}

void AppState::clearTriggerRecentActivity()
{
    for (const QPointer<TriggerActivity>& activity : std::as_const(m_triggerRecentActivity))
        if (activity)
            activity->deleteLater();
    m_triggerRecentActivity.clear();
    emit triggerRecentActivityChanged();
}

void AppState::installFolderMonitor(std::unique_ptr<FolderMonitoring> monitor)
{
    stopFolderMonitoring();
    m_folderMonitor = std::move(monitor);
    if (m_userPreferences.triggerEnabled && m_userPreferences.triggerFolderPath)
        startFolderMonitoring();
}

void AppState::startFolderMonitoring()
{
    const std::optional<QString>& path = m_userPreferences.triggerFolderPath;
    if (!path || path->isEmpty()) {
        logLine(QStringLiteral("[AppState] Cannot start monitoring: invalid folder path"));
        return;
    }
    // A folder that is missing now (an unplugged disk, a folder renamed for a moment) is an
    // error the monitor mends by itself once the folder is back.
    if (!QFileInfo::exists(*path))
        logLine(QStringLiteral("[AppState] Cannot start monitoring: invalid folder path"));
    // A restart on the folder already watched (each time the Trigger tab appears) would only
    // lose the files being written at that moment.
    if (m_folderMonitor && m_folderMonitor->watchedFolder() == QDir::cleanPath(*path))
        return;
    stopFolderMonitoring();
    if (!m_folderMonitor)
        return;
    if (!m_folderMonitor->startWatching(*path)) {
        setTriggerStatus(TriggerStatus::error, m_folderMonitor->failureReason());
        return;
    }
    setTriggerStatus(TriggerStatus::monitoring);
    logLine(QStringLiteral("[AppState] Started monitoring folder: ") + *path);
}

void AppState::stopFolderMonitoring()
{
    if (!m_folderMonitor || !m_folderMonitor->isWatching())
        return;
    const int left = m_folderMonitor->stopWatching();
    setTriggerStatus(TriggerStatus::idle,
                     left == 0 ? QString()
                     : left == 1 ? QStringLiteral("Stopped with 1 file left waiting")
                                 : QStringLiteral("Stopped with %1 files left waiting").arg(left));
    setTriggerProgress({});
    logLine(QStringLiteral("[AppState] Stopped folder monitoring"));
}

void AppState::setTriggerEnabled(bool enabled)
{
    UserPreferences preferences = m_userPreferences;
    preferences.triggerEnabled = enabled;
    setUserPreferences(preferences);
    if (enabled)
        startFolderMonitoring();
    else
        stopFolderMonitoring();
}

void AppState::savePreferences()
{
    m_preferenceManager.setPreferences(m_userPreferences);
    m_preferenceManager.save();
    deriveBackendBaseURL();
}

void AppState::deriveBackendBaseURL()
{
    if (const auto url = parseBaseURL(m_userPreferences.backendBaseURLString))
        m_backendBaseURL = *url;
}

void AppState::restoreCachedSignIn()
{
    const auto account = loadAccountInfo();
    if (!account)
        return;
    const auto recorded = m_userDefaults.string(sessionServerKey);
    if (recorded && !isSameServer(*recorded, effectiveServer(m_userPreferences.backendBaseURLString))) {
        // The preferences were changed behind the application's back: the key stays with its server.
        logLine(QStringLiteral("[AppState] The stored session belongs to %1, not the configured server: signing out")
                    .arg(*recorded));
        logout();
        return;
    }
    if (isSessionExpired())
        return;
    m_accountInfo = account;
    m_isAuthenticated = true;
}

void AppState::settleStoredApiKey()
{
    const auto stored = loadAccountInfo();
    if (!stored)
        return;
    // Records written before the session's server was kept belong to the configured one.
    if (!m_userDefaults.string(sessionServerKey))
        m_userDefaults.setString(sessionServerKey, effectiveServer(m_userPreferences.backendBaseURLString));

    // Older records carry the API key in plain text; it moves into the credential store, and the
    // record loses it only once the store holds it. A record without one gets the key from the
    // store for the card. The credential store may take seconds to answer: not on this thread.
    const QString recordKey = stored->apiKey.value_or(QString());
    if (recordKey.isEmpty() && !m_isAuthenticated)
        return;
    const KeychainHelper keychain = m_keychain;
    auto* watcher = new QFutureWatcher<std::optional<QString>>(this);
    connect(watcher, &QFutureWatcher<std::optional<QString>>::finished, this, [this, watcher, recordKey] {
        watcher->deleteLater();
        const std::optional<QString> outcome = watcher->result();
        if (recordKey.isEmpty())
            adoptStoredKey(outcome);
        else
            finishKeyMigration(outcome.has_value(), recordKey);
    });
    watcher->setFuture(QtConcurrent::run([keychain, recordKey]() -> std::optional<QString> {
        const QString account(kApiKeyAccount);
        if (recordKey.isEmpty())
            return keychain.load(account);
        return keychain.save(account, recordKey) ? std::optional(recordKey) : std::nullopt;
    }));
}

void AppState::finishKeyMigration(bool saved, const QString& key)
{
    if (!saved) {
        logLine(QStringLiteral("[AppState] The credential store refused the API key; the stored account keeps it for now"));
        return;
    }
    // A sign-out or another sign-in in the meantime has already rewritten the record.
    auto stored = loadAccountInfo();
    if (!stored || stored->apiKey != key)
        return;
    stored->apiKey.reset();
    m_userDefaults.setData(accountInfoKey, QJsonDocument(stored->toJson()).toJson(QJsonDocument::Compact));
    logLine(QStringLiteral("[AppState] Moved the API key from the stored account into the credential store"));
}

void AppState::adoptStoredKey(const std::optional<QString>& key)
{
    if (!key || key->isEmpty() || !m_isAuthenticated || !m_accountInfo || m_accountInfo->apiKey)
        return;
    AccountInfo account = *m_accountInfo;
    account.apiKey = key;
    setAccountInfo(account);
}

void AppState::saveAccountInfo(const AccountInfo& account, int days)
{
    const double now = clock::nowInSeconds();
    // The key lives in the credential store alone: the defaults file is plain text.
    AccountInfo stored = account;
    stored.apiKey.reset();
    m_userDefaults.setData(accountInfoKey, QJsonDocument(stored.toJson()).toJson(QJsonDocument::Compact));
    m_userDefaults.setString(sessionServerKey, effectiveServer(m_userPreferences.backendBaseURLString));
    m_userDefaults.setDouble(sessionExpiryKey, now + double(days * secondsPerDay));
    m_userDefaults.setDouble(lastValidatedKey, now);
}

std::optional<AccountInfo> AppState::loadAccountInfo() const
{
    const auto bytes = m_userDefaults.data(accountInfoKey);
    if (!bytes)
        return std::nullopt;
    return AccountInfo::fromJson(*bytes);
}

bool AppState::isSessionExpired() const
{
    const double expiry = m_userDefaults.doubleValue(sessionExpiryKey);
    if (expiry <= 0)
        return true;
    return expiry < clock::nowInSeconds();
}

void AppState::logout()
{
    m_userDefaults.remove(accountInfoKey);
    m_userDefaults.remove(sessionExpiryKey);
    m_userDefaults.remove(lastValidatedKey);
    m_userDefaults.remove(sessionServerKey);
    setAccountOffline(false);
    setAuthenticated(false);
    setAccountInfo(std::nullopt);
    m_keychain.deleteItem(QString(kSessionAccount));
    m_keychain.deleteItem(QString(kApiKeyAccount));
}

void AppState::restoreSession()
{
    if (m_isAuthenticated)
        return;
    const auto apiKey = m_keychain.load(QString(kApiKeyAccount));
    if (!apiKey || apiKey->isEmpty())
        return;
    if (!isSameServer(sessionServer(), effectiveServer(m_userPreferences.backendBaseURLString))) {
        logLine(QStringLiteral("[AppState] Not renewing the session: its key belongs to ") + sessionServer());
        return;
    }
    if (!m_sessionRenewal) {
        applyRenewal(std::nullopt);
        return;
    }
    const QPointer<AppState> self(this);
    m_sessionRenewal->renew(m_userPreferences.backendBaseURLString, *apiKey, deviceInfo(),
                            [self](const std::optional<AccountInfo>& account) {
                                if (self)
                                    self->applyRenewal(account);
                            });
}

void AppState::applyRenewal(const std::optional<AccountInfo>& account)
{
    if (!account) {
        // No usable answer: the cached sign-in still counts while its session lasts.
        if (const auto cached = loadAccountInfo(); cached && !isSessionExpired()) {
            setAccountInfo(cached);
            setAuthenticated(true);
            setAccountOffline(true);
        }
        return;
    }
    setAccountOffline(false);
    setAccountInfo(account);
    setAuthenticated(true);
    saveAccountInfo(*account, sessionLifetimeDays);
    rememberAccountInPreferences(*account);
}

void AppState::rememberAccountInPreferences(const AccountInfo& account)
{
    if (account.email) {
        UserPreferences preferences = m_userPreferences;
        preferences.accountEmail = account.email;
        setUserPreferences(preferences);
    }
    if (account.name) {
        UserPreferences preferences = m_userPreferences;
        preferences.accountName = account.name;
        setUserPreferences(preferences);
    }
}

QJsonObject AppState::deviceInfo() const
{
    QJsonObject info{{QStringLiteral("os_version"), operatingSystemVersionText()}};
    if (const QString version = QCoreApplication::applicationVersion(); !version.isEmpty())
        info.insert(QStringLiteral("app_version"), version);
    info.insert(QStringLiteral("installation_uuid"), installationUUID());
    return info;
}

QString AppState::installationUUID() const
{
    if (const auto stored = m_userDefaults.string(kInstallationUUIDKey); stored && !stored->isEmpty())
        return *stored;
    const QString created = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    m_userDefaults.setString(kInstallationUUIDKey, created);
    return created;
}

} // namespace kivo
