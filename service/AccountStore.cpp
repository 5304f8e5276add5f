#include "AccountStore.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

#include <atomic>
#include <functional>

namespace kivo::service {

namespace {

// Serialises the creation of tables and of the demo account between instances sharing one
// PostgreSQL database (an arbitrary number of our own).
constexpr qint64 kSetupLockKey = 0x6b69766f;

const QString kAccountColumns = QStringLiteral("id, name, email, password_salt, password_sha256, api_key, credits");
const QString kTransactionColumns =
    QStringLiteral("id, public_id, account_id, created_at, transaction_type, credit_change, route, site_url, "
                   "ip_address, origin_image, output_image, description");

// Qt SQL connections belong to the thread that opened them: each thread keeps its own and
// closes them when it ends.
struct ThreadConnections {
    QStringList names;
    ~ThreadConnections()
    {
        for (const QString& name : std::as_const(names))
            QSqlDatabase::removeDatabase(name);
    }
};
thread_local ThreadConnections threadConnections;

std::atomic<quint64> storeCounter{0};

QString randomText(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(raw.begin(), raw.end());
    return QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString passwordHash(const QString& salt, const QString& password)
{
    return QString::fromLatin1(QCryptographicHash::hash((salt + password).toUtf8(), QCryptographicHash::Sha256).toHex());
}

ServiceAccount newAccount(const QString& name, const QString& email, const QString& password, const QString& apiKey,
                          qint64 credits)
{
    ServiceAccount account;
    account.name = name;
    account.email = email;
    setPassword(account, password);
    account.apiKey = apiKey;
    account.credits = credits;
    return account;
}

ServiceTransaction welcomeGrant(qint64 credits)
{
    ServiceTransaction welcome;
    welcome.createdAt = QDateTime::currentDateTimeUtc();
    welcome.transactionType = QStringLiteral("credit_grant");
    welcome.creditChange = credits;
    welcome.description = QStringLiteral("Welcome credits");
    return welcome;
}

ServiceAccount accountFromRow(const QSqlQuery& query)
{
    ServiceAccount account;
    account.id = query.value(0).toLongLong();
    account.name = query.value(1).toString();
    account.email = query.value(2).toString();
    account.passwordSalt = query.value(3).toString();
    account.passwordSHA256 = query.value(4).toString();
    account.apiKey = query.value(5).toString();
    account.credits = query.value(6).toLongLong();
    return account;
}

ServiceTransaction transactionFromRow(const QSqlQuery& query)
{
    ServiceTransaction transaction;
    transaction.id = query.value(0).toLongLong();
    transaction.publicId = query.value(1).toString();
    transaction.accountId = query.value(2).toLongLong();
    transaction.createdAt = QDateTime::fromMSecsSinceEpoch(query.value(3).toLongLong(), Qt::UTC);
    transaction.transactionType = query.value(4).toString();
    transaction.creditChange = query.value(5).toLongLong();
    transaction.route = query.value(6).toString();
    transaction.siteURL = query.value(7).toString();
    transaction.ipAddress = query.value(8).toString();
    transaction.originImage = query.value(9).toString();
    transaction.outputImage = query.value(10).toString();
    transaction.description = query.value(11).toString();
    return transaction;
}

} // namespace

namespace {

// One database transaction; rolled back unless committed.
class DatabaseTransaction {
public:
    DatabaseTransaction(QSqlDatabase& db, const QString& begin, const std::function<void(const QString&)>& fail)
        : m_db(db)
    {
        QSqlQuery query(m_db);
        if (!query.exec(begin))
            fail(query.lastError().text());
    }
    ~DatabaseTransaction()
    {
        if (!m_committed)
            QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
    }
    bool commit()
    {
        QSqlQuery query(m_db);
        m_committed = query.exec(QStringLiteral("COMMIT"));
        return m_committed;
    }

private:
    QSqlDatabase& m_db;
    bool m_committed = false;
};

} // namespace

AccountStore::AccountStore(QString address, std::chrono::milliseconds lockTimeout)
    : m_address(std::move(address))
    , m_lockTimeout(lockTimeout)
    , m_postgres(m_address.startsWith(QStringLiteral("postgresql://")) || m_address.startsWith(QStringLiteral("postgres://")))
    , m_connectionPrefix(QStringLiteral("kivopro-store-%1-").arg(++storeCounter))
{
}

AccountStore::~AccountStore()
{
    // Connections of other threads close when those threads end.
    const QString name = m_connectionPrefix + QString::number(quintptr(QThread::currentThreadId()), 16);
    if (threadConnections.names.removeOne(name))
        QSqlDatabase::removeDatabase(name);
}

QString AccountStore::description() const
{
    if (!m_postgres)
        return QStringLiteral("SQLite %1").arg(QFileInfo(m_address).absoluteFilePath());
    const QUrl url(m_address);
    const QString host = QUrlQuery(url).hasQueryItem(QStringLiteral("host"))
        ? QUrlQuery(url).queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded)
        : url.host();
    return QStringLiteral("PostgreSQL database %1 on %2").arg(url.path().mid(1), host.isEmpty() ? QStringLiteral("localhost") : host);
}

QSqlDatabase AccountStore::connection() const
{
    const QString name = m_connectionPrefix + QString::number(quintptr(QThread::currentThreadId()), 16);
    QSqlDatabase db;
    if (QSqlDatabase::contains(name)) {
        db = QSqlDatabase::database(name, false);
    } else if (m_postgres) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        const QUrl url(m_address);
        const QUrlQuery query(url);
        db.setDatabaseName(url.path().mid(1));
        db.setUserName(url.userName());
        db.setPassword(url.password());
        db.setHostName(url.host());
        if (url.port() > 0)
            db.setPort(url.port());
        QStringList options{QStringLiteral("connect_timeout=%1").arg(std::max<qint64>(1, m_lockTimeout.count() / 1000))};
        for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
            if (key == u"host")
                db.setHostName(value);
            else if (key == u"port")
                db.setPort(value.toInt());
            else if (key == u"user")
                db.setUserName(value);
            else if (key == u"password")
                db.setPassword(value);
            else
                options.append(key + u'=' + value);
        }
        db.setConnectOptions(options.join(u';'));
        threadConnections.names.append(name);
    } else {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(m_address);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_lockTimeout.count()));
        threadConnections.names.append(name);
    }
    if (!db.isValid())
        throw StoreFailure(QStringLiteral("the Qt SQL driver for %1 is missing").arg(description()).toStdString());
    if (!db.isOpen()) {
        if (!db.open()) {
            const QString reason = db.lastError().text();
            throw StoreFailure(QStringLiteral("cannot open %1: %2").arg(description(), reason).toStdString());
        }
        // SQLite: readers never wait for the writer; a commit reaches the disk before it returns.
        // PostgreSQL: no notices ("relation already exists") on standard error.
        const auto setup = m_postgres ? QStringList{QStringLiteral("SET client_min_messages TO WARNING")}
                                      : QStringList{QStringLiteral("PRAGMA journal_mode=WAL"),
                                                    QStringLiteral("PRAGMA synchronous=FULL"),
                                                    QStringLiteral("PRAGMA foreign_keys=ON")};
        for (const QString& statement : setup) {
            QSqlQuery query(db);
            if (!query.exec(statement))
                fail(db, statement, query.lastError().text());
        }
    }
    return db;
}

