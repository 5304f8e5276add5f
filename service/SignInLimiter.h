#pragma once

#include <QHash>
#include <QString>

#include <chrono>
#include <mutex>

namespace kivo::service {

// Failed sign-ins, counted per client address and per account (e-mail address). A few are
// free; after them every further failure doubles the wait before the next try, up to a quarter
// of an hour, and a try within the wait is refused without looking at the password, right or
// wrong. The first wait is 5 s. A success clears the account's count; counts are forgotten a quarter of an hour after
// their last failure.
class SignInLimiter {
public:
    using Clock = std::chrono::steady_clock;

    // Whole seconds until this address may try this account again; 0 when it may now.
    int secondsToWait(const QString& address, const QString& account);
    void recordFailure(const QString& address, const QString& account);
    void recordSuccess(const QString& account);

    static constexpr int kFreeFailuresPerAccount = 5;
    static constexpr int kFreeFailuresPerAddress = 20;

private:
    struct Failures {
        int count = 0;
        Clock::time_point last;
    };
    static int secondsLeft(const Failures& failures, int free, Clock::time_point now);
    void forgetOld(Clock::time_point now);

    std::mutex m_mutex;
    QHash<QString, Failures> m_byAddress;
    QHash<QString, Failures> m_byAccount;
};

} // namespace kivo::service
