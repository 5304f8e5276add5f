#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <mutex>
#include <optional>
#include <vector>

namespace kivo::service {

struct ServiceAccount {
    qint64 id = 0;
    QString name;
    QString email;
    QString passwordSalt;
    QString passwordSHA256; // hex of SHA-256(salt + password)
    QString apiKey;
    qint64 credits = 0;
};

struct ServiceTransaction {
    qint64 id = 0;
    qint64 accountId = 0;
    QDateTime createdAt;
    QString transactionType;
    qint64 creditChange = 0;
    QString route;
    QString siteURL;
    QString ipAddress;
    QString originImage;
    QString outputImage;
    QString description;
};

// The stand-in's accounts and their transactions, kept in one JSON file (or only in memory).
// Every change is written at once through QSaveFile, readable by the owner only, since the file
// holds API keys. All members are safe to call from the server's threads.
//
// File form: {"accounts": [{"id", "name", "email", "password_salt", "password_sha256",
// "api_key", "credits"}], "transactions": [{"id", "account_id", "created_at", …}]}. A
// hand-written account may give "password" in clear instead; it is stored hashed on the next
// write.
class AccountStore {
public:
    // An empty path keeps everything in memory.
    explicit AccountStore(QString filePath = {});

    // Reads the file; a missing file is an empty store. False, with the reason, when the file
    // exists but cannot be read or is not a store.
    bool load(QString* error);

    struct NewAccount {
        QString email;
        QString password;
        QString apiKey;
    };
    // Adds an account with a random password and API key when the store has none, and returns
    // its credentials (for the start-up banner); otherwise nothing.
    std::optional<NewAccount> ensureDemoAccount(qint64 credits = 100);

    ServiceAccount addAccount(const QString& name, const QString& email, const QString& password,
                              const QString& apiKey, qint64 credits);

    std::optional<ServiceAccount> accountForApiKey(const QString& apiKey) const;
    std::optional<ServiceAccount> accountForLogin(const QString& email, const QString& password) const;
    std::optional<ServiceAccount> account(qint64 id) const;

    // Takes one credit; false when the account has none left (or is gone).
    bool takeCredit(qint64 accountId);
    void returnCredit(qint64 accountId);

    // Gives the transaction the next id and stores it.
    ServiceTransaction recordTransaction(ServiceTransaction transaction);
    // Newest first.
    std::vector<ServiceTransaction> transactions(qint64 accountId) const;
    std::optional<ServiceTransaction> transaction(qint64 id) const;

    QString filePath() const { return m_filePath; }

private:
    bool saveLocked() const;
    ServiceAccount* findLocked(qint64 id);

    QString m_filePath;
    mutable std::mutex m_mutex;
    std::vector<ServiceAccount> m_accounts;
    std::vector<ServiceTransaction> m_transactions;
    qint64 m_nextTransactionId = 1;
};

// ISO 8601 with milliseconds and the UTC offset written with a colon, e.g.
// "2024-05-01T10:20:30.123+00:00".
QString isoTimestamp(const QDateTime& time);

} // namespace kivo::service