void AccountStore::fail(QSqlDatabase& db, const QString& what, const QString& detail) const
{
    // A broken connection is opened afresh by the next call.
    if (db.lastError().type() == QSqlError::ConnectionError || !db.isOpen() || m_postgres)
        db.close();
    throw StoreFailure(QStringLiteral("%1 failed on %2: %3").arg(what.section(u' ', 0, 2), description(), detail).toStdString());
}

QSqlQuery AccountStore::run(QSqlDatabase& db, const QString& sql, const std::vector<QVariant>& values) const
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        fail(db, sql, query.lastError().text());
    for (const QVariant& value : values)
        query.addBindValue(value);
    if (!query.exec())
        fail(db, sql, query.lastError().text());
    return query;
}

QVariant AccountStore::scalar(QSqlDatabase& db, const QString& sql, const std::vector<QVariant>& values) const
{
    QSqlQuery query = run(db, sql, values);
    const QVariant value = query.next() ? query.value(0) : QVariant();
    // A statement left open would keep SQLite's read snapshot.
    query.finish();
    return value;
}

QString AccountStore::beginStatement() const
{
    // SQLite: take the write lock at once, so that a writer waits for another instead of
    // failing half-way.
    return m_postgres ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE");
}

bool AccountStore::open(QString* error)
{
    try {
        QSqlDatabase db = connection();
        createTables(db);
        return true;
    } catch (const StoreFailure& failure) {
        *error = QString::fromStdString(failure.what());
        return false;
    }
}

