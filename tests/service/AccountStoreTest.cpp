// The store on SQLite and on a throwaway PostgreSQL server: the same behaviour on both, exact
// credits under concurrent charges, the import of an old accounts file, failures as failures.

#include "AccountStore.h"
#include "AccountsFileImport.h"
#include "PrivateImageFolder.h"

#include "service/ThrowawayPostgres.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QSqlRecord>
#include <QStringList>

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include <csignal>

using namespace kivo::service;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// An accounts file as earlier versions wrote it, with one preview beside it.
QString writeLegacyAccountsFile(const QDir& folder)
{
    const QJsonArray accounts{
        QJsonObject{{"id", 7}, {"name", "Bo"}, {"email", "bo@example.org"}, {"password", "pw"}, {"api_key", "key-bo"}, {"credits", 3}},
        // Its key is taken in the store already: skipped.
        QJsonObject{{"id", 8}, {"name", "Cy"}, {"email", "cy@example.org"}, {"password", "pw"}, {"api_key", "key-ada"}, {"credits", 9}},
    };
    const QJsonArray transactions{
        QJsonObject{{"id", 1}, {"account_id", 7}, {"created_at", "2024-05-01T10:00:00.000+00:00"},
                    {"transaction_type", "credit_grant"}, {"credit_change", 4}, {"description", "Welcome credits"}},
        QJsonObject{{"id", 2}, {"account_id", 7}, {"created_at", "2024-05-02T10:00:00.000+00:00"},
                    {"transaction_type", "remove_background"}, {"credit_change", -1},
                    {"origin_image", "/images/0b1c2d3e-0000-4000-8000-000000000001.png"},
                    {"output_image", "/images/0b1c2d3e-0000-4000-8000-000000000002.png"}},
    };
    EXPECT_TRUE(folder.mkpath(u"old-images"_s));
    writeFile(folder.filePath(u"old-images/0b1c2d3e-0000-4000-8000-000000000001.png"_s), "preview bytes");
    const QString path = folder.filePath(u"old.json"_s);
    writeFile(path, QJsonDocument(QJsonObject{{"accounts", accounts}, {"transactions", transactions}}).toJson());
    return path;
}

void exerciseStore(const QString& address, const QDir& folder)
{
    AccountStore store(address, std::chrono::seconds(2), folder.filePath(u"api-keys.secret"_s));
    QString error;
    ASSERT_TRUE(store.open(&error)) << error.toStdString();
    ASSERT_TRUE(store.open(&error)) << "opening an existing database: " << error.toStdString();

    const auto demo = store.ensureDemoAccount(3);
    ASSERT_TRUE(demo.has_value());
    EXPECT_FALSE(store.ensureDemoAccount().has_value());
    EXPECT_TRUE(store.accountForLogin(demo->email.toUpper(), demo->password).has_value());
    EXPECT_FALSE(store.accountForLogin(demo->email, demo->password + u'x').has_value());

    const ServiceAccount ada = store.addAccount(u"Ada"_s, u"ada@example.org"_s, u"pw"_s, u"key-ada"_s, 30);
    EXPECT_THROW(store.addAccount(u"Ada 2"_s, u"ADA@example.org"_s, u"pw"_s, u"key-ada-2"_s, 1), StoreFailure);
    EXPECT_EQ(store.accountForApiKey(u"key-ada"_s)->id, ada.id);
    EXPECT_FALSE(store.accountForApiKey(QString()).has_value());

    // 48 charges at once against 30 credits: exactly 30 go through.
    std::atomic<int> charged = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 6; ++i) {
                ServiceTransaction transaction;
                transaction.accountId = ada.id;
                transaction.createdAt = QDateTime::currentDateTimeUtc();
                transaction.transactionType = u"remove_background"_s;
                transaction.creditChange = -1;
                if (store.chargeRemoval(transaction) == AccountStore::Charge::charged)
                    ++charged;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(charged, 30);
    EXPECT_EQ(store.account(ada.id)->credits, 0);

    const TransactionPage first = store.transactions(ada.id, 1, 20);
    const TransactionPage second = store.transactions(ada.id, 2, 20);
    EXPECT_EQ(first.totalCount, 31);
    ASSERT_EQ(first.rows.size(), 20u);
    ASSERT_EQ(second.rows.size(), 11u);
    EXPECT_EQ(second.rows.back().transactionType, u"credit_grant"_s);
    std::set<QString> ids;
    for (const auto* page : {&first, &second}) {
        for (const ServiceTransaction& row : page->rows)
            ids.insert(row.publicId);
    }
    EXPECT_EQ(ids.size(), 31u);
    EXPECT_GE(first.rows.front().createdAt, first.rows.back().createdAt);
    EXPECT_EQ(store.transaction(first.rows.front().publicId)->id, first.rows.front().id);
    EXPECT_FALSE(store.transaction(u"0123456789abcdef0123456789abcdef"_s).has_value());

    // An old accounts file comes in once, with its previews under new names.
    PrivateImageFolder images(folder.filePath(u"images"_s));
    ASSERT_TRUE(images.prepare(&error));
    const QString legacy = writeLegacyAccountsFile(folder);
    QString message;
    ASSERT_TRUE(importAccountsFile(store, legacy, images, &message)) << message.toStdString();
    EXPECT_TRUE(message.contains(u"1 accounts, 2 transactions, 1 previews; 1 accounts skipped"_s)) << message.toStdString();
    const auto bo = store.accountForLogin(u"bo@example.org"_s, u"pw"_s);
    ASSERT_TRUE(bo.has_value());
    EXPECT_EQ(bo->credits, 3);
    const TransactionPage boRows = store.transactions(bo->id, 1, 20);
    ASSERT_EQ(boRows.rows.size(), 2u);
    EXPECT_EQ(boRows.rows.front().transactionType, u"remove_background"_s);
    const QString moved = PrivateImageFolder::nameInAddress(boRows.rows.front().originImage);
    EXPECT_EQ(images.read(moved).value_or(QByteArray()), "preview bytes");
    EXPECT_TRUE(boRows.rows.front().outputImage.isEmpty()); // its file was gone
    ASSERT_TRUE(importAccountsFile(store, legacy, images, &message));
    EXPECT_TRUE(message.contains(u"imported before"_s)) << message.toStdString();
    EXPECT_EQ(store.transactions(bo->id, 1, 20).totalCount, 2);
}

} // namespace

