#pragma once

#include "RemoteResponse.h"
#include "UploadPacing.h"

#include <QByteArray>
#include <QThread>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QNetworkReply;

namespace kivo {

class RemoteHttpWorker;

// A finished reply read as a result: a status and a body when an HTTP answer came (4xx and 5xx
// included), otherwise the HTTP layer's description of what failed. `timedOut` marks a reply
// aborted because its deadline passed.
RemoteHttpResult httpResultOf(QNetworkReply* reply, bool timedOut);

// One multipart POST to the removal service.
struct RemoteHttpRequest {
    QUrl url;
    QByteArray contentType;
    QByteArray apiKey;
    QByteArray body;
};

// One upload under the upload rules. Its request is made only when a place among those in
// flight is free, so that the uploads waiting in the client hold no bodies; nothing from
// `make` means the upload ends at once with `unmadeText` as its transport error.
struct PacedUpload {
    std::function<std::optional<RemoteHttpRequest>()> make;
    QString unmadeText;
    QSize photoSize;
    // May be null: an upload of no run.
    std::shared_ptr<UploadRun> run;
    std::function<void(const UploadProgress&)> onProgress;
};

// Runs the removal service's requests on a thread of its own: QNetworkAccessManager needs an
// event loop, and neither the batch tab's worker nor the folder monitor's threads have one.
// Every request gets a hard deadline (a timer that aborts it), not just an inactivity limit.
class RemoteHttpExchange {
public:
    using Completion = std::function<void(const RemoteHttpResult&)>;

    RemoteHttpExchange();
    // Aborts the requests still in flight (their completions run with a transport error), then
    // stops the thread. Must not run on the exchange's own thread.
    ~RemoteHttpExchange();

    RemoteHttpExchange(const RemoteHttpExchange&) = delete;
    RemoteHttpExchange& operator=(const RemoteHttpExchange&) = delete;

    // Thread-safe; returns at once. The completion runs exactly once, on the exchange's thread.
    void send(RemoteHttpRequest request, std::chrono::milliseconds deadline, Completion completion);

    // Thread-safe; returns at once. The upload waits for a place among the rules' requests in
    // flight, and is tried again as they say; the completion runs exactly once, on the
    // exchange's thread, with the last attempt's result (or notSent).
    void sendPaced(PacedUpload upload, Completion completion);
    // Thread-safe; applies to the uploads sent from now on.
    void setRules(const UploadRules& rules);

    // Thread-safe; returns at once. Aborts the requests in flight and refuses every later one:
    // their completions run with a transport error. For owners shutting down while their
    // workers may still be sending.
    void close();

    // The text a request gets when its deadline passes.
    static QString timedOutDescription();

private:
    QThread m_thread;
    RemoteHttpWorker* m_worker = nullptr;
};

} // namespace kivo
