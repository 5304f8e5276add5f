#include "AccountSignIn.h"

#include "core/AppConstants.h"
#include "core/AppState.h"
#include "core/KeychainHelper.h"
#include "core/Log.h"
#include "core/WebAddress.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLocale>

namespace kivo {

AccountSignIn::AccountSignIn(AppState& appState, QObject* parent)
    : QObject(parent)
    , m_appState(appState)
    , m_backendURLString(appState.userPreferences().backendBaseURLString)
{
    connect(&appState, &AppState::isAuthenticatedChanged, this, [this] {
        if (!m_appState.isAuthenticated())
            clearAfterSignOut();
    });
    connect(&appState, &AppState::accountOfflineChanged, this, &AccountSignIn::changed);
    connect(&appState, &AppState::userPreferencesChanged, this, [this] {
        // Reset and import change the server under the form.
        const QString server = m_appState.userPreferences().backendBaseURLString;
        if (server != m_backendURLString) {
            m_backendURLString = server;
            emit changed();
        }
    });
}

void AccountSignIn::clearAfterSignOut()
{
    // The next person at the form starts from an empty key and password: a key left behind
    // would sign in to the previous account whatever e-mail is typed.
    m_password.clear();
    m_apiKey.clear();
    m_storedApiKey.clear();
    m_isApiKeyVisibleLogin = false;
    m_isApiKeyVisibleProfile = false;
    emit changed();
}

std::optional<QString> AccountSignIn::accountApiKey() const
{
    const auto& account = m_appState.accountInfo();
    if (account && account->apiKey && !account->apiKey->isEmpty())
        return account->apiKey;
    if (!m_storedApiKey.isEmpty())
        return m_storedApiKey;
    return account ? account->apiKey : std::nullopt;
}

QString AccountSignIn::sessionServer() const
{
    return m_appState.sessionServer();
}

std::optional<QString> AccountSignIn::offlineNotice() const
{
    if (!m_appState.isAccountOffline())
        return std::nullopt;
    const auto asOf = m_appState.creditsAsOf();
    if (!asOf)
        return QStringLiteral("Offline — credits as of the last sign-in");
    return QStringLiteral("Offline — credits as of ") + QLocale().toString(asOf->toLocalTime(), QLocale::ShortFormat);
}

void AccountSignIn::setEmail(const QString& email)
{
    m_email = email;
    emit changed();
}

void AccountSignIn::setPassword(const QString& password)
{
    m_password = password;
    emit changed();
}

void AccountSignIn::setApiKey(const QString& apiKey)
{
    m_apiKey = apiKey;
    emit changed();
}

void AccountSignIn::setBackendURLString(const QString& address)
{
    m_backendURLString = address;
    UserPreferences preferences = m_appState.userPreferences();
    preferences.backendBaseURLString = address;
    m_appState.setUserPreferences(preferences);
    emit changed();
}

void AccountSignIn::toggleApiKeyVisibleLogin()
{
    m_isApiKeyVisibleLogin = !m_isApiKeyVisibleLogin;
    emit changed();
}

void AccountSignIn::toggleApiKeyVisibleProfile()
{
    m_isApiKeyVisibleProfile = !m_isApiKeyVisibleProfile;
    emit changed();
}

bool AccountSignIn::canSignIn() const
{
    if (m_isLoading)
        return false;
    return !m_apiKey.isEmpty() || (!m_email.isEmpty() && !m_password.isEmpty());
}

void AccountSignIn::pageShown()
{
    const UserPreferences& preferences = m_appState.userPreferences();
    if (preferences.accountEmail)
        m_email = *preferences.accountEmail;
    m_backendURLString = preferences.backendBaseURLString;
    m_storedApiKey.clear();
    if (m_appState.isAuthenticated()) {
        if (const auto stored = m_appState.keychain().load(QString(kApiKeyAccount)))
            m_storedApiKey = *stored;
    }
    emit changed();
    refreshAccount();
}

void AccountSignIn::refreshAccount()
{
    const auto& account = m_appState.accountInfo();
    if (!m_appState.isAuthenticated() || !account)
        return;
    const QString key = accountApiKey().value_or(QString());
    if (key.isEmpty())
        return;
    const QPointer<AccountSignIn> self(this);
    const auto accountId = account->id;
    // To the session's own server only: the key was issued there.
    const QString server = m_appState.sessionServer();
    m_refresh.renew(server, key, m_appState.deviceInfo(), [self, accountId, server](std::optional<AccountInfo> fresh) {
        // Only the same account, still signed in at the same server: a sign-out or another
        // sign-in in the meantime wins.
        if (!self || !self->m_appState.isAuthenticated() || !self->m_appState.accountInfo()
            || self->m_appState.accountInfo()->id != accountId || self->m_appState.sessionServer() != server)
            return;
        if (!fresh || fresh->id != accountId) {
            self->m_appState.setAccountOffline(true);
            return;
        }
        self->m_appState.setAccountInfo(fresh);
        self->m_appState.setAccountOffline(false);
    });
}

QString AccountSignIn::baseAddress() const
{
    return m_backendURLString.isEmpty() ? m_appState.backendBaseURL().toString() : m_backendURLString;
}

void AccountSignIn::signIn()
{
    if (!canSignIn())
        return;
    m_errorMessage.reset();

    // "kivopro.example " and "localhost:8080" are what people type: trimmed, https:// assumed.
    const QString typed = baseAddress();
    const auto server = normalizedServerAddress(typed);
    const auto url = server ? signInAddress(*server) : std::nullopt;
    if (!url) {
        m_errorMessage = QStringLiteral("“%1” is not a server address. Enter one like https://kivopro.example.")
                             .arg(typed.trimmed());
        emit changed();
        return;
    }
    if (*server != m_backendURLString)
        setBackendURLString(*server);
    m_isLoading = true;
    emit changed();

    const SignInCredentials credentials{m_email, m_password, m_apiKey};
    const bool withApiKey = !m_apiKey.isEmpty();
    logLine(QStringLiteral("[AccountSettingsView] Sending login payload ") + signInPayloadSummary(credentials));
    m_http.postJson(*url, signInBody(credentials, m_appState.deviceInfo()),
                    [this, url = *url, server = *server, withApiKey](const RemoteHttpResult& result) {
                        finishSignIn(result, url, server, withApiKey);
                    });
}

void AccountSignIn::finishSignIn(const RemoteHttpResult& result, const QUrl& url, const QString& server,
                                 bool withApiKey)
{
    if (!result.transportError)
        logLine(signInResponseLogLine(QStringLiteral("[AccountSettingsView] login response"), result));
    SignInOutcome outcome = readSignInAnswer(result, AppsMatch::idOnly, url, withApiKey);
    // "Server" edited while the answer was on its way: the key belongs to the server asked, which
    // is no longer the one the preferences name.
    if (outcome.account && !isSameServer(server, m_appState.userPreferences().backendBaseURLString)) {
        outcome = {std::nullopt, QStringLiteral("The server changed while signing in. Sign in again.")};
    }
    if (!outcome.account) {
        m_errorMessage = outcome.errorMessage;
        m_isLoading = false;
        emit changed();
        return;
    }
    const AccountInfo& account = *outcome.account;
    m_appState.setAccountOffline(false);
    m_appState.setAccountInfo(account);
    m_appState.setAuthenticated(true);
    m_appState.saveAccountInfo(account, AppState::sessionLifetimeDays);
    m_appState.rememberAccountInPreferences(account);
    // The key of this sign-in replaces any older one. Should the store refuse it, this session
    // still has it in memory; the next start then asks for a sign-in again.
    if (account.apiKey && !account.apiKey->isEmpty()) {
        if (!m_appState.keychain().save(QString(kApiKeyAccount), *account.apiKey))
            logLine(QStringLiteral("[AccountSettingsView] The API key could not be stored; it lasts this session only"));
    } else {
        m_appState.keychain().deleteItem(QString(kApiKeyAccount));
    }
    m_isLoading = false;
    emit changed();
}

void AccountSignIn::logout()
{
    m_appState.logout();
    clearAfterSignOut();
}

std::optional<QUrl> AccountSignIn::webProfileURL() const
{
    const QUrl url(trimSlashes(baseAddress()) + QStringLiteral("/profile"), QUrl::StrictMode);
    if (!isWebAddress(url))
        return std::nullopt;
    return url;
}

void AccountSignIn::openWebProfile() const
{
    if (const auto url = webProfileURL())
        openWebAddress(*url);
}

void AccountSignIn::copyApiKey() const
{
    const auto key = accountApiKey();
    if (!m_appState.accountInfo() || !key)
        return;
    QGuiApplication::clipboard()->setText(*key);
}

} // namespace kivo
