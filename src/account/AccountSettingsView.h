#pragma once

#include "AccountSignIn.h"
#include "RemoteImageLoader.h"

#include <QWidget>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace kivo {

class AppState;

// The settings window's Account page: the sign-in form while signed out, the connected
// account's card while signed in. It shows AccountSignIn's state and forwards the user's input.
class AccountSettingsView : public QWidget {
    Q_OBJECT
public:
    explicit AccountSettingsView(AppState& appState, QWidget* parent = nullptr);

    AccountSignIn& signIn() { return m_signIn; }

    // The form.
    QGroupBox* signInGroup() const { return m_signInGroup; }
    QLineEdit* serverField() const { return m_serverField; }
    QLineEdit* emailField() const { return m_emailField; }
    QLineEdit* passwordField() const { return m_passwordField; }
    QLineEdit* apiKeyField() const { return m_apiKeyField; }
    QToolButton* loginKeyToggle() const { return m_loginKeyToggle; }
    QPushButton* signInButton() const { return m_signInButton; }
    QLabel* errorLabel() const { return m_errorLabel; }

    // The card.
    QGroupBox* accountGroup() const { return m_accountGroup; }
    QLabel* nameLabel() const { return m_nameLabel; }
    QLabel* emailLabel() const { return m_emailLabel; }
    QLabel* creditsLabel() const { return m_creditsLabel; }
    QLabel* offlineLabel() const { return m_offlineLabel; }
    QLineEdit* cardServerField() const { return m_cardServerField; }
    QLabel* apiKeyLabel() const { return m_apiKeyLabel; }
    QToolButton* profileKeyToggle() const { return m_profileKeyToggle; }
    QPushButton* logoutButton() const { return m_logoutButton; }
    QPushButton* copyKeyButton() const { return m_copyKeyButton; }
    QPushButton* downloadButton() const { return m_downloadButton; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildSignInForm();
    QWidget* buildAccountCard();
    void refresh();
    void refreshAvatar();
    void changeServerFromCard();

    AppState& m_appState;
    AccountSignIn m_signIn;
    RemoteImageLoader m_avatars;

    QGroupBox* m_signInGroup = nullptr;
    QLineEdit* m_serverField = nullptr;
    QLineEdit* m_emailField = nullptr;
    QLineEdit* m_passwordField = nullptr;
    QLineEdit* m_apiKeyField = nullptr;
    QToolButton* m_loginKeyToggle = nullptr;
    QPushButton* m_signInButton = nullptr;
    QLabel* m_errorLabel = nullptr;

    QGroupBox* m_accountGroup = nullptr;
    QLabel* m_avatarLabel = nullptr;
    QLabel* m_nameLabel = nullptr;
    QLabel* m_emailLabel = nullptr;
    QLabel* m_creditsLabel = nullptr;
    QLabel* m_offlineLabel = nullptr;
    QLineEdit* m_cardServerField = nullptr;
    bool m_isAskingAboutServer = false;
    QLabel* m_apiKeyLabel = nullptr;
    QToolButton* m_profileKeyToggle = nullptr;
    QPushButton* m_logoutButton = nullptr;
    QPushButton* m_copyKeyButton = nullptr;
    QLabel* m_currentVersionLabel = nullptr;
    QLabel* m_latestVersionLabel = nullptr;
    QPushButton* m_downloadButton = nullptr;
};

} // namespace kivo
