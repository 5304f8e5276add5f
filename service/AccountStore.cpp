#include "AccountStore.h"

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

#include <QSqlDriver>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include <libpq-fe.h>
#include <poll.h>
#include <sys/socket.h>

namespace kivo::service {

namespace {

// Serialises the creation of tables and of the demo account between instances sharing one
// PostgreSQL database (an arbitrary number of our own).
constexpr qint64 kSetupLockKey = 0x6b69766f;

// api_key holds the key's keyed digest, api_key_sealed the key encrypted.
const QString kAccountColumns =
    QStringLiteral("id, name, email, password_salt, password_sha256, api_key_sealed, credits, password_hash");
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

// Qt binds a null string as NULL; columns of earlier versions that are now unused hold ''.
QString notNull(const QString& text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

// The socket of a PostgreSQL connection; -1 for other databases and closed connections.
int postgresSocket(const QSqlDatabase& db)
{
    if (db.driverName() != u"QPSQL" || !db.isOpen())
        return -1;
    // The driver's handle holds the libpq connection.
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || handle.metaType().sizeOf() != sizeof(PGconn*))
        return -1;
    PGconn* connection = *static_cast<PGconn* const*>(handle.constData());
    return connection ? PQsocket(connection) : -1;
}

// A PostgreSQL statement waits for its answer without any time limit of its own (the
// server's statement_timeout needs a server that still runs): one thread watches the
// deadlines of the statements under way and cuts the connection of any that passes it, so the
// statement fails at once instead of holding its worker.
class StatementWatchdog {
public:
    static StatementWatchdog& shared()
    {
        static auto* watchdog = new StatementWatchdog; // lives as long as the process
        return *watchdog;
    }