TEST(AccountStoreTest, SQLiteKeepsAccountsCreditsAndTransactions)
{
    QTemporaryDir folder;
    exerciseStore(folder.filePath(u"service.sqlite"_s), QDir(folder.path()));

    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"inspect"_s);
    db.setDatabaseName(folder.filePath(u"service.sqlite"_s));
    ASSERT_TRUE(db.open());
    QSqlQuery mode(u"PRAGMA journal_mode"_s, db);
    ASSERT_TRUE(mode.next());
    EXPECT_EQ(mode.value(0).toString(), u"wal"_s);
}

TEST(AccountStoreTest, PostgreSQLKeepsAccountsCreditsAndTransactions)
{
    ThrowawayPostgres postgres;
    if (!postgres.isInstalled())
        GTEST_SKIP() << "PostgreSQL is not installed (tools/setup.sh installs it)";
    ASSERT_FALSE(postgres.address().isEmpty()) << postgres.error().toStdString();
    QTemporaryDir folder;
    exerciseStore(postgres.address(), QDir(folder.path()));

    // A server that goes away is a failure of each call, never a crash or a success.
    AccountStore store(postgres.address(), std::chrono::seconds(2), folder.filePath(u"api-keys.secret"_s));
    QString error;
    ASSERT_TRUE(store.open(&error)) << error.toStdString();
    ASSERT_TRUE(store.accountForApiKey(u"key-ada"_s).has_value());
    postgres.stop();
    EXPECT_THROW(store.accountForApiKey(u"key-ada"_s), StoreFailure);
    ServiceTransaction transaction;
    transaction.accountId = 1;
    transaction.createdAt = QDateTime::currentDateTimeUtc();
    EXPECT_THROW(store.chargeRemoval(transaction), StoreFailure);
}

TEST(AccountStoreTest, AWriteThatCannotHappenFailsAndChangesNothing)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(u"service.sqlite"_s);
    AccountStore store(path, std::chrono::milliseconds(200));
    QString error;
    ASSERT_TRUE(store.open(&error)) << error.toStdString();
    const ServiceAccount ada = store.addAccount(u"Ada"_s, u"ada@example.org"_s, u"pw"_s, u"key-ada"_s, 5);

    // Another writer holds the database longer than the store waits.
    QSqlDatabase other = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"other"_s);
    other.setDatabaseName(path);
    ASSERT_TRUE(other.open());
    QSqlQuery lock(other);
    ASSERT_TRUE(lock.exec(u"BEGIN EXCLUSIVE"_s));
    ServiceTransaction transaction;
    transaction.accountId = ada.id;
    transaction.createdAt = QDateTime::currentDateTimeUtc();
    transaction.transactionType = u"remove_background"_s;
    EXPECT_THROW(store.chargeRemoval(transaction), StoreFailure);
    ASSERT_TRUE(lock.exec(u"ROLLBACK"_s));

    EXPECT_EQ(store.account(ada.id)->credits, 5);
    EXPECT_EQ(store.transactions(ada.id, 1, 20).totalCount, 1);
    EXPECT_EQ(store.chargeRemoval(transaction), AccountStore::Charge::charged);
    EXPECT_EQ(store.account(ada.id)->credits, 4);
}

