#include "BackendHttp.h"

#include "core/Log.h"
#include "removal/remote/RemoteHttpExchange.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace kivo {

namespace {

QNetworkRequest backendRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(int(std::chrono::milliseconds(BackendHttp::requestTimeout).count()));
    return request;
}

// The transfer time-out aborts a reply without saying why; nothing else here cancels a request
// (except a picture over its size limit, whose error text nobody reads).
bool timedOut(const QNetworkReply* reply)
{
    return reply->error() == QNetworkReply::OperationCanceledError || reply->error() == QNetworkReply::TimeoutError;
}

// The result with a readable sentence in place of the HTTP layer's text, which is logged.
RemoteHttpResult backendResultOf(QNetworkReply* reply)
{
    const bool expired = timedOut(reply);
    RemoteHttpResult result = httpResultOf(reply, expired);
    if (result.transportError) {
        logLine(QStringLiteral("[BackendHttp] %1 %2: %3")
                    .arg(reply->operation() == QNetworkAccessManager::PostOperation ? u"POST" : u"GET",
                         reply->url().toDisplayString(QUrl::RemoveQuery | QUrl::RemoveUserInfo),
                         *result.transportError));
        result.transportError = unreachableSentence(reply->url(), reply->error(), expired);
    }
    return result;
}

} // namespace

QString serverLabel(const QUrl& url)
{
    QString label = url.host();
    if (label.contains(u':'))
        label = u'[' + label + u']';
    if (url.port() != -1)
        label += u':' + QString::number(url.port());
    return label;
}

QString unreachableSentence(const QUrl& url, int networkError, bool timedOut)
{
    QString reason;
    if (timedOut) {
        reason = QStringLiteral("no answer within %1 seconds").arg(BackendHttp::requestTimeout.count());
    } else {
        switch (QNetworkReply::NetworkError(networkError)) {
        case QNetworkReply::ConnectionRefusedError: reason = QStringLiteral("connection refused"); break;
        case QNetworkReply::HostNotFoundError: reason = QStringLiteral("no such host"); break;
        case QNetworkReply::RemoteHostClosedError: reason = QStringLiteral("the server closed the connection"); break;
        case QNetworkReply::TimeoutError: reason = QStringLiteral("the connection timed out"); break;
        case QNetworkReply::SslHandshakeFailedError:
            reason = QStringLiteral("the secure connection failed (does the server speak https?)");
            break;
        case QNetworkReply::TemporaryNetworkFailureError:
        case QNetworkReply::NetworkSessionFailedError: reason = QStringLiteral("the network is down"); break;
        case QNetworkReply::ProxyConnectionRefusedError:
        case QNetworkReply::ProxyNotFoundError:
        case QNetworkReply::ProxyTimeoutError: reason = QStringLiteral("the proxy did not answer"); break;
        case QNetworkReply::OperationCanceledError: reason = QStringLiteral("the request was cancelled"); break;
        default: reason = QStringLiteral("no answer"); break;
        }
    }
    return QStringLiteral("Cannot reach %1: %2.").arg(serverLabel(url), reason);
}

BackendHttp::BackendHttp(QObject* parent)
    : QObject(parent)
    , m_manager(new QNetworkAccessManager(this))
{
}

void BackendHttp::postJson(const QUrl& url, const QJsonObject& body, Completion done)
{
    QNetworkRequest request = backendRequest(url);
    request.setRawHeader("Content-Type", "application/json");
    QNetworkReply* reply = m_manager->post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    connect(reply, &QNetworkReply::finished, this, [reply, done = std::move(done)] {
        reply->deleteLater();
        done(backendResultOf(reply));
    });
}

void BackendHttp::get(const QUrl& url, const QByteArray& accept, Completion done, qint64 maxBytes)
{
    QNetworkRequest request = backendRequest(url);
    request.setRawHeader("Accept", accept);
    QNetworkReply* reply = m_manager->get(request);
    if (maxBytes > 0) {
        connect(reply, &QNetworkReply::downloadProgress, reply, [reply, maxBytes](qint64 received, qint64) {
            if (received > maxBytes)
                reply->abort();
        });
    }
    connect(reply, &QNetworkReply::finished, this, [reply, done = std::move(done)] {
        reply->deleteLater();
        done(backendResultOf(reply));
    });
}

} // namespace kivo
