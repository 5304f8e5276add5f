#include "WelcomeView.h"

#include "core/AppState.h"
#include "core/NotificationCenter.h"
#include "core/WidgetStyle.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <array>

namespace kivo {

namespace {

struct TabIntroduction {
    const char* icon;
    const char* title;
    const char* text;
};

constexpr std::array<TabIntroduction, 4> introductions{{
    {"photo-badge-plus", "Background Removal",
     "Drop photos or whole folders onto this tab (or click Browse Files), press Process All, then save the "
     "cut-outs one by one or all into a folder."},
    {"paintbrush", "Image Editor",
     "Refine a cut-out with layers, brush and eraser, selections and filters, and export it as PNG, JPEG or TIFF."},
    {"creditcard", "Transactions", "The credits and transactions of your account, once you are signed in."},
    {"play", "Trigger",
     "Watch a folder: every photo that appears in it gets its background removed into a kivo_processed folder."},
}};

QString engineSentence(const UserPreferences& preferences)
{
    const QString trigger = preferences.triggerAIModel == u"kivo" ? QObject::tr("Kivo Model") : QObject::tr("Local Free Model");
    return QObject::tr("Photos are cut out by the Local Free Model, which runs on this computer without an account; "
                       "the Kivo Model (the online service) can be chosen above the photos once you are signed in. "
                       "The folder trigger uses the %1.")
        .arg(trigger);
}

} // namespace

WelcomeView::WelcomeView(AppState& appState, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("welcomeView"));
    setWindowTitle(tr("Welcome to KIVOPRO"));
    setMinimumWidth(560);

    auto* heading = new QLabel(tr("Welcome to KIVOPRO"));
    QFont headingFont = heading->font();
    headingFont.setPointSizeF(headingFont.pointSizeF() * 1.6);
    headingFont.setWeight(QFont::DemiBold);
    heading->setFont(headingFont);

    auto* tabs = new QGridLayout;
    tabs->setHorizontalSpacing(14);
    tabs->setVerticalSpacing(12);
    int row = 0;
    for (const TabIntroduction& tab : introductions) {
        auto* icon = new QLabel;
        icon->setPixmap(tintedPixmap(QIcon(QStringLiteral(":/icons/%1.svg").arg(QLatin1StringView(tab.icon))),
                                     QSize(28, 28), palette().color(QPalette::Highlight), devicePixelRatioF()));
        auto* text = new QLabel(QStringLiteral("<b>%1</b><br>%2").arg(tr(tab.title), tr(tab.text)));
        text->setWordWrap(true);
        tabs->addWidget(icon, row, 0, Qt::AlignTop);
        tabs->addWidget(text, row, 1);
        ++row;
    }
    tabs->setColumnStretch(1, 1);

    auto* engine = new QLabel(engineSentence(appState.userPreferences()));
    engine->setObjectName(QStringLiteral("engineSentence"));
    engine->setWordWrap(true);
    engine->setForegroundRole(QPalette::PlaceholderText);

    m_dontShowAgain = new QCheckBox(tr("Don't show this again"));
    m_dontShowAgain->setChecked(!appState.userPreferences().showWelcomeScreen);
    connect(m_dontShowAgain, &QCheckBox::toggled, this, [&appState](bool dontShow) {
        UserPreferences preferences = appState.userPreferences();
        preferences.showWelcomeScreen = !dontShow;
        appState.setUserPreferences(preferences);
        NotificationCenter::defaultCenter().post(kPreferencesChanged);
    });

    m_startButton = new QPushButton(tr("Get Started"));
    makeProminent(m_startButton);
    m_startButton->setDefault(true);
    connect(m_startButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_dontShowAgain);
    bottom->addStretch(1);
    bottom->addWidget(m_startButton);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 24, 28, 20);
    layout->setSpacing(16);
    layout->addWidget(heading);
    layout->addLayout(tabs);
    layout->addWidget(engine);
    layout->addLayout(bottom);
}

} // namespace kivo
