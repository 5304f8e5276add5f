#pragma once

#include "BackendHttp.h"

#include "core/DomainModel.h"
#include "core/SessionRenewal.h"

#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <optional>

namespace kivo {

// The backend's sign-in: one POST of JSON to <base>/api/app/login, answered with the account.

// The sign-in address for a base address: every "/" trimmed from both ends, then the path.
// Absent when that is not a URL.
std::optional<QUrl> signInAddress(const QString& baseAddress);

// What the user gave. An API key, when there is one, is sent alone: e-mail and password stay
// at home even when filled in.
struct SignInCredentials {
    QString email;
    QString password;
    QString apiKey;
};
QJsonObject signInBody(const SignInCredentials& credentials, const QJsonObject& deviceInfo);

// The log line's summary: which inputs were given, never their values.
QString signInPayloadSummary(const SignInCredentials& credentials);

// Which element of "apps" gives the newest version: the first whose "id" is the integer 1; the
// restore also accepts, when none has that id, the first titled "kivopro-for-macos".
enum class AppsMatch { idOnly, idOrTitle };

// The account in a sign-in answer's object. Members of another type count as missing.
AccountInfo accountFromSignInResponse(const QJsonObject& response, AppsMatch match);

// The body as logged: the value of every "api_key" member is replaced by a mask, the rest of the
// text stays as it came. A body that is not UTF-8 logs as empty text.
QString maskedResponseBody(const QByteArray& body);

// "<prefix> status=<code> raw=<masked body>"
QString signInResponseLogLine(const QString& prefix, const RemoteHttpResult& result);

// The sentence the account page shows for a refused sign-in at `url`; the status itself goes to
// the log only. 401 and 403 blame the credentials that were sent (the key, or e-mail and password).
QString signInRefusalSentence(int status, const QUrl& url, bool withApiKey);

// How a sign-in answer ends: the account, or the sentence the account page shows.
struct SignInOutcome {
    std::optional<AccountInfo> account;
    QString errorMessage;
};
SignInOutcome readSignInAnswer(const RemoteHttpResult& result, AppsMatch match, const QUrl& url, bool withApiKey);

// The sign-in with a stored API key, as the restore sends it (installed into the application
// state) and as the account page renews the signed-in account's figures. An accepted answer is
// logged as "<logPrefix> status=… raw=…".
class BackendSessionRenewal : public SessionRenewal {
public:
    explicit BackendSessionRenewal(QString logPrefix = QStringLiteral("[AppState] restore login response"));

    bool renew(const QString& backendBaseURLString, const QString& apiKey, const QJsonObject& deviceInfo,
               Completion done) override;

private:
    QString m_logPrefix;
    BackendHttp m_http;
};

} // namespace kivo
