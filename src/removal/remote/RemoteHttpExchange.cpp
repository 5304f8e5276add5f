#include "RemoteHttpExchange.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <deque>
#include <set>
#include <memory>

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

// No connection, or one that dropped before the answer: the service is down, restarting or
// unreachable for a moment. A time-out is not one of them: the service may still be working
// on the photo, and a second upload could be charged again.
bool isConnectionFailure(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return true;
    default:
        return false;
    }
}

RemoteHttpResult canceledResult(bool notSent)
{
    RemoteHttpResult result;
    result.transportError = QStringLiteral("Operation canceled");
    result.notSent = notSent;
    return result;
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
        result.connectionFailed = isConnectionFailure(error);
    } else {
        result.status = status.toInt();
        result.body = reply->readAll();
        bool isNumber = false;
        const int seconds = reply->rawHeader("Retry-After").trimmed().toInt(&isNumber);
        if (isNumber)
            result.retryAfterSeconds = seconds;
    }
    return result;
}

// Lives on the exchange's thread and owns the network access manager there.
class RemoteHttpWorker : public QObject {
public:
    ~RemoteHttpWorker() override
    {
        m_closed = true;
        // Uploads still waiting end with the cancellation, so that every caller hears back.
        for (const auto& slot : std::deque(m_waiting))
            finish(slot, canceledResult(true), false);
        for (const auto& slot : std::set(m_retrying))
            finish(slot, canceledResult(true), false);
    }

    void setRules(const UploadRules& rules)
    {
        m_rules = rules;
        m_acceptedAtOnce = rules.maxInFlight;
        pump();
    }

    void enqueue(PacedUpload upload, RemoteHttpExchange::Completion completion)
    {
        auto slot = std::make_shared<Slot>(Slot{std::move(upload), std::move(completion), {}, 0});
        if (m_closed) {
            slot->completion(canceledResult(true));
            return;
        }
        m_waiting.push_back(std::move(slot));
        pump();
    }

