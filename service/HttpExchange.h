#pragma once

#include <QJsonObject>
#include <QString>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kivo::service {

using HttpFields = std::vector<std::pair<std::string, std::string>>;

// One request as the service's handlers see it, whatever HTTP library carried it.
struct HttpRequest {
    std::string method;
    std::string target; // path and query, as sent
    std::string path;   // the target without its query
    HttpFields query;   // decoded, in the order sent
    HttpFields headers;
    std::string body;
    std::string remoteAddress;

    // The first header of that name (case-insensitive), or empty.
    std::string header(std::string_view name) const;
    bool hasQueryItem(std::string_view name) const;
    // The first query item of that name, or empty.
    std::string queryItem(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string contentType;
    std::string body;
    HttpFields headers; // besides Content-Type and Content-Length
};

// A short JSON error body, {"error": message}. A 503 or a 429 also says when to try again.
HttpResponse jsonError(int status, const QString& message, int retryAfterSeconds = 1);
HttpResponse jsonAnswer(int status, const QJsonObject& object);
HttpResponse htmlAnswer(int status, std::string html);

// Hands a request's answer back to its connection, from any thread; only the first answer
// counts. Copies share the connection.
class Responder {
public:
    Responder() = default;
    Responder(std::function<void(HttpResponse)> answer, std::function<bool()> clientGone)
        : m_answer(std::move(answer))
        , m_clientGone(std::move(clientGone))
    {
    }
    void operator()(HttpResponse response) const { m_answer(std::move(response)); }
    // True once the client has closed the connection: it will never read an answer.
    bool clientGone() const { return m_clientGone && m_clientGone(); }

private:
    std::function<void(HttpResponse)> m_answer;
    std::function<bool()> m_clientGone;
};

// What the service decides once a request's head has arrived and before any of its body is
// read: answer at once (the body is then never read), or read a body of at most `bodyLimit`
// bytes and pass the whole request to `handleBody`.
// A decision that needs the database is deferred to `decideWithDatabase`, which runs on the
// database's workers and decides in turn.
struct Admission {
    std::optional<HttpResponse> answer;
    std::size_t bodyLimit = 0;
    std::function<void(HttpRequest, Responder)> handleBody;
    std::function<Admission()> decideWithDatabase;

    static Admission answerNow(HttpResponse response) { return Admission{std::move(response), 0, {}, {}}; }
    static Admission withDatabase(std::function<Admission()> decision) { return Admission{std::nullopt, 0, {}, std::move(decision)}; }
};

// Decides on each request head; runs on a worker thread that never waits for the database,
// never on the network threads.
using RequestRouter = std::function<Admission(const HttpRequest& head)>;

} // namespace kivo::service
