#include "RemoteHttpExchange.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSet>
#include <QTimer>

namespace kivo {

namespace {

// Errors that stand for an HTTP status: the answer itself is what the caller reads. Everything
// else (connection, proxy, protocol failures, our own abort) means no usable answer came.
bool isHttpStatusError(QNetworkReply::NetworkError error)
{
    const int code = int(error);
    return (code >= 201 && code <= 299) || error == QNetworkReply::ProtocolInvalidOperationError
        || (code >= 401 && code <= 499);
}

} // namespace

RemoteHttpResult httpResultOf(QNetworkReply* reply, bool timedOut)
{
    RemoteHttpResult result;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();
    if (timedOut) {
        result.transportError = RemoteHttpExchange::timedOutDescription();
    } else if (!status.isValid() || (error != QNetworkReply::NoError && !isHttpStatusError(error))) {
        result.transportError = reply->errorString();
    } else {
        result.status = status.toInt();
        result.body = reply->readAll();
    }
    return result;
}

// Lives on the exchange's thread and owns the network access manager there.
class RemoteHttpWorker : public QObject {
public:
    void start(const RemoteHttpRequest& request, std::chrono::milliseconds deadline,
               const RemoteHttpExchange::Completion& completion)
    {
        if (!m_manager)
            m_manager = new QNetworkAccessManager(this);

        QNetworkRequest networkRequest(request.url);
        networkRequest.setRawHeader("Content-Type", request.contentType);
        networkRequest.setRawHeader("X-API-KEY", request.apiKey);

        QNetworkReply* reply = m_manager->post(networkRequest, request.body);
        m_inFlight.insert(reply);

        auto* deadlineTimer = new QTimer(reply);
        deadlineTimer->setSingleShot(true);
        QObject::connect(deadlineTimer, &QTimer::timeout, reply, [reply] {
            reply->setProperty(kTimedOutProperty, true);
            reply->abort();
        });
        deadlineTimer->start(deadline);

        QObject::connect(reply, &QNetworkReply::finished, this, [this, reply, completion] {
            m_inFlight.remove(reply);
            reply->deleteLater();
            completion(httpResultOf(reply, reply->property(kTimedOutProperty).toBool()));
        });
    }

    void abortAll()
    {
        // abort() emits finished synchronously, which edits the set.
        const QSet<QNetworkReply*> replies = m_inFlight;
        for (QNetworkReply* reply : replies)
            reply->abort();
    }

private:
    static constexpr const char* kTimedOutProperty = "kivoTimedOut";

    QNetworkAccessManager* m_manager = nullptr;
    QSet<QNetworkReply*> m_inFlight;
};

RemoteHttpExchange::RemoteHttpExchange()
    : m_worker(new RemoteHttpWorker)
{
    m_thread.setObjectName(QStringLiteral("kivopro.removalService"));
    m_worker->moveToThread(&m_thread);
    m_thread.start();
}

RemoteHttpExchange::~RemoteHttpExchange()
{
    RemoteHttpWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker] {
            worker->abortAll();
            delete worker;
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void RemoteHttpExchange::send(RemoteHttpRequest request, std::chrono::milliseconds deadline, Completion completion)
{
    RemoteHttpWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker, request = std::move(request), deadline, completion = std::move(completion)] {
            worker->start(request, deadline, completion);
        },
        Qt::QueuedConnection);
}

QString RemoteHttpExchange::timedOutDescription()
{
    return QStringLiteral("The request timed out.");
}

} // namespace kivo