    void start(const RemoteHttpRequest& request, std::chrono::milliseconds deadline,
               const RemoteHttpExchange::Completion& completion)
    {
        if (m_closed) {
            RemoteHttpResult refused;
            refused.transportError = QStringLiteral("Operation canceled");
            completion(refused);
            return;
        }
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

    void close()
    {
        m_closed = true;
        for (const auto& slot : std::deque(m_waiting))
            finish(slot, canceledResult(true), false);
        m_waiting.clear();
        for (const auto& slot : std::set(m_retrying))
            finish(slot, canceledResult(true), false);
        abortAll();
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

    // An upload from its arrival to its outcome. It holds a place among those in flight from
    // its first attempt on, through the waits between attempts.
    struct Slot {
        PacedUpload upload;
        RemoteHttpExchange::Completion completion;
        RemoteHttpRequest request;
        int attempt = 0;
        // Attempts turned away only because the service takes fewer uploads at once than were
        // sent: they waited for a place and do not count against the attempts.
        int turnedAwayForAPlace = 0;
    };
    using SlotPointer = std::shared_ptr<Slot>;

    void pump()
    {
        while (!m_closed && m_placesTaken < std::min(m_rules.maxInFlight, m_acceptedAtOnce) && !m_waiting.empty()) {
            SlotPointer slot = m_waiting.front();
            m_waiting.pop_front();
            if (slot->upload.run && slot->upload.run->isStopped()) {
                slot->completion(canceledResult(true));
                continue;
            }
            // An upload back in line for a place keeps the request it already made.
            if (slot->attempt == 0) {
                std::optional<RemoteHttpRequest> request = slot->upload.make ? slot->upload.make() : std::nullopt;
                if (!request) {
                    RemoteHttpResult unmade;
                    unmade.transportError = slot->upload.unmadeText;
                    slot->completion(unmade);
                    continue;
                }
                slot->request = std::move(*request);
            }
            ++m_placesTaken;
            attempt(slot);
        }
    }

    void attempt(const SlotPointer& slot)
    {
        ++slot->attempt;
        if (slot->upload.onProgress)
            slot->upload.onProgress(UploadProgress{UploadProgress::Kind::sent, slot->attempt, {}, {}});
        // The limit counts from now, when the request leaves, not from when it was queued.
        start(slot->request, uploadTimeLimit(slot->upload.photoSize, m_rules),
              [this, slot](const RemoteHttpResult& result) { answered(slot, result); });
    }

    void answered(const SlotPointer& slot, const RemoteHttpResult& result)
    {
        const bool runStopped = slot->upload.run && slot->upload.run->isStopped();
        const bool busy = !result.transportError && (result.status == 503 || result.status == 429);
        if (busy && !m_closed && !runStopped && m_placesTaken > 1) {
            // Busy while other uploads of ours are at the service: it takes fewer at once than
            // we send (a share per account). This one waits in line for the place another gives
            // back, and fewer are sent at once from now on; after a round of successes one more
            // may go again.
            m_acceptedAtOnce = m_placesTaken - 1;
            m_successesSinceTurnedAway = 0;
            ++slot->turnedAwayForAPlace;
            --m_placesTaken;
            if (slot->upload.onProgress)
                slot->upload.onProgress(UploadProgress{UploadProgress::Kind::retrying, slot->attempt, {},
                                                       QStringLiteral("Waiting for the service…")});
            m_waiting.push_front(slot);
            return;
        }
        if (result.status == 200 && ++m_successesSinceTurnedAway >= m_rules.maxInFlight) {
            m_acceptedAtOnce = std::min(m_rules.maxInFlight, m_acceptedAtOnce + 1);
            m_successesSinceTurnedAway = 0;
        }
        const auto delay =
            m_closed ? std::nullopt : retryDelay(result, slot->attempt - slot->turnedAwayForAPlace, m_rules);
        if (delay && runStopped) {
            // Turned away or unreachable, so never charged: the run's end leaves it as it was.
            finish(slot, canceledResult(true), true);
            return;
        }
        if (delay) {
            const auto wait = withJitter(*delay);
            if (slot->upload.onProgress) {
                const qint64 seconds = std::max<qint64>(1, (delay->count() + 999) / 1000);
                const QString note = result.transportError
                    ? QStringLiteral("The service cannot be reached; retrying in %1 s…").arg(seconds)
                    : QStringLiteral("The service is busy; retrying in %1 s…").arg(seconds);
                slot->upload.onProgress(UploadProgress{UploadProgress::Kind::retrying, slot->attempt, wait, note});
            }
            m_retrying.insert(slot);
            QTimer::singleShot(wait, this, [this, slot] {
                if (m_retrying.erase(slot) == 0)
                    return;
                if (m_closed || (slot->upload.run && slot->upload.run->isStopped()))
                    finish(slot, canceledResult(true), true);
                else
                    attempt(slot);
            });
            return;
        }
        if (slot->upload.run && stopsUploadRun(result)) {
            // Only the first refusal speaks for the run; the others were not charged either.
            if (runStopped) {
                finish(slot, canceledResult(true), true);
                return;
            }
            slot->upload.run->stop(removalFailureSentence(result));
        }
        finish(slot, result, true);
    }

    void finish(const SlotPointer& slot, const RemoteHttpResult& result, bool heldPlace)
    {
        const bool wasRetrying = m_retrying.erase(slot) > 0;
        if (heldPlace || wasRetrying)
            --m_placesTaken;
        slot->completion(result);
        pump();
    }

    UploadRules m_rules;
    std::deque<SlotPointer> m_waiting;
    std::set<SlotPointer> m_retrying;
    int m_placesTaken = 0;
    // How many uploads the service took at once when it last turned one away for a place.
    int m_acceptedAtOnce = UploadRules{}.maxInFlight;
    int m_successesSinceTurnedAway = 0;

    QNetworkAccessManager* m_manager = nullptr;
    QSet<QNetworkReply*> m_inFlight;
    bool m_closed = false;
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

void RemoteHttpExchange::sendPaced(PacedUpload upload, Completion completion)
{
    RemoteHttpWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker, upload = std::move(upload), completion = std::move(completion)]() mutable {
            worker->enqueue(std::move(upload), std::move(completion));
        },
        Qt::QueuedConnection);
}

void RemoteHttpExchange::setRules(const UploadRules& rules)
{
    RemoteHttpWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, rules] { worker->setRules(rules); }, Qt::QueuedConnection);
}

void RemoteHttpExchange::close()
{
    RemoteHttpWorker* worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->close(); }, Qt::QueuedConnection);
}

QString RemoteHttpExchange::timedOutDescription()
{
    return QStringLiteral("The request timed out.");
}

} // namespace kivo
