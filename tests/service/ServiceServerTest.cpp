// The stand-in service run in-process on a free loopback port: sign-in, refusals of the removal
// endpoint, the transactions list, the accounts file, the pages and robustness against bad input.

#include "AccountStore.h"
#include "ServiceServer.h"

#include "support/TestSupport.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <httplib.h>

using namespace kivo;
using namespace kivo::service;
using namespace Qt::StringLiterals;

namespace {

QJsonObject jsonObject(const std::string& body)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(body)).object();
}

std::string loginBody(const QJsonObject& fields)
{
    QJsonObject body = fields;
    body.insert("app_id", 1);
    body.insert("device_info", QJsonObject{{"os_version", "Linux 6.1.0"}, {"installation_uuid", "X"}});
    return QJsonDocument(body).toJson().toStdString();
}

class ServiceServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        account = store.addAccount(u"Ada"_s, u"ada@example.org"_s, u"s3cret pass"_s, u"key-ada"_s, 5);
        ServiceServer::Options options;
        options.maxRequestBytes = maxBytes;
        server = std::make_unique<ServiceServer>(store, options);
        QString error;
        ASSERT_TRUE(server->start(&error)) << error.toStdString();
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        client->set_read_timeout(20, 0);
    }

    httplib::Result removal(const std::string& key, const httplib::MultipartFormDataItems& items)
    {
        httplib::Headers headers;
        if (!key.empty())
            headers.emplace("X-API-KEY", key);
        return client->Post("/v1.0.1/remove_background?site_url=kivo-pro-macos", headers, items);
    }

    qint64 credits() { return store.account(account.id)->credits; }

    // Sends bytes as they are and returns everything the server answers until it closes.
    QByteArray rawExchange(const QByteArray& request)
    {
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, quint16(server->port()));
        if (!socket.waitForConnected(5000))
            return {};
        socket.write(request);
        QByteArray answer;
        QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
            socket.waitForReadyRead(100);
            answer += socket.readAll();
        }
        return answer + socket.readAll();
    }

    QTemporaryDir folder;
    AccountStore store{folder.filePath(u"accounts.json"_s)};
    ServiceAccount account;
    std::size_t maxBytes = 50u * 1024u * 1024u;
    std::unique_ptr<ServiceServer> server;
    std::unique_ptr<httplib::Client> client;
};

} // namespace

TEST_F(ServiceServerTest, SignsInWithPasswordOrApiKey)
{
    auto result = client->Post("/api/app/login",
                               loginBody({{"email", "ADA@example.org"}, {"password", "s3cret pass"}}), "application/json");
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    QJsonObject object = jsonObject(result->body);
    EXPECT_EQ(object.value("id").toInteger(), account.id);
    EXPECT_EQ(object.value("name"), u"Ada"_s);
    EXPECT_EQ(object.value("email"), u"ada@example.org"_s);
    EXPECT_EQ(object.value("api_key"), u"key-ada"_s);
    EXPECT_EQ(object.value("credits").toInteger(), 5);
    EXPECT_TRUE(object.value("image").toString().startsWith(server->address()));
    const QJsonObject app = object.value("apps").toArray().at(0).toObject();
    EXPECT_EQ(app.value("id"), 1);
    EXPECT_EQ(app.value("title"), u"kivopro-for-macos"_s);
    EXPECT_TRUE(app.value("version").isString());

    result = client->Post("/api/app/login", loginBody({{"api_key", "key-ada"}}), "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(jsonObject(result->body), object);

    result = client->Post("/api/app/login", loginBody({{"email", "ada@example.org"}, {"password", "wrong"}}),
                          "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 401);
    EXPECT_EQ(jsonObject(result->body).value("error"), u"Invalid email or password"_s);

    result = client->Post("/api/app/login", loginBody({{"api_key", "key-other"}}), "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 401);

    for (const std::string& body : {std::string("{not json"), std::string("[1,2]"), loginBody({})}) {
        result = client->Post("/api/app/login", body, "application/json");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 400) << body;
        EXPECT_TRUE(jsonObject(result->body).value("error").isString()) << result->body;
    }
}

TEST_F(ServiceServerTest, RemovalRefusesUnknownKeysAndMissingImages)
{
    const httplib::MultipartFormDataItems noImage{{"return_type", "base64", "", ""}};
    const httplib::MultipartFormDataItems notAnImage{{"return_type", "base64", "", ""},
                                                     {"image", "plain text", "notes.png", "image/png"}};

    auto result = removal("", notAnImage);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 401);
    EXPECT_EQ(result->body, R"({"error":"Missing API key"})");

    result = removal("key-other", notAnImage);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 401);
    EXPECT_EQ(result->body, R"({"error":"Invalid API key"})");

    result = removal("key-ada", noImage);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 400);
    EXPECT_TRUE(jsonObject(result->body).value("error").isString());

    result = removal("key-ada", notAnImage);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 400);
    EXPECT_EQ(jsonObject(result->body).value("error"), u"The image could not be decoded"_s);

    for (const char* quality : {"ultra", "High Quality", ""}) {
        httplib::MultipartFormDataItems withQuality = notAnImage;
        withQuality.push_back({"quality", quality, "", ""});
        result = removal("key-ada", withQuality);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 400) << quality;
        EXPECT_EQ(jsonObject(result->body).value("error"), u"quality must be fast, balanced or high"_s) << quality;
    }

    EXPECT_EQ(credits(), 5);
    EXPECT_EQ(store.transactions(account.id).size(), 1u); // the welcome credits only
}

