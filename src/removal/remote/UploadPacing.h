#pragma once

#include "RemoteResponse.h"

#include <QSize>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

namespace kivo {

// The rules every upload to the removal service follows, for the batch tab and the folder
// monitor alike: a few requests in flight, the others waiting in the client; a time limit that
// starts when the request is sent and grows with the photo; a busy or unreachable service is
// tried again after a while, a bounded number of times.
struct UploadRules {
    // Requests in flight at once ("Max concurrent processes", 1 to 8).
    int maxInFlight = 4;
    // The time limit of one attempt: a base, a share per megapixel of the photo, and a share for
    // each other request that the service may be working on first.
    std::chrono::milliseconds baseTimeout{60000};
    std::chrono::milliseconds timeoutPerMegapixel{20000};
    std::chrono::milliseconds timeoutPerRequestAhead{45000};
    std::chrono::milliseconds longestTimeout{std::chrono::minutes(15)};
    // Attempts of one upload in all, the first included.
    int maxAttempts = 10;
    // Waits before trying an unreachable service again double from the first to the longest;
    // a busy service's own Retry-After is used as given (up to the longest).
    std::chrono::milliseconds firstReconnectDelay{1000};
    std::chrono::milliseconds longestRetryDelay{30000};

    friend bool operator==(const UploadRules&, const UploadRules&) = default;
};

// The clamp of the "Max concurrent processes" preference.
int uploadsInFlightFor(qint64 maxConcurrentProcesses);

// The time limit of one attempt for a photo of this size (an unknown size counts as 1 MP).
std::chrono::milliseconds uploadTimeLimit(QSize photoSize, const UploadRules& rules);

// Whether an answer is worth waiting for and trying again (a busy service, no connection), and
// after how long, before jitter; nothing once `attempt` (1 for the first) is the last allowed.
std::optional<std::chrono::milliseconds> retryDelay(const RemoteHttpResult& result, int attempt,
                                                    const UploadRules& rules);

// The delay with up to a quarter (and at least a few hundred milliseconds) added at random, so
// that the uploads a busy service turned away do not all come back in the same instant.
std::chrono::milliseconds withJitter(std::chrono::milliseconds delay);

// The uploads of one batch run (or one monitor call). An answer that no later upload could
// change (the key refused, no credits left) stops the run: the uploads that were not sent yet
// end without being sent. Cancelling does the same for the owner's own reasons. Thread-safe.
class UploadRun {
public:
    void stop(const QString& reason);
    void cancel() { m_stopped = true; }
    bool isStopped() const { return m_stopped; }
    // The first stopping answer's sentence; empty after a plain cancel.
    QString stopReason() const;

private:
    std::atomic_bool m_stopped{false};
    mutable std::mutex m_mutex;
    QString m_reason;
};

// What an upload goes through before its outcome, reported to its caller as it happens.
struct UploadProgress {
    enum class Kind {
        // The request left for the service (`attempt` 1 the first time).
        sent,
        // The service was busy or could not be reached; the upload waits `delay` and tries again.
        retrying,
    };
    Kind kind = Kind::sent;
    int attempt = 1;
    std::chrono::milliseconds delay{0};
    // For the card: "The service is busy; retrying in 4 s…".
    QString note;
};

} // namespace kivo
