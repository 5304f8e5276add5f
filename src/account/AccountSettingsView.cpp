#include "AccountSettingsView.h"

#include "AccountDisplay.h"

#include "core/AppConstants.h"
#include "core/AppState.h"
#include "core/SessionServerPrompt.h"
#include "core/WebAddress.h"
#include "core/WidgetStyle.h"

#include <QCoreApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

namespace kivo {

namespace {

constexpr int kAvatarSide = 48;
constexpr int kFieldLabelWidth = 80;

QToolButton* keyVisibilityToggle()
{
    auto* button = new QToolButton;
    button->setAutoRaise(true);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

// The eye shows what a click does: "eye" while the key is hidden, "eye.slash" while shown.
void showKeyVisibility(QToolButton* button, bool visible)
{
    button->setIcon(QIcon(visible ? QStringLiteral(":/account-icons/eye-slash.svg")
                                  : QStringLiteral(":/account-icons/eye.svg")));
    button->setToolTip(visible ? QObject::tr("Hide API Key") : QObject::tr("Show API Key"));
}

QLabel* fieldLabel(const QString& text)
{
    auto* label = new QLabel(text);
    label->setFixedWidth(kFieldLabelWidth);
    return label;
}

// Only when it differs: resetting a field's text would move the user's cursor.
void setTextKeepingCursor(QLineEdit* field, const QString& text)
{
    if (field->text() != text)
        field->setText(text);
}

QPixmap roundAvatar(const QImage& image, qreal devicePixelRatio)
{
    const int side = qRound(kAvatarSide * devicePixelRatio);
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath circle;
    circle.addEllipse(0, 0, side, side);
    painter.setClipPath(circle);
    if (image.isNull()) {
        // The placeholder until the picture arrives, and where it never does.
        painter.fillPath(circle, QColor(128, 128, 128, 51));
    } else {
        const QImage filled = image.scaled(side, side, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        painter.drawImage(QPoint((side - filled.width()) / 2, (side - filled.height()) / 2), filled);
    }
    painter.end();
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

} // namespace

AccountSettingsView::AccountSettingsView(AppState& appState, QWidget* parent)
    : QWidget(parent)
    , m_appState(appState)
    , m_signIn(appState)
    , m_avatars(QSize(kAvatarSide * 3, kAvatarSide * 3))
{
    auto* title = new QLabel(tr("Account"));
    styleFont(title, 1.6, QFont::Bold);

    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(16);
    column->addWidget(title);
    column->addWidget(buildSignInForm());
    column->addWidget(buildAccountCard());
    column->addStretch();

    auto* scroll = new QScrollArea;
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);

    connect(&m_signIn, &AccountSignIn::changed, this, &AccountSettingsView::refresh);
    connect(&appState, &AppState::isAuthenticatedChanged, this, &AccountSettingsView::refresh);
    connect(&appState, &AppState::accountInfoChanged, this, &AccountSettingsView::refresh);
    connect(&m_avatars, &RemoteImageLoader::finished, this, &AccountSettingsView::refreshAvatar);
    refresh();
}

QWidget* AccountSettingsView::buildSignInForm()
{
    m_serverField = new QLineEdit;
    m_serverField->setPlaceholderText(QString(kDefaultWebsiteBaseURL));
    m_emailField = new QLineEdit;
    m_emailField->setPlaceholderText(QStringLiteral("you@example.com"));
    m_emailField->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);
    m_passwordField = new QLineEdit;
    m_passwordField->setEchoMode(QLineEdit::Password);
    m_passwordField->setPlaceholderText(QStringLiteral("••••••••"));
    m_apiKeyField = new QLineEdit;
    m_apiKeyField->setPlaceholderText(QStringLiteral("paste-your-api-key"));
    m_loginKeyToggle = keyVisibilityToggle();

    // Only the user's own edits write back; refresh() fills the fields without echoing.
    connect(m_serverField, &QLineEdit::textEdited, &m_signIn, &AccountSignIn::setBackendURLString);
    connect(m_emailField, &QLineEdit::textEdited, &m_signIn, &AccountSignIn::setEmail);
    connect(m_passwordField, &QLineEdit::textEdited, &m_signIn, &AccountSignIn::setPassword);
    connect(m_apiKeyField, &QLineEdit::textEdited, &m_signIn, &AccountSignIn::setApiKey);
    connect(m_loginKeyToggle, &QToolButton::clicked, &m_signIn, &AccountSignIn::toggleApiKeyVisibleLogin);
    // Return in any field submits the form, as "Sign In" would (disabled it does nothing).
    for (QLineEdit* field : {m_serverField, m_emailField, m_passwordField, m_apiKeyField})
        connect(field, &QLineEdit::returnPressed, &m_signIn, &AccountSignIn::signIn);

    auto* keyRow = new QHBoxLayout;
    keyRow->setSpacing(4);
    keyRow->addWidget(m_apiKeyField, 1);
    keyRow->addWidget(m_loginKeyToggle);

    auto* fields = new QFormLayout;
    fields->addRow(tr("Server"), m_serverField);
    fields->addRow(tr("Email"), m_emailField);
    fields->addRow(tr("Password"), m_passwordField);
    fields->addRow(secondaryLabel(tr("Or Sign in with your  API key.")));
    fields->addRow(tr("API Key"), keyRow);

    m_signInButton = new QPushButton;
    makeProminent(m_signInButton);
    m_signInButton->setDefault(true);
    connect(m_signInButton, &QPushButton::clicked, &m_signIn, &AccountSignIn::signIn);
    auto* profile = new QPushButton(tr("Open Web Profile"));
    connect(profile, &QPushButton::clicked, &m_signIn, &AccountSignIn::openWebProfile);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_signInButton);
    buttons->addWidget(profile);
    buttons->addStretch();

