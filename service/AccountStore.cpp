#include "AccountStore.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSaveFile>

#include <algorithm>

namespace kivo::service {

namespace {

QString randomText(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(raw.begin(), raw.end());
    return QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString passwordHash(const QString& salt, const QString& password)
{
    return QString::fromLatin1(
        QCryptographicHash::hash((salt + password).toUtf8(), QCryptographicHash::Sha256).toHex());
}

QJsonObject accountToJson(const ServiceAccount& account)
{
    return QJsonObject{{"id", account.id},
                       {"name", account.name},
                       {"email", account.email},
                       {"password_salt", account.passwordSalt},
                       {"password_sha256", account.passwordSHA256},
                       {"api_key", account.apiKey},
                       {"credits", account.credits}};
}

std::optional<ServiceAccount> accountFromJson(const QJsonObject& object)
{
    ServiceAccount account;
    account.id = object.value("id").toInteger(0);
    account.name = object.value("name").toString();
    account.email = object.value("email").toString();
    account.apiKey = object.value("api_key").toString();
    account.credits = object.value("credits").toInteger(0);
    account.passwordSalt = object.value("password_salt").toString();
    account.passwordSHA256 = object.value("password_sha256").toString();
    if (object.value("password").isString()) {
        account.passwordSalt = randomText(12);
        account.passwordSHA256 = passwordHash(account.passwordSalt, object.value("password").toString());
    }
    if (account.id <= 0 || account.email.isEmpty())
        return std::nullopt;
    return account;
}

QJsonObject transactionToJson(const ServiceTransaction& transaction)
{
    return QJsonObject{{"id", transaction.id},
                       {"account_id", transaction.accountId},
                       {"created_at", isoTimestamp(transaction.createdAt)},
                       {"transaction_type", transaction.transactionType},
                       {"credit_change", transaction.creditChange},
                       {"route", transaction.route},
                       {"site_url", transaction.siteURL},
                       {"ip_address", transaction.ipAddress},
                       {"origin_image", transaction.originImage},
                       {"output_image", transaction.outputImage},
                       {"description", transaction.description}};
}

ServiceTransaction transactionFromJson(const QJsonObject& object)
{
    ServiceTransaction transaction;
    transaction.id = object.value("id").toInteger(0);
    transaction.accountId = object.value("account_id").toInteger(0);
    transaction.createdAt = QDateTime::fromString(object.value("created_at").toString(), Qt::ISODateWithMs);
    transaction.transactionType = object.value("transaction_type").toString();
    transaction.creditChange = object.value("credit_change").toInteger(0);
    transaction.route = object.value("route").toString();
    transaction.siteURL = object.value("site_url").toString();
    transaction.ipAddress = object.value("ip_address").toString();
    transaction.originImage = object.value("origin_image").toString();
    transaction.outputImage = object.value("output_image").toString();
    transaction.description = object.value("description").toString();
    return transaction;
}

} // namespace

AccountStore::AccountStore(QString filePath)
    : m_filePath(std::move(filePath))
{
}

bool AccountStore::load(QString* error)
{
    std::lock_guard lock(m_mutex);
    if (m_filePath.isEmpty() || !QFile::exists(m_filePath))
        return true;
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = QStringLiteral("not a JSON object: ") + parseError.errorString();
        return false;
    }
    m_accounts.clear();
    m_transactions.clear();
    for (const QJsonValue& value : document.object().value("accounts").toArray()) {
        if (auto account = accountFromJson(value.toObject()))
            m_accounts.push_back(*account);
    }
    for (const QJsonValue& value : document.object().value("transactions").toArray()) {
        ServiceTransaction transaction = transactionFromJson(value.toObject());
        if (transaction.id > 0 && transaction.createdAt.isValid()) {
            m_nextTransactionId = std::max(m_nextTransactionId, transaction.id + 1);
            m_transactions.push_back(std::move(transaction));
        }
    }
    return true;
}

std::optional<AccountStore::NewAccount> AccountStore::ensureDemoAccount(qint64 credits)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_accounts.empty())
            return std::nullopt;
    }
    NewAccount demo{QStringLiteral("demo@kivopro.example"), randomText(12), QStringLiteral("kivo_") + randomText(24)};
    addAccount(QStringLiteral("Demo User"), demo.email, demo.password, demo.apiKey, credits);
    return demo;
}

