#include "AccountSignIn.h"

#include "core/AppConstants.h"
#include "core/AppState.h"
#include "core/KeychainHelper.h"
#include "core/Log.h"
#include "core/WebAddress.h"

#include <QClipboard>
#include <QGuiApplication>

namespace kivo {

AccountSignIn::AccountSignIn(AppState& appState, QObject* parent)
    : QObject(parent)
    , m_appState(appState)
    , m_backendURLString(appState.userPreferences().backendBaseURLString)
{
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
    if (const auto stored = m_appState.keychain().load(QString(kApiKeyAccount)))
        m_apiKey = *stored;
    emit changed();
    refreshAccount();
}

void AccountSignIn::refreshAccount()
{
    const auto& account = m_appState.accountInfo();
    if (!m_appState.isAuthenticated() || !account)
        return;
    const QString key = account->apiKey.value_or(m_apiKey);
    if (key.isEmpty())
        return;
    const QPointer<AccountSignIn> self(this);
    const auto accountId = account->id;
    m_refresh.renew(baseAddress(), key, m_appState.deviceInfo(), [self, accountId](std::optional<AccountInfo> fresh) {
        // Only the same account, still signed in: a sign-out or another sign-in in the meantime wins.
        if (!self || !fresh || !self->m_appState.isAuthenticated() || !self->m_appState.accountInfo()
            || self->m_appState.accountInfo()->id != accountId || fresh->id != accountId)
            return;
        self->m_appState.setAccountInfo(fresh);
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
    m_isLoading = true;
    emit changed();

    const auto url = signInAddress(baseAddress());
    if (!url) {
        m_isLoading = false;
        emit changed();
        return;
    }
    const SignInCredentials credentials{m_email, m_password, m_apiKey};
    logLine(QStringLiteral("[AccountSettingsView] Sending login payload ") + signInPayloadSummary(credentials));
    m_http.postJson(*url, signInBody(credentials, m_appState.deviceInfo()),
                    [this](const RemoteHttpResult& result) { finishSignIn(result); });
}

void AccountSignIn::finishSignIn(const RemoteHttpResult& result)
{
    if (!result.transportError)
        logLine(signInResponseLogLine(QStringLiteral("[AccountSettingsView] login response"), result));
    const SignInOutcome outcome = readSignInAnswer(result, AppsMatch::idOnly);
    if (!outcome.account) {
        m_errorMessage = outcome.errorMessage;
        m_isLoading = false;
        emit changed();
        return;
    }
    const AccountInfo& account = *outcome.account;
    m_appState.setAccountInfo(account);
    m_appState.setAuthenticated(true);
    m_appState.saveAccountInfo(account, AppState::sessionLifetimeDays);
    m_appState.rememberAccountInPreferences(account);
    // A failed save changes nothing for this session: the account record carries the key.
    if (account.apiKey && !account.apiKey->isEmpty())
        m_appState.keychain().save(QString(kApiKeyAccount), *account.apiKey);
    m_isLoading = false;
    emit changed();
}

void AccountSignIn::logout()
{
    m_appState.logout();
    emit changed();
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
    const auto& account = m_appState.accountInfo();
    if (!account || !account->apiKey)
        return;
    QGuiApplication::clipboard()->setText(*account->apiKey);
}

} // namespace kivo
