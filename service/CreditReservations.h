#pragma once

#include <QtGlobal>

#include <memory>
#include <mutex>
#include <unordered_map>

namespace kivo::service {

// Credits promised to removals under way, per account, so that a removal is refused for lack
// of credits when it is admitted rather than after the model has run. Kept in memory: a
// promise ends with its removal (charged or not) or with the process, so a crash never takes
// a credit. The charge itself still checks the balance in the database.
class CreditReservations {
public:
    class Reservation;
    using Handle = std::shared_ptr<Reservation>;

    // A credit of the account's `balance` for one removal, or nothing when every credit is
    // promised already.
    Handle reserve(qint64 accountId, qint64 balance)
    {
        std::lock_guard lock(m_mutex);
        int& promised = m_promised[accountId];
        if (balance - promised < 1) {
            if (promised == 0)
                m_promised.erase(accountId);
            return nullptr;
        }
        ++promised;
        return std::make_shared<Reservation>(*this, accountId);
    }

    // Given back when the last copy goes away.
    class Reservation {
    public:
        Reservation(CreditReservations& owner, qint64 accountId) : m_owner(owner), m_accountId(accountId) {}
        ~Reservation()
        {
            std::lock_guard lock(m_owner.m_mutex);
            if (--m_owner.m_promised[m_accountId] <= 0)
                m_owner.m_promised.erase(m_accountId);
        }
        Reservation(const Reservation&) = delete;
        Reservation& operator=(const Reservation&) = delete;

    private:
        CreditReservations& m_owner;
        qint64 m_accountId;
    };

private:
    std::mutex m_mutex;
    std::unordered_map<qint64, int> m_promised;
};

} // namespace kivo::service