void AccountStore::createTables(QSqlDatabase& db) const
{
    const QString id = m_postgres ? QStringLiteral("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY")
                                  : QStringLiteral("INTEGER PRIMARY KEY");
    const QStringList statements{
        QStringLiteral("CREATE TABLE IF NOT EXISTS accounts (id %1, name TEXT, email TEXT NOT NULL, "
                       "password_salt TEXT NOT NULL, password_sha256 TEXT NOT NULL, api_key TEXT NOT NULL UNIQUE, "
                       "credits BIGINT NOT NULL CHECK (credits >= 0), transaction_count BIGINT NOT NULL DEFAULT 0)")
            .arg(id),
        QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS accounts_by_email ON accounts (lower(email))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS transactions (id %1, public_id TEXT NOT NULL UNIQUE, "
                       "account_id BIGINT NOT NULL REFERENCES accounts (id), created_at BIGINT NOT NULL, "
                       "transaction_type TEXT NOT NULL, credit_change BIGINT NOT NULL, route TEXT, site_url TEXT, "
                       "ip_address TEXT, origin_image TEXT, output_image TEXT, description TEXT)")
            .arg(id),
        QStringLiteral("CREATE INDEX IF NOT EXISTS transactions_by_account ON transactions (account_id, created_at, id)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS imports (source TEXT PRIMARY KEY, imported_at BIGINT NOT NULL)"),
    };
    DatabaseTransaction transaction(db, beginStatement(), [&](const QString& reason) { fail(db, beginStatement(), reason); });
    if (m_postgres)
        run(db, QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {kSetupLockKey});
    for (const QString& statement : statements) {
        // Table definitions cannot be prepared in PostgreSQL.
        QSqlQuery query(db);
        if (!query.exec(statement))
            fail(db, statement, query.lastError().text());
    }
    if (!transaction.commit())
        fail(db, QStringLiteral("COMMIT"), db.lastError().text());
}

std::optional<AccountStore::NewAccount> AccountStore::ensureDemoAccount(qint64 credits)
{
    QSqlDatabase db = connection();
    DatabaseTransaction transaction(db, beginStatement(), [&](const QString& reason) { fail(db, beginStatement(), reason); });
    if (m_postgres)
        run(db, QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {kSetupLockKey});
    if (scalar(db, QStringLiteral("SELECT count(*) FROM accounts")).toLongLong() > 0)
        return std::nullopt;

    NewAccount demo{QStringLiteral("demo@kivopro.example"), randomText(12), QStringLiteral("kivo_") + randomText(24)};
    insertAccount(db, newAccount(QStringLiteral("Demo User"), demo.email, demo.password, demo.apiKey, credits),
                  {welcomeGrant(credits)});
    if (!transaction.commit())
        fail(db, QStringLiteral("COMMIT"), db.lastError().text());
    return demo;
}

ServiceAccount AccountStore::addAccount(const QString& name, const QString& email, const QString& password,
                                        const QString& apiKey, qint64 credits)
{
    if (!importAccount(newAccount(name, email, password, apiKey, credits), {welcomeGrant(credits)}))
        throw StoreFailure(QStringLiteral("an account with the e-mail address %1 or that API key exists").arg(email).toStdString());
    return *accountForApiKey(apiKey);
}

bool AccountStore::importAccount(ServiceAccount account, std::vector<ServiceTransaction> transactions)
{
    QSqlDatabase db = connection();
    DatabaseTransaction transaction(db, beginStatement(), [&](const QString& reason) { fail(db, beginStatement(), reason); });
    const QVariant taken = scalar(db, QStringLiteral("SELECT count(*) FROM accounts WHERE lower(email) = lower(?) OR api_key = ?"),
                                  {account.email, account.apiKey});
    if (taken.toLongLong() > 0)
        return false;
    insertAccount(db, account, std::move(transactions));
    if (!transaction.commit())
        fail(db, QStringLiteral("COMMIT"), db.lastError().text());
    return true;
}

void AccountStore::insertAccount(QSqlDatabase& db, const ServiceAccount& account,
                                 std::vector<ServiceTransaction> transactions) const
{
    const QVariant id = scalar(db,
                               QStringLiteral("INSERT INTO accounts (name, email, password_salt, password_sha256, "
                                              "api_key, credits, transaction_count) VALUES (?, ?, ?, ?, ?, ?, ?) "
                                              "RETURNING id"),
                               {account.name, account.email, account.passwordSalt, account.passwordSHA256,
                                account.apiKey, account.credits, qint64(transactions.size())});
    for (ServiceTransaction& row : transactions) {
        row.accountId = id.toLongLong();
        insertTransaction(db, row);
    }
}

std::optional<ServiceAccount> AccountStore::accountForApiKey(const QString& apiKey) const
{
    if (apiKey.isEmpty())
        return std::nullopt;
    QSqlDatabase db = connection();
    QSqlQuery query = run(db, QStringLiteral("SELECT %1 FROM accounts WHERE api_key = ?").arg(kAccountColumns), {apiKey});
    return query.next() ? std::optional(accountFromRow(query)) : std::nullopt;
}

std::optional<ServiceAccount> AccountStore::accountForLogin(const QString& email, const QString& password) const
{
    QSqlDatabase db = connection();
    QSqlQuery query =
        run(db, QStringLiteral("SELECT %1 FROM accounts WHERE lower(email) = lower(?)").arg(kAccountColumns), {email});
    if (!query.next())
        return std::nullopt;
    ServiceAccount account = accountFromRow(query);
    if (passwordHash(account.passwordSalt, password) != account.passwordSHA256)
        return std::nullopt;
    return account;
}

