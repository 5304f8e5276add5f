#include "AccountsFileImport.h"

#include "AccountStore.h"
#include "PrivateImageFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <map>

namespace kivo::service {

namespace {

std::optional<ServiceAccount> accountFromJson(const QJsonObject& object)
{
    ServiceAccount account;
    account.id = object.value("id").toInteger(0);
    account.name = object.value("name").toString();
    account.email = object.value("email").toString();
    account.apiKey = object.value("api_key").toString();
    account.credits = std::max<qint64>(0, object.value("credits").toInteger(0));
    account.passwordSalt = object.value("password_salt").toString();
    account.passwordSHA256 = object.value("password_sha256").toString();
    // A hand-written account may give its password in clear.
    if (object.value("password").isString())
        setPassword(account, object.value("password").toString());
    if (account.id <= 0 || account.email.isEmpty() || account.apiKey.isEmpty())
        return std::nullopt;
    return account;
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

// The preview at an old address, copied under a new name; empty when it is gone.
QString movedPreview(const QString& oldAddress, const QDir& oldFolder, const PrivateImageFolder& images, int* moved)
{
    static const QString prefix = QStringLiteral("/images/");
    if (!oldAddress.startsWith(prefix))
        return {};
    const QString fileName = oldAddress.mid(prefix.size());
    if (fileName.contains(u'/') || fileName.startsWith(u'.'))
        return {};
    QFile file(oldFolder.filePath(fileName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString error;
    const auto name = images.store(file.readAll(), &error);
    if (!name)
        return {};
    ++*moved;
    return PrivateImageFolder::addressOf(*name);
}

} // namespace

bool importAccountsFile(AccountStore& store, const QString& path, const PrivateImageFolder& images, QString* message)
{
    const QFileInfo info(path);
    const QString source = info.absoluteFilePath();
    try {
        if (store.isImported(source)) {
            *message = QStringLiteral("%1 was imported before").arg(source);
            return true;
        }
        QFile file(source);
        if (!file.open(QIODevice::ReadOnly)) {
            *message = QStringLiteral("cannot read %1: %2").arg(source, file.errorString());
            return false;
        }
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
        if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
            *message = QStringLiteral("%1 is not an accounts file: %2").arg(source, parseError.errorString());
            return false;
        }

        std::map<qint64, std::vector<ServiceTransaction>> byAccount;
        for (const QJsonValue& value : document.object().value("transactions").toArray()) {
            ServiceTransaction transaction = transactionFromJson(value.toObject());
            if (transaction.id > 0 && transaction.createdAt.isValid())
                byAccount[transaction.accountId].push_back(std::move(transaction));
        }

        const QDir oldImages(info.absoluteDir().filePath(info.completeBaseName() + QStringLiteral("-images")));
        int imported = 0;
        int skipped = 0;
        int transactions = 0;
        int previews = 0;
        for (const QJsonValue& value : document.object().value("accounts").toArray()) {
            const auto account = accountFromJson(value.toObject());
            if (!account) {
                ++skipped;
                continue;
            }
            std::vector<ServiceTransaction>& rows = byAccount[account->id];
            std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
            for (ServiceTransaction& row : rows) {
                row.originImage = movedPreview(row.originImage, oldImages, images, &previews);
                row.outputImage = movedPreview(row.outputImage, oldImages, images, &previews);
            }
            if (store.importAccount(*account, rows)) {
                ++imported;
                transactions += int(rows.size());
            } else {
                ++skipped;
            }
        }
        store.markImported(source);
        *message = QStringLiteral("imported %1: %2 accounts, %3 transactions, %4 previews; %5 accounts skipped")
                       .arg(source)
                       .arg(imported)
                       .arg(transactions)
                       .arg(previews)
                       .arg(skipped);
        return true;
    } catch (const StoreFailure& failure) {
        *message = QStringLiteral("cannot import %1: %2").arg(source, QString::fromStdString(failure.what()));
        return false;
    }
}

} // namespace kivo::service
