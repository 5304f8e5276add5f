// The service's store with a million transactions on one account: listing a page and recording a
// removal (one credit taken with its transaction), medians of many runs.
//
//   kivo_service_store_bench --database ADDRESS [--transactions N] [--runs N]
//
// ADDRESS is a SQLite file (made fresh) or a postgresql:// address of an empty database.

#include "AccountStore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace kivo::service;

namespace {

double medianMilliseconds(int runs, const std::function<void()>& work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Rows straight into the tables (one statement), the way an old busy account would have them.
bool seed(const QString& address, bool postgres, qint64 accountId, qint64 count, QString* error)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(postgres ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"),
                                                QStringLiteral("seed"));
    if (postgres) {
        const QUrl url(address);
        db.setDatabaseName(url.path().mid(1));
        db.setUserName(url.userName());
        db.setHostName(QUrlQuery(url).queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded));
    } else {
        db.setDatabaseName(address);
    }
    if (!db.open()) {
        *error = db.lastError().text();
        return false;
    }
    const qint64 start = QDateTime::currentMSecsSinceEpoch() - count * 1000;
    const QString insert = postgres
        ? QStringLiteral("INSERT INTO transactions (public_id, account_id, created_at, transaction_type, credit_change, "
                         "description) SELECT md5(random()::text || i), %1, %2 + i * 1000, 'remove_background', -1, "
                         "'Background removal' FROM generate_series(1, %3) AS i")
        : QStringLiteral("INSERT INTO transactions (public_id, account_id, created_at, transaction_type, credit_change, "
                         "description) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %3) "
                         "SELECT lower(hex(randomblob(16))), %1, %2 + i * 1000, 'remove_background', -1, "
                         "'Background removal' FROM n");
    QSqlQuery query(db);
    if (!query.exec(insert.arg(accountId).arg(start).arg(count))
        || !query.exec(QStringLiteral("UPDATE accounts SET transaction_count = transaction_count + %1 WHERE id = %2")
                           .arg(count)
                           .arg(accountId))
        || (postgres && !query.exec(QStringLiteral("ANALYZE")))) {
        *error = query.lastError().text();
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption databaseOption(QStringLiteral("database"), QStringLiteral("SQLite file or postgresql:// address."),
                                            QStringLiteral("ADDRESS"));
    const QCommandLineOption countOption(QStringLiteral("transactions"), QStringLiteral("Transactions to seed."),
                                         QStringLiteral("N"), QStringLiteral("1000000"));
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("Runs per figure."), QStringLiteral("N"),
                                        QStringLiteral("51"));
    parser.addOptions({databaseOption, countOption, runsOption});
    parser.addHelpOption();
    parser.process(app);
    const QString address = parser.value(databaseOption);
    const qint64 count = parser.value(countOption).toLongLong();
    const int runs = std::max(1, parser.value(runsOption).toInt());
    const bool postgres = address.startsWith(QStringLiteral("postgres"));
    if (address.isEmpty()) {
        std::fprintf(stderr, "kivo_service_store_bench: --database is required\n");
        return 2;
    }
    if (!postgres)
        QFile::remove(address);

    // The secret that protects API keys lives beside the run's other files.
    AccountStore store(address, std::chrono::seconds(5),
                       QDir(QDir::tempPath()).filePath(QStringLiteral("kivo-service-store-bench.secret")));
    QString error;
    if (!store.open(&error)) {
        std::fprintf(stderr, "kivo_service_store_bench: %s\n", qPrintable(error));
        return 1;
    }
    const ServiceAccount account =
        store.addAccount(QStringLiteral("Busy"), QStringLiteral("busy@example.org"), QStringLiteral("pw"),
                         QStringLiteral("key-busy"), runs * 2);
    QElapsedTimer timer;
    timer.start();
    if (!seed(address, postgres, account.id, count, &error)) {
        std::fprintf(stderr, "kivo_service_store_bench: seeding failed: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s: %lld transactions seeded in %.1f s\n", qPrintable(store.description()), count,
                double(timer.elapsed()) / 1000.0);

    const double firstPage = medianMilliseconds(runs, [&] { store.transactions(account.id, 1, 20); });
    const double middlePage = medianMilliseconds(std::max(1, runs / 10), [&] {
        store.transactions(account.id, int(count / 40), 20);
    });
    const double signIn = medianMilliseconds(runs, [&] { store.accountForApiKey(QStringLiteral("key-busy")); });
    const double record = medianMilliseconds(runs, [&] {
        ServiceTransaction transaction;
        transaction.accountId = account.id;
        transaction.createdAt = QDateTime::currentDateTimeUtc();
        transaction.transactionType = QStringLiteral("remove_background");
        transaction.creditChange = -1;
        transaction.route = QStringLiteral("/v1.0.1/remove_background");
        store.chargeRemoval(transaction);
    });
    std::printf("list page 1 (20 rows): %.2f ms median of %d\n", firstPage, runs);
    std::printf("list page %lld (middle): %.2f ms median of %d\n", count / 40, middlePage, std::max(1, runs / 10));
    std::printf("account by API key: %.2f ms median of %d\n", signIn, runs);
    std::printf("record a removal (credit + transaction, committed): %.2f ms median of %d\n", record, runs);
    return 0;
}
