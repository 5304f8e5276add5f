#pragma once

#include "core/DomainModel.h"

#include <QString>
#include <QUrl>

#include <optional>

namespace kivo {

// The connected-account card's texts.

// "User" when the account has no name.
QString accountDisplayName(const AccountInfo& account);
// The credit balance as a whole number, 0 when absent.
QString creditsText(const AccountInfo& account);
// "—" for an absent or empty key; otherwise the key itself when shown, else one "•" per
// character, at least 8 and at most 16 (the mask hides the key, not the fact that there is one).
QString apiKeyText(const std::optional<QString>& apiKey, bool visible);

// The application's version as "Current Version:" shows it: "Unknown" without one, and the build
// in parentheses when there is a build.
QString currentVersionText(const QString& shortVersion, const QString& build);
// "Unknown" when the backend named none.
QString latestVersionText(const AccountInfo& account);
// "Download Last Version" is offered when the backend names a version other than ours.
bool offersDownload(const AccountInfo& account, const QString& shortVersion);
// The download page on the service's website; it does not follow the "Server" input.
QUrl downloadPageURL();

// The avatar's address: the account's image when that is a web address.
std::optional<QUrl> avatarURL(const AccountInfo& account);

} // namespace kivo
