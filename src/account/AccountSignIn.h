#pragma once

#include "BackendHttp.h"
#include "SignInExchange.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <optional>

namespace kivo {

class AppState;

// The account page's logic: the sign-in form's inputs, the one sign-in exchange, sign-out and
// the card's actions. Lives on the window's thread; the page's widgets show its state and call
// its operations.
class AccountSignIn : public QObject {
    Q_OBJECT
public:
    explicit AccountSignIn(AppState& appState, QObject* parent = nullptr);

    QString email() const { return m_email; }
    void setEmail(const QString& email);
    QString password() const { return m_password; }
    void setPassword(const QString& password);
    // The form's key: only what the user typed or pasted there. A key kept in the credential
    // store never fills it, so a sign-in with e-mail and password signs in that account.
    QString apiKey() const { return m_apiKey; }
    void setApiKey(const QString& apiKey);
    // The "Server" input; every change is written to the preferences at once (and, while signed
    // in to another server, ends that session: ask first with AppState::wouldSignOut).
    QString backendURLString() const { return m_backendURLString; }
    void setBackendURLString(const QString& address);

    bool isLoading() const { return m_isLoading; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    bool isApiKeyVisibleLogin() const { return m_isApiKeyVisibleLogin; }
    void toggleApiKeyVisibleLogin();
    bool isApiKeyVisibleProfile() const { return m_isApiKeyVisibleProfile; }
    void toggleApiKeyVisibleProfile();

    // The connected account's key: the one it signed in with, else the credential store's.
    std::optional<QString> accountApiKey() const;
    // The card's "Server:": where the session belongs.
    QString sessionServer() const;
    // "Offline — credits as of <date>" while the account's figures could not be renewed.
    std::optional<QString> offlineNotice() const;

    // "Sign In" is enabled when not loading and given an API key, or an e-mail and a password.
    bool canSignIn() const;

    // Each time the page is shown: the inputs come from the preferences and the credential store,
    // and a signed-in account's figures (credits above all) are fetched again, since removals
    // spend credits at the backend.
    void pageShown();
    // Starts the sign-in; the outcome arrives later on this thread.
    void signIn();
    void logout();

    // <Server input, else the backend address>/profile, when that is a web address.
    std::optional<QUrl> webProfileURL() const;
    void openWebProfile() const;
    // The signed-in account's key onto the clipboard as plain text; nothing without a key.
    void copyApiKey() const;

signals:
    void changed();

private:
    QString baseAddress() const;
    void finishSignIn(const RemoteHttpResult& result, const QUrl& url, const QString& server, bool withApiKey);
    void refreshAccount();
    void clearAfterSignOut();

    AppState& m_appState;
    BackendHttp m_http;
    BackendSessionRenewal m_refresh{QStringLiteral("[AccountSettingsView] refresh login response")};

    QString m_email;
    QString m_password;
    QString m_apiKey;
    QString m_storedApiKey;
    QString m_backendURLString;
    bool m_isLoading = false;
    std::optional<QString> m_errorMessage;
    bool m_isApiKeyVisibleLogin = false;
    bool m_isApiKeyVisibleProfile = false;
};

} // namespace kivo
