#pragma once

#include "removal/remote/RemoteResponse.h"

#include <QJsonObject>
#include <QObject>
#include <QUrl>

#include <chrono>
#include <functional>

class QNetworkAccessManager;

namespace kivo {

// "127.0.0.1:8080": the host and, when the address gives one, the port.
QString serverLabel(const QUrl& url);

// The sentence for a request that got no HTTP answer, naming the server and what went wrong:
// "Cannot reach 127.0.0.1:8080: connection refused."
QString unreachableSentence(const QUrl& url, int networkError, bool timedOut);

// Requests to the service's backend (sign-in, transactions, pictures) from the window's thread.
// The HTTP layer works asynchronously, so nothing waits; each completion runs once on the
// window's thread, and not at all once this object is gone.
class BackendHttp : public QObject {
    Q_OBJECT
public:
    using Completion = std::function<void(const RemoteHttpResult&)>;

    // Like the platform's request time-out: the limit on a silent connection, not on the whole
    // transfer.
    static constexpr std::chrono::seconds requestTimeout{60};

    explicit BackendHttp(QObject* parent = nullptr);

    // A request that gets no HTTP answer ends with unreachableSentence(); the HTTP layer's own
    // words go to the log.

    // POST with a JSON body ("Content-Type: application/json").
    void postJson(const QUrl& url, const QJsonObject& body, Completion done);
    // GET with the given "Accept" header. A body larger than maxBytes (when positive) is cut
    // off and ends as a transport error.
    void get(const QUrl& url, const QByteArray& accept, Completion done, qint64 maxBytes = 0);

private:
    QNetworkAccessManager* m_manager = nullptr;
};

} // namespace kivo
