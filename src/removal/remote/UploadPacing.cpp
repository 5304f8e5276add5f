#include "UploadPacing.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>

namespace kivo {

int uploadsInFlightFor(qint64 maxConcurrentProcesses)
{
    return int(std::clamp<qint64>(maxConcurrentProcesses, 1, 8));
}

std::chrono::milliseconds uploadTimeLimit(QSize photoSize, const UploadRules& rules)
{
    const double megapixels =
        photoSize.isValid() && !photoSize.isEmpty() ? double(photoSize.width()) * photoSize.height() / 1e6 : 1.0;
    const double limit = double(rules.baseTimeout.count())
        + double(rules.timeoutPerMegapixel.count()) * std::max(1.0, megapixels)
        + double(rules.timeoutPerRequestAhead.count()) * std::max(0, rules.maxInFlight - 1);
    return std::min(rules.longestTimeout, std::chrono::milliseconds(qint64(std::ceil(limit))));
}

std::optional<std::chrono::milliseconds> retryDelay(const RemoteHttpResult& result, int attempt,
                                                    const UploadRules& rules)
{
    if (attempt >= rules.maxAttempts || result.notSent)
        return std::nullopt;
    const bool busy = !result.transportError && (result.status == 503 || result.status == 429);
    if (!busy && !result.connectionFailed)
        return std::nullopt;
    if (busy && result.retryAfterSeconds && *result.retryAfterSeconds >= 0)
        return std::min(rules.longestRetryDelay, std::chrono::milliseconds(qint64(*result.retryAfterSeconds) * 1000));
    // Doubling from the first delay; the shift is bounded so that it cannot overflow.
    const auto doubled = rules.firstReconnectDelay * (qint64(1) << std::min(attempt - 1, 20));
    return std::min(rules.longestRetryDelay, std::chrono::duration_cast<std::chrono::milliseconds>(doubled));
}

std::chrono::milliseconds withJitter(std::chrono::milliseconds delay)
{
    const qint64 spread = std::max<qint64>(250, delay.count() / 4);
    return delay + std::chrono::milliseconds(QRandomGenerator::global()->bounded(spread + 1));
}

void UploadRun::stop(const QString& reason)
{
    std::lock_guard lock(m_mutex);
    if (!m_stopped && m_reason.isEmpty())
        m_reason = reason;
    m_stopped = true;
}

QString UploadRun::stopReason() const
{
    std::lock_guard lock(m_mutex);
    return m_reason;
}

} // namespace kivo