std::optional<ServiceAccount> AccountStore::account(qint64 id) const
{
    QSqlDatabase db = connection();
    QSqlQuery query = run(db, QStringLiteral("SELECT %1 FROM accounts WHERE id = ?").arg(kAccountColumns), {id});
    return query.next() ? std::optional(accountFromRow(query)) : std::nullopt;
}

void AccountStore::insertTransaction(QSqlDatabase& db, ServiceTransaction& transaction) const
{
    if (transaction.publicId.isEmpty())
        transaction.publicId = randomToken();
    transaction.id = scalar(db,
                            QStringLiteral("INSERT INTO transactions (public_id, account_id, created_at, "
                                           "transaction_type, credit_change, route, site_url, ip_address, origin_image, "
                                           "output_image, description) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id"),
                            {transaction.publicId, transaction.accountId, transaction.createdAt.toMSecsSinceEpoch(),
                             transaction.transactionType, transaction.creditChange, transaction.route,
                             transaction.siteURL, transaction.ipAddress, transaction.originImage,
                             transaction.outputImage, transaction.description})
                         .toLongLong();
}

AccountStore::Charge AccountStore::chargeRemoval(ServiceTransaction& transaction)
{
    QSqlDatabase db = connection();
    DatabaseTransaction databaseTransaction(db, beginStatement(),
                                            [&](const QString& reason) { fail(db, beginStatement(), reason); });
    const QSqlQuery charged = run(db,
                                  QStringLiteral("UPDATE accounts SET credits = credits - 1, transaction_count = "
                                                 "transaction_count + 1 WHERE id = ? AND credits >= 1"),
                                  {transaction.accountId});
    if (charged.numRowsAffected() != 1)
        return Charge::noCredits;
    insertTransaction(db, transaction);
    if (!databaseTransaction.commit())
        fail(db, QStringLiteral("COMMIT"), db.lastError().text());
    return Charge::charged;
}

void AccountStore::recordTransaction(ServiceTransaction& transaction)
{
    QSqlDatabase db = connection();
    DatabaseTransaction databaseTransaction(db, beginStatement(),
                                            [&](const QString& reason) { fail(db, beginStatement(), reason); });
    run(db, QStringLiteral("UPDATE accounts SET transaction_count = transaction_count + 1 WHERE id = ?"),
        {transaction.accountId});
    insertTransaction(db, transaction);
    if (!databaseTransaction.commit())
        fail(db, QStringLiteral("COMMIT"), db.lastError().text());
}

TransactionPage AccountStore::transactions(qint64 accountId, int page, int limit) const
{
    QSqlDatabase db = connection();
    TransactionPage result;
    result.totalCount = scalar(db, QStringLiteral("SELECT transaction_count FROM accounts WHERE id = ?"), {accountId}).toLongLong();
    // The rows skipped for a later page are counted in the index alone; only the page's own
    // rows are read from the table.
    QSqlQuery rows = run(db,
                         QStringLiteral("SELECT %1 FROM transactions WHERE id IN (SELECT id FROM transactions "
                                        "WHERE account_id = ? ORDER BY created_at DESC, id DESC LIMIT ? OFFSET ?) "
                                        "ORDER BY created_at DESC, id DESC")
                             .arg(kTransactionColumns),
                         {accountId, limit, qint64(page - 1) * limit});
    while (rows.next())
        result.rows.push_back(transactionFromRow(rows));
    return result;
}

std::optional<ServiceTransaction> AccountStore::transaction(const QString& publicId) const
{
    QSqlDatabase db = connection();
    QSqlQuery query = run(db, QStringLiteral("SELECT %1 FROM transactions WHERE public_id = ?").arg(kTransactionColumns),
                          {publicId});
    return query.next() ? std::optional(transactionFromRow(query)) : std::nullopt;
}

bool AccountStore::isImported(const QString& source) const
{
    QSqlDatabase db = connection();
    return scalar(db, QStringLiteral("SELECT count(*) FROM imports WHERE source = ?"), {source}).toLongLong() > 0;
}

void AccountStore::markImported(const QString& source)
{
    QSqlDatabase db = connection();
    run(db, QStringLiteral("INSERT INTO imports (source, imported_at) VALUES (?, ?)"),
        {source, QDateTime::currentMSecsSinceEpoch()});
}

void setPassword(ServiceAccount& account, const QString& password)
{
    account.passwordSalt = randomText(12);
    account.passwordSHA256 = passwordHash(account.passwordSalt, password);
}

QString randomToken()
{
    quint64 bits[2];
    QRandomGenerator::system()->fillRange(bits);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(bits), sizeof bits).toHex());
}

QString isoTimestamp(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) + QStringLiteral("+00:00");
}

} // namespace kivo::service