TEST_F(ServiceServerTest, OversizedAndMalformedRequestsAreRefusedAndServingGoesOn)
{
    const std::string oversized(maxBytes + 1, 'x');
    auto result = client->Post("/api/app/login", oversized, "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 413);

    // Without a declared length, the limit applies while reading.
    QByteArray chunked = "POST /v1.0.1/remove_background HTTP/1.1\r\nHost: x\r\nX-API-KEY: key-ada\r\n"
                         "Content-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n";
    const QByteArray chunk(1 << 20, 'y');
    for (std::size_t sent = 0; sent <= maxBytes; sent += std::size_t(chunk.size()))
        chunked += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
    EXPECT_TRUE(rawExchange(chunked).startsWith("HTTP/1.1 413 "));

    const std::pair<std::string, std::string> malformed[] = {
        {"multipart/form-data; boundary=XYZ", "no delimiter at all"},
        {"multipart/form-data", "--\r\n\r\n"},
        {"multipart/form-data; boundary=XYZ", "--XYZ\r\nContent-Disposition: form-data; name=\"image\"; filename=\"" +
                                                  std::string(20000, 'a') + "\"\r\n\r\nabc\r\n--XYZ--\r\n"},
        {"multipart/form-data; boundary=XYZ", "--XYZ\r\n" + std::string(100000, '\n') + "--XYZ--\r\n"},
    };
    for (const auto& [type, body] : malformed) {
        result = client->Post("/v1.0.1/remove_background", {{"X-API-KEY", "key-ada"}}, body, type);
        ASSERT_TRUE(result) << type;
        EXPECT_GE(result->status, 400) << type;
        EXPECT_LT(result->status, 500) << type;
    }

    // Bytes that are no HTTP request at all.
    EXPECT_TRUE(rawExchange(QByteArray(5000, '\x01') + "\r\n\r\n").startsWith("HTTP/1.1 4"));

    result = client->Get("/api/transactions?page=x&api_key=key-ada");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 400);

    result = client->Get("/");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(credits(), 5);
}

TEST_F(ServiceServerTest, ListsTransactionsNewestFirstPageByPage)
{
    for (int i = 0; i < 25; ++i) {
        ServiceTransaction transaction;
        transaction.accountId = account.id;
        transaction.createdAt = QDateTime::currentDateTimeUtc().addSecs(i + 1);
        transaction.transactionType = u"remove_background"_s;
        transaction.creditChange = -1;
        transaction.route = u"/v1.0.1/remove_background"_s;
        transaction.siteURL = u"kivo-pro-macos"_s;
        transaction.description = QString::number(i);
        store.recordTransaction(transaction);
    }

    auto result = client->Get("/api/transactions?page=1&limit=20&app_id=1&api_key=key-ada");
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    QJsonObject object = jsonObject(result->body);
    const QJsonArray rows = object.value("transactions").toArray();
    ASSERT_EQ(rows.size(), 20);
    const QJsonObject newest = rows.at(0).toObject();
    EXPECT_EQ(newest.value("description"), u"24"_s);
    EXPECT_EQ(newest.value("transaction_type"), u"remove_background"_s);
    EXPECT_EQ(newest.value("amount").toInteger(), -1);
    EXPECT_EQ(newest.value("credit_change").toInteger(), -1);
    EXPECT_EQ(newest.value("route"), u"/v1.0.1/remove_background"_s);
    EXPECT_EQ(newest.value("site_url"), u"kivo-pro-macos"_s);
    EXPECT_TRUE(newest.value("id").isDouble());
    EXPECT_TRUE(QRegularExpression(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\+00:00$"_s)
                    .match(newest.value("created_at").toString())
                    .hasMatch())
        << newest.value("created_at").toString().toStdString();
    EXPECT_TRUE(QUrl(newest.value("invoice_url").toString()).isValid());
    EXPECT_EQ(rows.at(1).toObject().value("description"), u"23"_s);

    const QJsonObject pagination = object.value("pagination").toObject();
    EXPECT_EQ(pagination.value("current_page"), 1);
    EXPECT_EQ(pagination.value("total_pages"), 2);
    EXPECT_EQ(pagination.value("total_count"), 26);
    EXPECT_EQ(pagination.value("has_next_page"), true);
    EXPECT_EQ(pagination.value("has_prev_page"), false);
    EXPECT_EQ(pagination.value("limit"), 20);

    result = client->Get("/api/transactions?page=2&limit=20&app_id=1&api_key=key-ada");
    ASSERT_TRUE(result);
    object = jsonObject(result->body);
    ASSERT_EQ(object.value("transactions").toArray().size(), 6);
    // The oldest is the account's welcome grant, without route or site.
    const QJsonObject oldest = object.value("transactions").toArray().last().toObject();
    EXPECT_EQ(oldest.value("amount").toInteger(), 5);
    EXPECT_FALSE(oldest.contains("route"));
    EXPECT_EQ(object.value("pagination").toObject().value("has_next_page"), false);

    result = client->Get("/api/transactions?page=1&limit=20&app_id=1");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 401);
    EXPECT_TRUE(jsonObject(result->body).value("error").isString());
}

