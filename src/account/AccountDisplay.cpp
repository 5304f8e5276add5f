#include "AccountDisplay.h"

#include "core/AppConstants.h"
#include "core/WebAddress.h"

#include <algorithm>

namespace kivo {

QString accountDisplayName(const AccountInfo& account)
{
    return account.name.value_or(QStringLiteral("User"));
}

QString creditsText(const AccountInfo& account)
{
    return QString::number(account.credits.value_or(0));
}

QString apiKeyText(const std::optional<QString>& apiKey, bool visible)
{
    if (!apiKey || apiKey->isEmpty())
        return QStringLiteral("—");
    if (visible)
        return *apiKey;
    return QString(std::clamp<qsizetype>(apiKey->size(), 8, 16), QChar(0x2022));
}

QString currentVersionText(const QString& shortVersion, const QString& build)
{
    QString text = shortVersion.isEmpty() ? QStringLiteral("Unknown") : shortVersion;
    if (!build.isEmpty())
        text += QStringLiteral(" (") + build + u')';
    return text;
}

QString latestVersionText(const AccountInfo& account)
{
    return account.latestVersion.value_or(QStringLiteral("Unknown"));
}

bool offersDownload(const AccountInfo& account, const QString& shortVersion)
{
    return account.latestVersion && *account.latestVersion != shortVersion;
}

QUrl downloadPageURL()
{
    return QUrl(trimSlashes(QString(kDefaultWebsiteBaseURL)) + QStringLiteral("/blog/kivo/kivopro-for-macos"));
}

std::optional<QUrl> avatarURL(const AccountInfo& account)
{
    if (!account.imageURL)
        return std::nullopt;
    const QUrl url(*account.imageURL, QUrl::StrictMode);
    if (!isWebAddress(url))
        return std::nullopt;
    return url;
}

} // namespace kivo