TEST(AccountStoreTest, ACopyOfTheDatabaseHoldsNoKeyAndNoFastPasswordHash)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(u"service.sqlite"_s);
    // An account of an earlier version: salted SHA-256 and the key in the clear.
    {
        AccountStore store(path);
        QString error;
        ASSERT_TRUE(store.open(&error)) << error.toStdString();
        ServiceAccount old;
        old.name = u"Old"_s;
        old.email = u"old@example.org"_s;
        old.passwordSalt = u"salt"_s;
        old.passwordSHA256 = QString::fromLatin1(QCryptographicHash::hash("saltpw", QCryptographicHash::Sha256).toHex());
        old.apiKey = u"key-old"_s;
        old.credits = 2;
        ASSERT_TRUE(store.importAccount(old, {}));
        store.addAccount(u"New"_s, u"new@example.org"_s, u"pw"_s, u"key-new"_s, 1);
    }
    const auto columns = [&](const QString& email) {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"inspect"_s);
        db.setDatabaseName(path);
        EXPECT_TRUE(db.open());
        QSqlQuery query(db);
        EXPECT_TRUE(query.exec(u"SELECT * FROM accounts WHERE email = '%1'"_s.arg(email)));
        QStringList values;
        if (query.next()) {
            for (int i = 0; i < query.record().count(); ++i)
                values.append(query.record().fieldName(i) + u'=' + query.value(i).toString());
        }
        query.finish();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(u"inspect"_s);
        return values.join(u' ');
    };
    for (const auto& [email, key] : {std::pair{u"old@example.org"_s, u"key-old"_s}, std::pair{u"new@example.org"_s, u"key-new"_s}})
        EXPECT_FALSE(columns(email).contains(key)) << columns(email).toStdString();
    EXPECT_TRUE(columns(u"new@example.org"_s).contains(u"password_hash=$argon2id$"_s));
    EXPECT_TRUE(columns(u"old@example.org"_s).contains(u"password_sha256="_s + QString::fromLatin1(
        QCryptographicHash::hash("saltpw", QCryptographicHash::Sha256).toHex())));

    AccountStore store(path);
    QString error;
    ASSERT_TRUE(store.open(&error)) << error.toStdString();
    EXPECT_FALSE(store.accountForLogin(u"old@example.org"_s, u"wrong"_s).has_value());
    const auto old = store.accountForLogin(u"old@example.org"_s, u"pw"_s);
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->apiKey, u"key-old"_s);
    // Moved to Argon2id at this sign-in; the fast hash is gone.
    EXPECT_TRUE(columns(u"old@example.org"_s).contains(u"password_hash=$argon2id$"_s)) << columns(u"old@example.org"_s).toStdString();
    EXPECT_TRUE(columns(u"old@example.org"_s).contains(u"password_sha256= "_s));
    EXPECT_TRUE(store.accountForLogin(u"old@example.org"_s, u"pw"_s).has_value());
    EXPECT_EQ(store.accountForApiKey(u"key-old"_s)->email, u"old@example.org"_s);

    // Without its key file, the database gives no key.
    QFile::remove(path + u".key"_s);
    AccountStore copy(path);
    ASSERT_TRUE(copy.open(&error)) << error.toStdString();
    EXPECT_FALSE(copy.accountForApiKey(u"key-old"_s).has_value());
    EXPECT_TRUE(copy.accountForLogin(u"new@example.org"_s, u"pw"_s)->apiKey.isEmpty());
}

TEST(AccountStoreTest, AStoppedPostgreSQLFailsWithinTheTimeOutAndARestartedOneCostsNoCall)
{
    ThrowawayPostgres postgres;
    if (!postgres.isInstalled())
        GTEST_SKIP() << "PostgreSQL is not installed (tools/setup.sh installs it)";
    ASSERT_FALSE(postgres.address().isEmpty()) << postgres.error().toStdString();
    QTemporaryDir folder;
    AccountStore store(postgres.address(), std::chrono::seconds(1), folder.filePath(u"api-keys.secret"_s));
    QString error;
    ASSERT_TRUE(store.open(&error)) << error.toStdString();
    store.addAccount(u"Ada"_s, u"ada@example.org"_s, u"pw"_s, u"key-ada"_s, 5);

    postgres.signalServer(SIGSTOP);
    QElapsedTimer timer;
    timer.start();
    EXPECT_THROW(store.accountForApiKey(u"key-ada"_s), StoreFailure);
    EXPECT_LT(timer.elapsed(), 4000);
    postgres.signalServer(SIGCONT);

    ASSERT_TRUE(store.accountForApiKey(u"key-ada"_s).has_value());
    ASSERT_TRUE(postgres.restart()) << postgres.error().toStdString();
    // The connection the restart closed is replaced before it is used.
    EXPECT_TRUE(store.accountForApiKey(u"key-ada"_s).has_value());
}