    m_errorLabel = new QLabel;
    m_errorLabel->setWordWrap(true);
    m_errorLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_errorLabel->setStyleSheet(QStringLiteral("color: #ff3b30;"));
    styleFont(m_errorLabel, 0.85);

    m_signInGroup = new QGroupBox(tr("Connect to KIVOPRO"));
    auto* layout = new QVBoxLayout(m_signInGroup);
    layout->setSpacing(10);
    layout->addWidget(secondaryLabel(tr("Sign in with your website credentials to sync your API key and credits.")));
    layout->addLayout(fields);
    layout->addLayout(buttons);
    layout->addWidget(m_errorLabel);
    return m_signInGroup;
}

QWidget* AccountSettingsView::buildAccountCard()
{
    m_avatarLabel = new QLabel;
    m_avatarLabel->setFixedSize(kAvatarSide, kAvatarSide);
    m_nameLabel = new QLabel;
    styleFont(m_nameLabel, 1.15, QFont::DemiBold);
    m_emailLabel = secondaryLabel(QString());
    m_logoutButton = new QPushButton(tr("Logout"));
    connect(m_logoutButton, &QPushButton::clicked, &m_signIn, &AccountSignIn::logout);

    auto* identity = new QVBoxLayout;
    identity->setSpacing(2);
    identity->addWidget(m_nameLabel);
    identity->addWidget(m_emailLabel);
    auto* header = new QHBoxLayout;
    header->setSpacing(12);
    header->addWidget(m_avatarLabel);
    header->addLayout(identity, 1);
    header->addWidget(m_logoutButton, 0, Qt::AlignTop);

    m_creditsLabel = new QLabel;
    styleFont(m_creditsLabel, 1.0, QFont::DemiBold);
    auto* credits = new QHBoxLayout;
    credits->addWidget(fieldLabel(tr("Credits:")));
    credits->addWidget(m_creditsLabel, 1);
    m_offlineLabel = secondaryLabel(QString());
    m_offlineLabel->setStyleSheet(QStringLiteral("color: #b35c00;"));

    // The session's server; another address typed here ends the session once the user agrees.
    m_cardServerField = new QLineEdit;
    m_cardServerField->setObjectName(QStringLiteral("cardServerField"));
    connect(m_cardServerField, &QLineEdit::editingFinished, this, &AccountSettingsView::changeServerFromCard);
    auto* server = new QHBoxLayout;
    server->addWidget(fieldLabel(tr("Server:")));
    server->addWidget(m_cardServerField, 1);

    m_apiKeyLabel = new QLabel;
    m_profileKeyToggle = keyVisibilityToggle();
    connect(m_profileKeyToggle, &QToolButton::clicked, &m_signIn, &AccountSignIn::toggleApiKeyVisibleProfile);
    auto* key = new QHBoxLayout;
    key->addWidget(fieldLabel(tr("API Key:")));
    key->addWidget(m_apiKeyLabel, 1);
    key->addWidget(m_profileKeyToggle);

    auto* profile = new QPushButton(tr("Open Web Profile"));
    connect(profile, &QPushButton::clicked, &m_signIn, &AccountSignIn::openWebProfile);
    m_copyKeyButton = new QPushButton(tr("Copy API Key"));
    connect(m_copyKeyButton, &QPushButton::clicked, &m_signIn, &AccountSignIn::copyApiKey);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(profile);
    buttons->addWidget(m_copyKeyButton);
    buttons->addStretch();

    m_currentVersionLabel = new QLabel;
    m_latestVersionLabel = new QLabel;
    m_downloadButton = new QPushButton(tr("Download Last Version"));
    makeProminent(m_downloadButton);
    connect(m_downloadButton, &QPushButton::clicked, this, [] { openWebAddress(downloadPageURL()); });
    auto* versions = new QFormLayout;
    versions->addRow(tr("Current Version:"), m_currentVersionLabel);
    versions->addRow(tr("Last Version:"), m_latestVersionLabel);

    m_accountGroup = new QGroupBox(tr("Connected Account"));
    auto* layout = new QVBoxLayout(m_accountGroup);
    layout->setSpacing(10);
    layout->addLayout(header);
    layout->addLayout(server);
    layout->addLayout(credits);
    layout->addWidget(m_offlineLabel);
    layout->addLayout(key);
    layout->addLayout(buttons);
    layout->addSpacing(6);
    layout->addWidget(secondaryLabel(tr("App Version")));
    layout->addLayout(versions);
    layout->addWidget(m_downloadButton, 0, Qt::AlignLeft);
    return m_accountGroup;
}

void AccountSettingsView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_signIn.pageShown();
}