ServiceAccount AccountStore::addAccount(const QString& name, const QString& email, const QString& password,
                                        const QString& apiKey, qint64 credits)
{
    std::lock_guard lock(m_mutex);
    ServiceAccount account;
    for (const ServiceAccount& existing : m_accounts)
        account.id = std::max(account.id, existing.id);
    account.id += 1;
    account.name = name;
    account.email = email;
    account.passwordSalt = randomText(12);
    account.passwordSHA256 = passwordHash(account.passwordSalt, password);
    account.apiKey = apiKey;
    account.credits = credits;
    m_accounts.push_back(account);

    ServiceTransaction welcome;
    welcome.id = m_nextTransactionId++;
    welcome.accountId = account.id;
    welcome.createdAt = QDateTime::currentDateTimeUtc();
    welcome.transactionType = QStringLiteral("credit_grant");
    welcome.creditChange = credits;
    welcome.description = QStringLiteral("Welcome credits");
    m_transactions.push_back(welcome);

    saveLocked();
    return account;
}

std::optional<ServiceAccount> AccountStore::accountForApiKey(const QString& apiKey) const
{
    std::lock_guard lock(m_mutex);
    if (apiKey.isEmpty())
        return std::nullopt;
    for (const ServiceAccount& account : m_accounts) {
        if (account.apiKey == apiKey)
            return account;
    }
    return std::nullopt;
}

std::optional<ServiceAccount> AccountStore::accountForLogin(const QString& email, const QString& password) const
{
    std::lock_guard lock(m_mutex);
    for (const ServiceAccount& account : m_accounts) {
        if (account.email.compare(email, Qt::CaseInsensitive) == 0)
            return passwordHash(account.passwordSalt, password) == account.passwordSHA256 ? std::optional(account)
                                                                                          : std::nullopt;
    }
    return std::nullopt;
}

std::optional<ServiceAccount> AccountStore::account(qint64 id) const
{
    std::lock_guard lock(m_mutex);
    for (const ServiceAccount& account : m_accounts) {
        if (account.id == id)
            return account;
    }
    return std::nullopt;
}

bool AccountStore::takeCredit(qint64 accountId)
{
    std::lock_guard lock(m_mutex);
    ServiceAccount* account = findLocked(accountId);
    if (!account || account->credits <= 0)
        return false;
    account->credits -= 1;
    saveLocked();
    return true;
}

void AccountStore::returnCredit(qint64 accountId)
{
    std::lock_guard lock(m_mutex);
    if (ServiceAccount* account = findLocked(accountId)) {
        account->credits += 1;
        saveLocked();
    }
}

ServiceTransaction AccountStore::recordTransaction(ServiceTransaction transaction)
{
    std::lock_guard lock(m_mutex);
    transaction.id = m_nextTransactionId++;
    m_transactions.push_back(transaction);
    saveLocked();
    return transaction;
}

std::vector<ServiceTransaction> AccountStore::transactions(qint64 accountId) const
{
    std::lock_guard lock(m_mutex);
    std::vector<ServiceTransaction> result;
    for (auto it = m_transactions.rbegin(); it != m_transactions.rend(); ++it) {
        if (it->accountId == accountId)
            result.push_back(*it);
    }
    std::stable_sort(result.begin(), result.end(),
                     [](const ServiceTransaction& a, const ServiceTransaction& b) { return a.createdAt > b.createdAt; });
    return result;
}

std::optional<ServiceTransaction> AccountStore::transaction(qint64 id) const
{
    std::lock_guard lock(m_mutex);
    for (const ServiceTransaction& transaction : m_transactions) {
        if (transaction.id == id)
            return transaction;
    }
    return std::nullopt;
}

bool AccountStore::saveLocked() const
{
    if (m_filePath.isEmpty())
        return true;
    QJsonArray accounts;
    for (const ServiceAccount& account : m_accounts)
        accounts.append(accountToJson(account));
    QJsonArray transactions;
    for (const ServiceTransaction& transaction : m_transactions)
        transactions.append(transactionToJson(transaction));
    const QJsonObject root{{"accounts", accounts}, {"transactions", transactions}};

    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(root).toJson());
    return file.commit();
}

ServiceAccount* AccountStore::findLocked(qint64 id)
{
    for (ServiceAccount& account : m_accounts) {
        if (account.id == id)
            return &account;
    }
    return nullptr;
}

QString isoTimestamp(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) + QStringLiteral("+00:00");
}

} // namespace kivo::service
