#include "AboutSettingsView.h"

#include "core/AppConstants.h"
#include "core/WidgetStyle.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace kivo {

namespace {

// The website's own pages: fixed, whatever backend address the preferences name.
QUrl websitePage(const char* path)
{
    return QUrl(QString(kDefaultWebsiteBaseURL) + QLatin1StringView(path));
}

QLabel* iconLabel(const QString& resource, int extent, const QColor& colour)
{
    auto* label = new QLabel;
    label->setPixmap(tintedPixmap(QIcon(resource), QSize(extent, extent), colour, label->devicePixelRatioF()));
    return label;
}

// The address as its own text, opening in the browser.
QWidget* linkRow(const QString& iconResource, const QUrl& url, const QColor& colour)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addStretch(1);
    layout->addWidget(iconLabel(iconResource, 16, colour));
    const QString address = url.toString();
    auto* link = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(address.toHtmlEscaped()));
    link->setObjectName(QStringLiteral("websiteLink"));
    link->setTextFormat(Qt::RichText);
    link->setOpenExternalLinks(true);
    layout->addWidget(link);
    layout->addStretch(1);
    return row;
}

} // namespace

QString aboutVersionLine(const QString& appVersion, const QString& buildNumber)
{
    QString line = QStringLiteral("Version ") + (appVersion.isEmpty() ? QStringLiteral("Unknown") : appVersion);
    if (!buildNumber.isEmpty())
        line += QStringLiteral(" (") + buildNumber + QLatin1Char(')');
    return line;
}

AboutSettingsView::AboutSettingsView(const QString& appVersion, const QString& buildNumber, QWidget* parent)
    : QWidget(parent)
{
    const QColor accent = palette().color(QPalette::Highlight);
    const QColor text = palette().color(QPalette::WindowText);

    auto* title = new QLabel(tr("Kivo Pro for Linux"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    titleFont.setBold(true);
    title->setFont(titleFont);

    auto* version = new QLabel(aboutVersionLine(appVersion, buildNumber));
    version->setObjectName(QStringLiteral("version"));
    version->setForegroundRole(QPalette::PlaceholderText);

    auto* caption = new QLabel(tr("Professional Image Editor with Background Removal"));

    auto* updates = new QPushButton(tr("Check for Updates"));
    connect(updates, &QPushButton::clicked, this, [] { QDesktopServices::openUrl(websitePage("/apps")); });
    auto* feedback = new QPushButton(tr("Send Feedback"));
    connect(feedback, &QPushButton::clicked, this, [] { QDesktopServices::openUrl(websitePage("/contact")); });
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(updates);
    buttons->addWidget(feedback);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(12);
    layout->addStretch(1);
    layout->addWidget(iconLabel(QStringLiteral(":/icons/photo-badge-plus.svg"), 64, accent), 0, Qt::AlignHCenter);
    layout->addWidget(title, 0, Qt::AlignHCenter);
    layout->addWidget(version, 0, Qt::AlignHCenter);
    layout->addWidget(caption, 0, Qt::AlignHCenter);
    layout->addSpacing(8);
    layout->addWidget(linkRow(QStringLiteral(":/settings-icons/globe.svg"), websitePage("/"), text));
    layout->addWidget(linkRow(QStringLiteral(":/settings-icons/app-badge.svg"), websitePage("/apps"), text));
    layout->addWidget(linkRow(QStringLiteral(":/settings-icons/doc-plaintext.svg"),
                              websitePage("/blog/kivo/kivopro-for-linux"), text));
    layout->addSpacing(8);
    layout->addLayout(buttons);
    layout->addStretch(1);
}

} // namespace kivo