    quint64 arm(int socket, std::chrono::steady_clock::time_point deadline)
    {
        std::lock_guard lock(m_mutex);
        const quint64 id = ++m_next;
        m_armed.emplace(id, Entry{socket, deadline});
        m_wake.notify_one();
        return id;
    }
    // True when the deadline had passed and the connection was cut.
    bool disarm(quint64 id)
    {
        std::lock_guard lock(m_mutex);
        const bool fired = m_fired.erase(id) > 0;
        m_armed.erase(id);
        return fired;
    }

private:
    struct Entry {
        int socket;
        std::chrono::steady_clock::time_point deadline;
    };
    StatementWatchdog()
    {
        std::thread([this] { watch(); }).detach();
    }
    void watch()
    {
        std::unique_lock lock(m_mutex);
        while (true) {
            auto next = std::chrono::steady_clock::time_point::max();
            const auto now = std::chrono::steady_clock::now();
            for (auto it = m_armed.begin(); it != m_armed.end();) {
                if (it->second.deadline <= now) {
                    ::shutdown(it->second.socket, SHUT_RDWR);
                    m_fired.emplace(it->first, true);
                    it = m_armed.erase(it);
                } else {
                    next = std::min(next, it->second.deadline);
                    ++it;
                }
            }
            if (next == std::chrono::steady_clock::time_point::max())
                m_wake.wait(lock);
            else
                m_wake.wait_until(lock, next);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<quint64, Entry> m_armed;
    std::map<quint64, bool> m_fired;
    quint64 m_next = 0;
};

// Runs one statement under the watchdog; false when it failed, with `timedOut` set when it
// was cut off.
bool executeWithin(QSqlDatabase& db, std::chrono::milliseconds timeout, const std::function<bool()>& execute,
                   bool* timedOut = nullptr)
{
    const int socket = postgresSocket(db);
    if (socket < 0)
        return execute();
    StatementWatchdog& watchdog = StatementWatchdog::shared();
    const quint64 id = watchdog.arm(socket, std::chrono::steady_clock::now() + timeout);
    const bool ok = execute();
    const bool fired = watchdog.disarm(id);
    if (timedOut)
        *timedOut = fired;
    return ok && !fired;
}

// A connection the server closed since its last use (a restart, an idle time-out) has the
// end of its stream waiting to be read: an idle connection in good health has nothing.
bool closedByServer(const QSqlDatabase& db)
{
    const int socket = postgresSocket(db);
    if (socket < 0)
        return false;
    pollfd watched{socket, POLLIN | POLLRDHUP, 0};
    return ::poll(&watched, 1, 0) != 0;
}

QString randomText(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(raw.begin(), raw.end());
    return QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
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

} // namespace

ServiceAccount AccountStore::accountFromRow(const QSqlQuery& query) const
{
    ServiceAccount account;
    account.id = query.value(0).toLongLong();
    account.name = query.value(1).toString();
    account.email = query.value(2).toString();
    account.passwordSalt = query.value(3).toString();
    account.passwordSHA256 = query.value(4).toString();
    account.apiKey = m_secret->unseal(query.value(5).toString()).value_or(QString());
    account.credits = query.value(6).toLongLong();
    account.passwordHash = query.value(7).toString();
    return account;
}

namespace {

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
    DatabaseTransaction(QSqlDatabase& db, const QString& begin, const std::function<void(const QString&)>& fail,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5))
        : m_db(db)
        , m_timeout(timeout)
    {
        QSqlQuery query(m_db);
        if (!executeWithin(m_db, m_timeout, [&] { return query.exec(begin); }))
            fail(query.lastError().text());
    }
    ~DatabaseTransaction()
    {
        if (!m_committed && m_db.isOpen()) {
            QSqlQuery query(m_db);
            executeWithin(m_db, m_timeout, [&] { return query.exec(QStringLiteral("ROLLBACK")); });
        }
    }
    bool commit()
    {
        QSqlQuery query(m_db);
        m_committed = executeWithin(m_db, m_timeout, [&] { return query.exec(QStringLiteral("COMMIT")); });
        return m_committed;
    }

private:
    QSqlDatabase& m_db;
    std::chrono::milliseconds m_timeout;
    bool m_committed = false;
};

} // namespace

AccountStore::AccountStore(QString address, std::chrono::milliseconds lockTimeout, QString keyFile)
    : m_address(std::move(address))
    , m_lockTimeout(lockTimeout)
    , m_keyFile(std::move(keyFile))
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
        if (db.isOpen() && closedByServer(db))
            db.close();
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
        // PostgreSQL: no notices ("relation already exists") on standard error; statements that
        // run long on a live server end there too.
        const auto setup = m_postgres ? QStringList{QStringLiteral("SET client_min_messages TO WARNING"),
                                                    QStringLiteral("SET statement_timeout = %1").arg(m_lockTimeout.count())}
                                      : QStringList{QStringLiteral("PRAGMA journal_mode=WAL"),
                                                    QStringLiteral("PRAGMA synchronous=FULL"),
                                                    QStringLiteral("PRAGMA foreign_keys=ON")};
        for (const QString& statement : setup) {
            QSqlQuery query(db);
            if (!executeWithin(db, m_lockTimeout, [&] { return query.exec(statement); }))
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
    if (!executeWithin(db, m_lockTimeout, [&] { return query.prepare(sql); }))
        fail(db, sql, query.lastError().text());
    for (const QVariant& value : values)
        query.addBindValue(value);
    bool timedOut = false;
    if (!executeWithin(db, m_lockTimeout, [&] { return query.exec(); }, &timedOut))
        fail(db, sql,
             timedOut ? QStringLiteral("no answer within %1 ms; the connection was closed").arg(m_lockTimeout.count())
                      : query.lastError().text());
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
    if (m_keyFile.isEmpty() && !m_postgres)
        m_keyFile = m_address + QStringLiteral(".key");
    if (m_keyFile.isEmpty()) {
        *error = QStringLiteral("a key file is needed for %1").arg(description());
        return false;
    }
    m_secret = KeySecret::load(m_keyFile, error);
    if (!m_secret)
        return false;
    try {
        QSqlDatabase db = connection();
        createTables(db);
        moveKeysOutOfTheClear(db);
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
    // Columns added since the first version.
    QStringList added;
    for (const char* column : {"password_hash", "api_key_sealed"}) {
        const QString sql = m_postgres ? QStringLiteral("ALTER TABLE accounts ADD COLUMN IF NOT EXISTS %1 TEXT")
                                       : QStringLiteral("ALTER TABLE accounts ADD COLUMN %1 TEXT");
        added.append(sql.arg(QLatin1StringView(column)));
    }
    DatabaseTransaction transaction(db, beginStatement(), [&](const QString& reason) { fail(db, beginStatement(), reason); }, m_lockTimeout);
    if (m_postgres)
        run(db, QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {kSetupLockKey});
    for (const QString& statement : statements) {
        // Table definitions cannot be prepared in PostgreSQL.
        QSqlQuery query(db);
        if (!executeWithin(db, m_lockTimeout, [&] { return query.exec(statement); }))
            fail(db, statement, query.lastError().text());
    }
    QStringList present;
    if (!m_postgres) {
        QSqlQuery columns = run(db, QStringLiteral("SELECT name FROM pragma_table_info('accounts')"));
        while (columns.next())
            present.append(columns.value(0).toString());
    }
    for (const QString& statement : std::as_const(added)) {
        if (present.contains(statement.section(u' ', 5, 5)))
            continue;
        QSqlQuery query(db);
        if (!executeWithin(db, m_lockTimeout, [&] { return query.exec(statement); }))
            fail(db, statement, query.lastError().text());
    }
    if (!transaction.commit())
        fail(db, QStringLiteral("COMMIT"), db.lastError().text());
}

void AccountStore::moveKeysOutOfTheClear(QSqlDatabase& db) const
{
    DatabaseTransaction transaction(db, beginStatement(), [&](const QString& reason) { fail(db, beginStatement(), reason); }, m_lockTimeout);
    if (m_postgres)
        run(db, QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {kSetupLockKey});
    std::vector<std::pair<qint64, QString>> clear;
    {
        QSqlQuery rows = run(db, QStringLiteral("SELECT id, api_key FROM accounts WHERE api_key_sealed IS NULL"));
        while (rows.next())
            clear.emplace_back(rows.value(0).toLongLong(), rows.value(1).toString());
    }
    for (const auto& [id, key] : clear)
        run(db, QStringLiteral("UPDATE accounts SET api_key = ?, api_key_sealed = ? WHERE id = ?"),
            {m_secret->digest(key), m_secret->seal(key), id});
    if (!transaction.commit())
        fail(db, QStringLiteral("COMMIT"), db.lastError().text());
}

std::optional<AccountStore::NewAccount> AccountStore::ensureDemoAccount(qint64 credits)
{
    QSqlDatabase db = connection();
    DatabaseTransaction transaction(db, beginStatement(), [&](const QString& reason) { fail(db, beginStatement(), reason); }, m_lockTimeout);
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
    DatabaseTransaction transaction(db, beginStatement(), [&](const QString& reason) { fail(db, beginStatement(), reason); }, m_lockTimeout);
    const QVariant taken = scalar(db, QStringLiteral("SELECT count(*) FROM accounts WHERE lower(email) = lower(?) OR api_key = ?"),
                                  {account.email, m_secret->digest(account.apiKey)});
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
                                              "password_hash, api_key, api_key_sealed, credits, transaction_count) "
                                              "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id"),
                               {account.name, account.email, notNull(account.passwordSalt), notNull(account.passwordSHA256),
                                account.passwordHash.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(account.passwordHash),
                                m_secret->digest(account.apiKey), m_secret->seal(account.apiKey), account.credits,
                                qint64(transactions.size())});
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
    QSqlQuery query =
        run(db, QStringLiteral("SELECT %1 FROM accounts WHERE api_key = ?").arg(kAccountColumns), {m_secret->digest(apiKey)});
    return query.next() ? std::optional(accountFromRow(query)) : std::nullopt;
}

std::optional<ServiceAccount> AccountStore::accountForLogin(const QString& email, const QString& password) const
{
    QSqlDatabase db = connection();
    QSqlQuery query =
        run(db, QStringLiteral("SELECT %1 FROM accounts WHERE lower(email) = lower(?)").arg(kAccountColumns), {email});
    if (!query.next()) {
        spendPasswordCheck(password);
        return std::nullopt;
    }
    ServiceAccount account = accountFromRow(query);
    query.finish();
    if (!account.passwordHash.isEmpty())
        return verifyPassword(account.passwordHash, password) ? std::optional(account) : std::nullopt;
    if (!verifyLegacyPassword(account.passwordSalt, account.passwordSHA256, password))
        return std::nullopt;
    // An account of an earlier version: its password moves to Argon2id now.
    setPassword(account, password);
    run(db, QStringLiteral("UPDATE accounts SET password_hash = ?, password_salt = '', password_sha256 = '' WHERE id = ?"),
        {account.passwordHash, account.id});
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
                                            [&](const QString& reason) { fail(db, beginStatement(), reason); }, m_lockTimeout);
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
                                            [&](const QString& reason) { fail(db, beginStatement(), reason); }, m_lockTimeout);
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
    account.passwordHash = hashPassword(password);
    account.passwordSalt.clear();
    account.passwordSHA256.clear();
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
