#pragma once

#include "Credentials.h"

#include <QDateTime>
#include <QString>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <vector>

class QSqlDatabase;
class QSqlQuery;
class QVariant;

namespace kivo::service {

struct ServiceAccount {
    qint64 id = 0;
    QString name;
    QString email;
    // Argon2id, salt and costs included; empty for accounts of earlier versions until their
    // next sign-in, which still have the two below.
    QString passwordHash;
    QString passwordSalt;
    QString passwordSHA256; // hex of SHA-256(salt + password)
    // In memory only: the database keeps a keyed digest and an encrypted copy.
    QString apiKey;
    qint64 credits = 0;
};

struct ServiceTransaction {
    // The database's own number (order of recording); never shown to anyone.
    qint64 id = 0;
    // The transaction's name in answers and in the address of its page: 128 random bits, so a
    // page can only be found by whoever was given its link.
    QString publicId;
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

struct TransactionPage {
    std::vector<ServiceTransaction> rows; // newest first
    qint64 totalCount = 0;
};

// A database that could not be read or written. Callers answer 503 and log it; nothing that
// failed is ever reported as done.
class StoreFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The accounts, their credits and their transactions, in SQLite (one file, WAL mode) or, for
// several instances of the service, in one PostgreSQL database with the same tables. Every
// change is one small database transaction. Safe to call from any thread: each thread gets
// its own connection (Qt SQL connections belong to the thread that opened them).
//
// Addresses: a file path for SQLite; "postgresql://USER[:PASSWORD]@[HOST][:PORT]/DATABASE",
// where "?host=/socket/folder" reaches a server through its Unix socket.
//
// Every statement and every connection attempt waits at most `lockTimeout` (PostgreSQL: a
// server that stops answering has its connection cut, and the call fails); a connection that
// the server has closed since its last use is replaced before the next.
//
// API keys are found and kept with a secret from `keyFile` (see KeySecret), created when
// missing; by default the SQLite file's name with ".key" appended. Instances that share a
// PostgreSQL database must share the key file too.
class AccountStore {
public:
    explicit AccountStore(QString address, std::chrono::milliseconds lockTimeout = std::chrono::seconds(5),
                          QString keyFile = {});
    ~AccountStore();

    AccountStore(const AccountStore&) = delete;
    AccountStore& operator=(const AccountStore&) = delete;

    // Reads the key file, connects, creates the tables that are missing and moves API keys of
    // earlier versions out of the clear; false, with the reason, on failure.
    bool open(QString* error);
    // "SQLite /path/file" or "PostgreSQL DATABASE on HOST": for the start-up banner, never the password.
    QString description() const;

    struct NewAccount {
        QString email;
        QString password;
        QString apiKey;
    };
    // Adds an account with a random password and API key when the store has none, and returns
    // its credentials (for the start-up banner); otherwise nothing.
    std::optional<NewAccount> ensureDemoAccount(qint64 credits = 100);

    // With a "Welcome credits" transaction for the starting balance. Throws StoreFailure, also
    // when the e-mail address or the API key is taken.
    ServiceAccount addAccount(const QString& name, const QString& email, const QString& password,
                              const QString& apiKey, qint64 credits);
    // An account as stored elsewhere (password already hashed, the API key in the clear), with its transactions in
    // recording order; the account gets a new id. False when its e-mail or API key is taken.
    bool importAccount(ServiceAccount account, std::vector<ServiceTransaction> transactions);

    std::optional<ServiceAccount> accountForApiKey(const QString& apiKey) const;
    std::optional<ServiceAccount> accountForLogin(const QString& email, const QString& password) const;
    std::optional<ServiceAccount> account(qint64 id) const;

    enum class Charge { charged, noCredits };
    // Takes one credit and records the transaction in one database transaction: both happen or
    // neither does. Fills in the transaction's ids.
    Charge chargeRemoval(ServiceTransaction& transaction);
    // Records a transaction without touching the balance (grants already counted, imports,
    // tests); fills in its ids.
    void recordTransaction(ServiceTransaction& transaction);

    TransactionPage transactions(qint64 accountId, int page, int limit) const;
    std::optional<ServiceTransaction> transaction(const QString& publicId) const;

    // Whether a source (an imported file) has been recorded as done; recording it is part of
    // the caller's import.
    bool isImported(const QString& source) const;
    void markImported(const QString& source);

private:
    // This thread's connection, opened when needed.
    QSqlDatabase connection() const;
    QSqlQuery run(QSqlDatabase& db, const QString& sql, const std::vector<QVariant>& values = {}) const;
    // The first column of the first row, or an invalid value.
    QVariant scalar(QSqlDatabase& db, const QString& sql, const std::vector<QVariant>& values = {}) const;
    void createTables(QSqlDatabase& db) const;
    void moveKeysOutOfTheClear(QSqlDatabase& db) const;
    ServiceAccount accountFromRow(const QSqlQuery& query) const;
    void insertAccount(QSqlDatabase& db, const ServiceAccount& account, std::vector<ServiceTransaction> transactions) const;
    void insertTransaction(QSqlDatabase& db, ServiceTransaction& transaction) const;
    [[noreturn]] void fail(QSqlDatabase& db, const QString& what, const QString& detail) const;
    QString beginStatement() const;

    QString m_address;
    std::chrono::milliseconds m_lockTimeout;
    QString m_keyFile;
    std::optional<KeySecret> m_secret;
    bool m_postgres = false;
    QString m_connectionPrefix;
};

// Gives the account the Argon2id hash of the password.
void setPassword(ServiceAccount& account, const QString& password);

// 128 random bits as 32 lower-case hexadecimal digits.
QString randomToken();

// ISO 8601 with milliseconds and the UTC offset written with a colon, e.g.
// "2024-05-01T10:20:30.123+00:00".
QString isoTimestamp(const QDateTime& time);

} // namespace kivo::service