void AccountSettingsView::refresh()
{
    const auto& account = m_appState.accountInfo();
    const bool signedIn = m_appState.isAuthenticated() && account.has_value();
    m_signInGroup->setVisible(!signedIn);
    m_accountGroup->setVisible(signedIn);

    setTextKeepingCursor(m_serverField, m_signIn.backendURLString());
    setTextKeepingCursor(m_emailField, m_signIn.email());
    setTextKeepingCursor(m_passwordField, m_signIn.password());
    setTextKeepingCursor(m_apiKeyField, m_signIn.apiKey());
    m_apiKeyField->setEchoMode(m_signIn.isApiKeyVisibleLogin() ? QLineEdit::Normal : QLineEdit::Password);
    showKeyVisibility(m_loginKeyToggle, m_signIn.isApiKeyVisibleLogin());
    m_signInButton->setText(m_signIn.isLoading() ? tr("Signing in…") : tr("Sign In"));
    m_signInButton->setEnabled(m_signIn.canSignIn());
    m_errorLabel->setText(m_signIn.errorMessage().value_or(QString()));
    m_errorLabel->setVisible(m_signIn.errorMessage().has_value());

    if (!signedIn)
        return;
    m_nameLabel->setText(accountDisplayName(*account));
    m_emailLabel->setText(account->email.value_or(QString()));
    m_emailLabel->setVisible(account->email.has_value());
    m_creditsLabel->setText(creditsText(*account));
    const auto offline = m_signIn.offlineNotice();
    m_offlineLabel->setText(offline.value_or(QString()));
    m_offlineLabel->setVisible(offline.has_value());
    if (!m_cardServerField->hasFocus())
        setTextKeepingCursor(m_cardServerField, m_signIn.sessionServer());
    const bool keyVisible = m_signIn.isApiKeyVisibleProfile();
    m_apiKeyLabel->setText(apiKeyText(m_signIn.accountApiKey(), keyVisible));
    m_apiKeyLabel->setTextInteractionFlags(keyVisible ? Qt::TextSelectableByMouse : Qt::NoTextInteraction);
    showKeyVisibility(m_profileKeyToggle, keyVisible);

    const QString version = QCoreApplication::applicationVersion();
    m_currentVersionLabel->setText(currentVersionText(version, QStringLiteral(KIVOPRO_BUILD_NUMBER)));
    m_latestVersionLabel->setText(latestVersionText(*account));
    m_downloadButton->setVisible(offersDownload(*account, version));
    refreshAvatar();
}

void AccountSettingsView::changeServerFromCard()
{
    const QString typed = m_cardServerField->text();
    // editingFinished comes again when the question takes the focus away.
    if (m_isAskingAboutServer || !m_appState.isAuthenticated() || typed == m_signIn.sessionServer())
        return;
    const QScopedValueRollback asking(m_isAskingAboutServer, true);
    UserPreferences next = m_appState.userPreferences();
    next.backendBaseURLString = normalizedServerAddress(typed).value_or(typed.trimmed());
    if (next.backendBaseURLString == m_appState.userPreferences().backendBaseURLString
        || !confirmServerChange(this, m_appState, next)) {
        m_cardServerField->setText(m_signIn.sessionServer());
        return;
    }
    m_signIn.setBackendURLString(next.backendBaseURLString);
}

void AccountSettingsView::refreshAvatar()
{
    const auto& account = m_appState.accountInfo();
    if (!account)
        return;
    if (const auto url = avatarURL(*account)) {
        const auto image = m_avatars.image(*url);
        m_avatarLabel->setPixmap(roundAvatar(image.value_or(QImage()), devicePixelRatioF()));
        return;
    }
    m_avatarLabel->setPixmap(tintedPixmap(QIcon(QStringLiteral(":/account-icons/person-crop-circle.svg")),
                                          QSize(kAvatarSide, kAvatarSide), palette().color(QPalette::Highlight),
                                          devicePixelRatioF()));
}

} // namespace kivo
