#include "BackendHttp.h"

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

} // namespace

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
        done(httpResultOf(reply, timedOut(reply)));
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
        done(httpResultOf(reply, timedOut(reply)));
    });
}

} // namespace kivo
