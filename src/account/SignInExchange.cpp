#include "SignInExchange.h"

#include "core/Log.h"
#include "core/StrictDecoding.h"
#include "core/WebAddress.h"

#include <QJsonDocument>
#include <QRegularExpression>


namespace kivo {

namespace {

constexpr int kAppId = 1;

bool hasApplicationTitle(const QJsonObject& app)
{
    auto title = jsonString(app, QLatin1StringView("title"));
    if (!title)
        return false;
    title->replace(QChar(0x00A0), u' ');
    return title->trimmed().toLower() == u"kivopro-for-macos";
}

std::optional<QString> latestVersion(const QJsonObject& response, AppsMatch match)
{
    // "apps" counts only as an array made of objects.
    const auto apps = jsonObjectArray(response.value(QLatin1StringView("apps")));
    if (!apps)
        return std::nullopt;
    for (const QJsonObject& app : *apps) {
        if (jsonWholeNumber(app, QLatin1StringView("id")) == kAppId)
            return jsonString(app, QLatin1StringView("version"));
    }
    if (match == AppsMatch::idOrTitle) {
        for (const QJsonObject& app : *apps) {
            if (hasApplicationTitle(app))
                return jsonString(app, QLatin1StringView("version"));
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<QUrl> signInAddress(const QString& baseAddress)
{
    const QUrl url(trimSlashes(baseAddress) + QStringLiteral("/api/app/login"), QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

QJsonObject signInBody(const SignInCredentials& credentials, const QJsonObject& deviceInfo)
{
    QJsonObject body;
    if (!credentials.apiKey.isEmpty()) {
        body.insert(QStringLiteral("api_key"), credentials.apiKey);
    } else {
        body.insert(QStringLiteral("email"), credentials.email);
        body.insert(QStringLiteral("password"), credentials.password);
    }
    body.insert(QStringLiteral("app_id"), kAppId);
    body.insert(QStringLiteral("device_info"), deviceInfo);
    return body;
}

QString signInPayloadSummary(const SignInCredentials& credentials)
{
    // Written by hand to keep the members in this order.
    const auto flag = [](bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); };
    return QStringLiteral(R"({"apiKeyPresent":%1,"emailProvided":%2,"app_id":%3})")
        .arg(flag(!credentials.apiKey.isEmpty()), flag(!credentials.email.isEmpty()))
        .arg(kAppId);
}

AccountInfo accountFromSignInResponse(const QJsonObject& response, AppsMatch match)
{
    AccountInfo account;
    account.id = jsonWholeNumber(response, QLatin1StringView("id"));
    account.name = jsonString(response, QLatin1StringView("name"));
    account.email = jsonString(response, QLatin1StringView("email"));
    account.imageURL = jsonString(response, QLatin1StringView("image"));
    account.apiKey = jsonString(response, QLatin1StringView("api_key"));
    account.credits = jsonWholeNumber(response, QLatin1StringView("credits"));
    account.latestVersion = latestVersion(response, match);
    return account;
}

QString maskedResponseBody(const QByteArray& body)
{
    // A string value (escapes included) or any other bare value up to the next separator.
    static const QRegularExpression apiKeyMember(
        QStringLiteral(R"(("api_key"\s*:\s*)(?:"(?:[^"\\]|\\.)*"?|[^,}\]\s]+))"));
    QString text = decodeUtf8Strictly(body).value_or(QString());
    text.replace(apiKeyMember, QStringLiteral(R"(\1"********")"));
    return text;
}

QString signInResponseLogLine(const QString& prefix, const RemoteHttpResult& result)
{
    return prefix + QStringLiteral(" status=") + QString::number(result.status) + QStringLiteral(" raw=")
        + maskedResponseBody(result.body);
}

QString signInRefusalSentence(int status, const QUrl& url, bool withApiKey)
{
    const QString server = serverLabel(url);
    if (status == 401 || status == 403)
        return withApiKey ? QStringLiteral("The API key is not accepted by %1.").arg(server)
                          : QStringLiteral("The e-mail or password is wrong.");
    if (status == 404 || status == 405)
        return QStringLiteral("%1 does not offer a sign-in. Check the server address.").arg(server);
    if (status == 429)
        return QStringLiteral("Too many sign-in attempts at %1. Wait a minute and try again.").arg(server);
    if (status >= 500)
        return QStringLiteral("%1 could not sign you in right now. Try again later.").arg(server);
    return QStringLiteral("%1 refused the sign-in.").arg(server);
}

SignInOutcome readSignInAnswer(const RemoteHttpResult& result, AppsMatch match, const QUrl& url, bool withApiKey)
{
    if (result.transportError)
        return {std::nullopt, *result.transportError};
    if (result.status != 200)
        return {std::nullopt, signInRefusalSentence(result.status, url, withApiKey)};
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(result.body, &error);
    if (error.error != QJsonParseError::NoError) {
        return {std::nullopt, QStringLiteral("%1 did not answer like a KIVOPRO server. Check the server address.")
                                  .arg(serverLabel(url))};
    }
    // Any other top level reads as an object without members.
    return {accountFromSignInResponse(document.object(), match), QString()};
}

BackendSessionRenewal::BackendSessionRenewal(QString logPrefix)
    : m_logPrefix(std::move(logPrefix))
{
}

bool BackendSessionRenewal::renew(const QString& backendBaseURLString, const QString& apiKey,
                                  const QJsonObject& deviceInfo, Completion done)
{
    const auto url = signInAddress(backendBaseURLString);
    if (!url)
        return false;
    const QJsonObject body{{QStringLiteral("api_key"), apiKey},
                           {QStringLiteral("app_id"), kAppId},
                           {QStringLiteral("device_info"), deviceInfo}};
    m_http.postJson(*url, body, [url = *url, prefix = m_logPrefix, done = std::move(done)](const RemoteHttpResult& result) {
        const SignInOutcome outcome = readSignInAnswer(result, AppsMatch::idOrTitle, url, true);
        if (outcome.account)
            logLine(signInResponseLogLine(prefix, result));
        done(outcome.account);
    });
    return true;
}

} // namespace kivo
