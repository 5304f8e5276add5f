#include "SignInLimiter.h"

#include <algorithm>
#include <cmath>

namespace kivo::service {

namespace {

constexpr auto kFirstWait = std::chrono::seconds(5);
constexpr auto kLongestWait = std::chrono::seconds(900);
constexpr std::size_t kMaxTracked = 100'000;

} // namespace

int SignInLimiter::secondsLeft(const Failures& failures, int free, Clock::time_point now)
{
    if (failures.count < free)
        return 0;
    const int doublings = std::min(failures.count - free, 10);
    const auto wait = std::min<Clock::duration>(kFirstWait * (1 << doublings), kLongestWait);
    const auto left = failures.last + wait - now;
    if (left <= Clock::duration::zero())
        return 0;
    return int(std::ceil(std::chrono::duration<double>(left).count()));
}

void SignInLimiter::forgetOld(Clock::time_point now)
{
    for (auto* table : {&m_byAddress, &m_byAccount}) {
        if (table->size() < kMaxTracked)
            continue;
        table->removeIf([&](const auto& entry) { return now - entry.value().last > kLongestWait; });
        // Still full of recent failures: the oldest knowledge goes first.
        if (table->size() >= kMaxTracked)
            table->clear();
    }
}

int SignInLimiter::secondsToWait(const QString& address, const QString& account)
{
    const auto now = Clock::now();
    std::lock_guard lock(m_mutex);
    int wait = 0;
    if (const auto found = m_byAddress.constFind(address); found != m_byAddress.cend())
        wait = secondsLeft(*found, kFreeFailuresPerAddress, now);
    if (const auto found = m_byAccount.constFind(account.toCaseFolded()); !account.isEmpty() && found != m_byAccount.cend())
        wait = std::max(wait, secondsLeft(*found, kFreeFailuresPerAccount, now));
    return wait;
}

void SignInLimiter::recordFailure(const QString& address, const QString& account)
{
    const auto now = Clock::now();
    std::lock_guard lock(m_mutex);
    forgetOld(now);
    for (auto [table, key] : {std::pair{&m_byAddress, address}, std::pair{&m_byAccount, account.toCaseFolded()}}) {
        if (key.isEmpty())
            continue;
        Failures& failures = (*table)[key];
        if (now - failures.last > kLongestWait)
            failures.count = 0;
        ++failures.count;
        failures.last = now;
    }
}

void SignInLimiter::recordSuccess(const QString& account)
{
    std::lock_guard lock(m_mutex);
    m_byAccount.remove(account.toCaseFolded());
}

} // namespace kivo::service