TEST_F(ServiceServerTest, PagesForTheApplicationsLinks)
{
    for (const char* path : {"/", "/profile", "/profile/transactions", "/transactions/1"}) {
        const auto result = client->Get(path);
        ASSERT_TRUE(result) << path;
        EXPECT_EQ(result->status, 200) << path;
        EXPECT_EQ(result->get_header_value("Content-Type"), "text/html; charset=utf-8") << path;
    }
    auto result = client->Get("/transactions/999");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 404);
    result = client->Get("/avatar/1.png");
    ASSERT_TRUE(result);
    EXPECT_FALSE(QImage::fromData(QByteArray::fromStdString(result->body), "PNG").isNull());
}

TEST_F(ServiceServerTest, LogsOneLinePerRequestWithoutTheKey)
{
    test::StdoutCapture output;
    client->Get("/api/transactions?page=1&limit=20&app_id=1&api_key=key-ada");
    removal("key-ada", {{"return_type", "base64", "", ""}});
    // The line is written once the answer has gone out: wait for it.
    test::waitUntil([&] { return output.text().count(u"[kivopro-service] "_s) >= 2; }, std::chrono::seconds(5));
    const QString text = output.text();
    EXPECT_EQ(text.count(u"[kivopro-service] "_s), 2) << text.toStdString();
    EXPECT_TRUE(text.contains(u"GET /api/transactions?api_key=[hidden]&app_id=1&limit=20&page=1 200"_s)) << text.toStdString();
    EXPECT_FALSE(text.contains(u"key-ada"_s));
}

TEST(AccountStoreTest, KeepsAccountsInAnOwnerOnlyFile)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(u"accounts.json"_s);
    {
        AccountStore store(path);
        QString error;
        ASSERT_TRUE(store.load(&error));
        const auto demo = store.ensureDemoAccount(3);
        ASSERT_TRUE(demo.has_value());
        EXPECT_FALSE(store.ensureDemoAccount().has_value());
        const auto account = store.accountForLogin(demo->email, demo->password);
        ASSERT_TRUE(account.has_value());
        EXPECT_TRUE(store.takeCredit(account->id));
    }
    EXPECT_EQ(QFile::permissions(path), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                     | QFileDevice::ReadUser | QFileDevice::WriteUser);

    AccountStore reloaded(path);
    QString error;
    ASSERT_TRUE(reloaded.load(&error));
    const auto account = reloaded.account(1);
    ASSERT_TRUE(account.has_value());
    EXPECT_EQ(account->credits, 2);
    QFile stored(path);
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_FALSE(stored.readAll().contains("\"password\""));

    // A hand-written account may give its password in clear; a damaged file is refused, not replaced.
    const QString handWritten = folder.filePath(u"hand.json"_s);
    QFile file(handWritten);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"accounts":[{"id":7,"name":"Bo","email":"bo@example.org","password":"pw","api_key":"k7","credits":1}]})");
    file.close();
    AccountStore written(handWritten);
    ASSERT_TRUE(written.load(&error));
    EXPECT_TRUE(written.accountForLogin(u"bo@example.org"_s, u"pw"_s).has_value());
    EXPECT_FALSE(written.accountForLogin(u"bo@example.org"_s, u"PW"_s).has_value());

    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("{broken");
    file.close();
    AccountStore damaged(handWritten);
    EXPECT_FALSE(damaged.load(&error));
}
