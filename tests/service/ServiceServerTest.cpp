// The service run in-process: sign-in, refusals of the removal endpoint, the transactions list,
// the pages and images with their unguessable addresses, the removal queue's limit and the log.

#include "RemovalQueue.h"
#include "SignInLimiter.h"
#include "service/ServiceFixture.h"
#include "service/ServiceProcess.h"

#include "support/TestSupport.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <thread>

using namespace kivo;
using namespace kivo::service;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

std::string loginBody(const QJsonObject& fields)
{
    QJsonObject body = fields;
    body.insert("app_id", 1);
    body.insert("device_info", QJsonObject{{"os_version", "Linux 6.1.0"}, {"installation_uuid", "X"}});
    return QJsonDocument(body).toJson().toStdString();
}

QByteArray testFile(const QString& name)
{
    QFile file(testDataPath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QRegularExpression kToken(u"^[0-9a-f]{32}$"_s);

using ServiceServerTest = ServiceFixture;

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

TEST_F(ServiceServerTest, RemovalRefusalsNeedNoModelAndCostNothing)
{
    store->addAccount(u"Bo"_s, u"bo@example.org"_s, u"pw"_s, u"key-empty"_s, 0);
    const QByteArray jpeg = testFile(u"coffee.jpg"_s);
    ASSERT_FALSE(jpeg.isEmpty());
    const std::string truncated = jpeg.left(jpeg.size() * 6 / 10).toStdString();

    const struct {
        std::string key;
        httplib::MultipartFormDataItems items;
        int status;
        QString error; // the start of the error text
    } cases[] = {
        {"", {{"image", "plain text", "notes.png", "image/png"}}, 401, u"Missing API key"_s},
        {"key-other", {{"image", "plain text", "notes.png", "image/png"}}, 401, u"Invalid API key"_s},
        {"key-empty", {{"image", jpeg.toStdString(), "coffee.jpg", "image/jpeg"}}, 402, u"Not enough credits"_s},
        {"key-ada", {{"return_type", "base64", "", ""}}, 400, u"No image in the request"_s},
        {"key-ada", {{"image", "plain text", "notes.png", "image/png"}}, 400, u"The image could not be decoded: not an image"_s},
        {"key-ada", {{"image", truncated, "coffee.jpg", "image/jpeg"}}, 400, u"The image could not be decoded: the image is truncated"_s},
        {"key-ada", {{"image", "plain text", "notes.png", "image/png"}, {"quality", "ultra", "", ""}}, 400, u"quality must be fast, balanced or high"_s},
        {"key-ada", {{"image", "plain text", "notes.png", "image/png"}, {"quality", "High Quality", "", ""}}, 400, u"quality must be fast, balanced or high"_s},
        {"key-ada", {{"image", "plain text", "notes.png", "image/png"}, {"quality", "", "", ""}}, 400, u"quality must be fast, balanced or high"_s},
    };
    for (const auto& c : cases) {
        auto items = c.items;
        items.insert(items.begin(), {"return_type", "base64", "", ""});
        const auto result = removal(c.key, items);
        ASSERT_TRUE(result) << c.error.toStdString();
        EXPECT_EQ(result->status, c.status) << result->body;
        EXPECT_TRUE(jsonObject(result->body).value("error").toString().startsWith(c.error)) << result->body;
    }
    EXPECT_EQ(credits(), 5);
    EXPECT_EQ(store->transactions(account.id, 1, 20).totalCount, 1); // the welcome credits only
}

TEST_F(ServiceServerTest, OversizedAndMalformedRequestsAreRefusedAndServingGoesOn)
{
    const std::string oversized(64 * 1024 + 1, 'x');
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
        EXPECT_EQ(result->status, 400) << type;
    }

    // Bytes that are no HTTP request at all.
    EXPECT_TRUE(rawExchange(QByteArray(5000, '\x01') + "\r\n\r\n").startsWith("HTTP/1.1 400"));

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
        store->recordTransaction(transaction);
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
    EXPECT_TRUE(kToken.match(newest.value("id").toString()).hasMatch()) << result->body;
    EXPECT_TRUE(QRegularExpression(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\+00:00$"_s)
                    .match(newest.value("created_at").toString())
                    .hasMatch())
        << newest.value("created_at").toString().toStdString();
    EXPECT_EQ(newest.value("invoice_url").toString(),
              server->address() + u"/transactions/"_s + newest.value("id").toString());
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

TEST_F(ServiceServerTest, PagesOpenOnlyAtTheirUnguessableAddresses)
{
    const TransactionPage page = store->transactions(account.id, 1, 20);
    ASSERT_EQ(page.rows.size(), 1u);
    const QString welcome = page.rows.front().publicId;
    ASSERT_TRUE(kToken.match(welcome).hasMatch()) << welcome.toStdString();

    for (const std::string& path : std::vector<std::string>{"/", "/profile", "/profile/transactions",
                                                             "/transactions/" + welcome.toStdString()}) {
        const auto result = client->Get(path);
        ASSERT_TRUE(result) << path;
        EXPECT_EQ(result->status, 200) << path;
        EXPECT_EQ(result->get_header_value("Content-Type"), "text/html; charset=utf-8") << path;
    }
    // Counting no longer finds anything.
    for (const char* path : {"/transactions/1", "/transactions/2", "/images/1.png",
                             "/images/00000000000000000000000000000001.png", "/images/../service.sqlite"}) {
        const auto result = client->Get(path);
        ASSERT_TRUE(result) << path;
        EXPECT_EQ(result->status, 404) << path;
    }
    const auto avatar = client->Get("/avatar/1.png");
    ASSERT_TRUE(avatar);
    EXPECT_FALSE(QImage::fromData(QByteArray::fromStdString(avatar->body), "PNG").isNull());
    EXPECT_EQ(QFile::permissions(folder.filePath(u"images"_s)),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadUser
                  | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

class SmallQueueTest : public ServiceFixture {
protected:
    void adjust(ServiceServer::Options& options) override { options.removalQueueCapacity = 1; }
};

TEST_F(SmallQueueTest, UploadsThatHaveNotArrivedHoldNoPlace)
{
    // Uploads that stall after their first bytes and heads that wait for "100 Continue" hold
    // the connection only: the one place stays free for a removal whose body has arrived.
    std::vector<std::unique_ptr<RawConnection>> stalled;
    for (const bool expectContinue : {false, true, false, true}) {
        stalled.push_back(std::make_unique<RawConnection>(server->port()));
        ASSERT_TRUE(stalled.back()->send(
            "POST /v1.0.1/remove_background HTTP/1.1\r\nHost: x\r\nX-API-KEY: key-ada\r\n"
            "Content-Type: multipart/form-data; boundary=B\r\nContent-Length: 100000\r\n"
            + QByteArray(expectContinue ? "Expect: 100-continue\r\n\r\n" : "\r\n--B\r\n")));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto judged = removal("key-ada", {{"image", "not an image", "a.png", "image/png"}});
    ASSERT_TRUE(judged);
    EXPECT_EQ(judged->status, 400) << judged->body;

    const auto listing = client->Get("/api/transactions?page=1&limit=20&app_id=1&api_key=key-ada");
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->status, 200);
    EXPECT_EQ(credits(), 5);
}

TEST(RemovalQueueTest, OneAccountHoldsAtMostAQuarterOfThePlaces)
{
    RemovalQueue queue(16, 0);
    std::vector<RemovalQueue::PlaceHandle> held;
    for (int i = 0; i < 6; ++i) {
        if (auto place = queue.reserve(1))
            held.push_back(std::move(place));
    }
    EXPECT_EQ(held.size(), 4u);
    for (qint64 account = 2; account <= 4; ++account) {
        for (int i = 0; i < 4; ++i) {
            auto place = queue.reserve(account);
            ASSERT_TRUE(place) << account;
            held.push_back(std::move(place));
        }
    }
    // All 16 taken: even a new account waits.
    EXPECT_FALSE(queue.reserve(5));
    held.erase(held.begin());
    EXPECT_FALSE(queue.reserve(2));
    EXPECT_TRUE(queue.reserve(1));
}

TEST_F(ServiceServerTest, OnlyPhotoFormatsAreDecodedAndNothingOutsideTheUploadIsRead)
{
    // A file of the server that an SVG names: it must never come back in a cut-out.
    const QString secret = folder.filePath(u"secret.png"_s);
    QImage red(32, 32, QImage::Format_RGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(secret));
    const std::string svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
                                           "width=\"64\" height=\"64\"><image xlink:href=\"%1\" width=\"64\" height=\"64\"/></svg>")
                                .arg(secret)
                                .toStdString();
    const auto encoded = [](const char* format) {
        QImage image(16, 16, QImage::Format_RGB32);
        image.fill(Qt::blue);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        EXPECT_TRUE(image.save(&buffer, format)) << format;
        return bytes.toStdString();
    };
    const std::pair<const char*, std::string> uploads[] = {
        {"svg", svg}, {"ico", encoded("ICO")}, {"xpm", encoded("XPM")}, {"pbm", encoded("PBM")}, {"xbm", encoded("XBM")}};
    for (const auto& [name, bytes] : uploads) {
        const auto refused = removal("key-ada", {{"image", bytes, "photo.png", "image/png"}});
        ASSERT_TRUE(refused) << name;
        EXPECT_EQ(refused->status, 400) << name;
        EXPECT_TRUE(jsonObject(refused->body).value("error").toString().contains(u"not an image in a supported format"_s))
            << name << ": " << refused->body;
    }
    EXPECT_EQ(credits(), 5);
}

TEST_F(ServiceServerTest, RepeatedWrongPasswordsAreRefusedWithRetryAfterEvenWhenTheRightOneFollows)
{
    const auto signIn = [&](const char* password) {
        return client->Post("/api/app/login",
                            QJsonDocument(QJsonObject{{"email", "ada@example.org"}, {"password", password}}).toJson().toStdString(),
                            "application/json");
    };
    int unauthorised = 0;
    int lastStatus = 0;
    int retryAfter = 0;
    for (int i = 0; i < 12; ++i) {
        const auto answer = signIn("wrong");
        ASSERT_TRUE(answer);
        unauthorised += answer->status == 401;
        lastStatus = answer->status;
        retryAfter = QByteArray::fromStdString(answer->get_header_value("Retry-After")).toInt();
    }
    EXPECT_EQ(unauthorised, SignInLimiter::kFreeFailuresPerAccount);
    EXPECT_EQ(lastStatus, 429);
    EXPECT_GE(retryAfter, 5);
    const auto right = signIn("s3cret pass");
    ASSERT_TRUE(right);
    EXPECT_EQ(right->status, 429);

    // Another account from another address is not held up: the limits are per account and
    // per address, and only the account's were reached here.
    SignInLimiter limiter;
    for (int i = 0; i < SignInLimiter::kFreeFailuresPerAccount; ++i)
        limiter.recordFailure(u"10.0.0.1"_s, u"ada@example.org"_s);
    EXPECT_GE(limiter.secondsToWait(u"10.0.0.2"_s, u"ADA@example.org"_s), 1);
    EXPECT_EQ(limiter.secondsToWait(u"10.0.0.2"_s, u"bo@example.org"_s), 0);
    limiter.recordSuccess(u"ada@example.org"_s);
    EXPECT_EQ(limiter.secondsToWait(u"10.0.0.2"_s, u"ada@example.org"_s), 0);
}

TEST(RequestLogLineTest, TheQueryCannotRewriteTheOtherFields)
{
    for (const char* target : {"/?x=%3C", "/?x=%251%252%253%254%255", "/?%3=%4"}) {
        const QString line = requestLogLine("127.0.0.1", "GET", target, 200, 778);
        EXPECT_TRUE(line.endsWith(u" 200 778 bytes"_s)) << line.toStdString();
        EXPECT_TRUE(line.startsWith(u"[kivopro-service] 127.0.0.1 GET /?"_s)) << line.toStdString();
    }
}

TEST_F(ServiceServerTest, LogsOneLinePerRequestWithoutTheKey)
{
    StdoutCapture output;
    client->Get("/api/transactions?page=1&limit=20&app_id=1&api_key=key-ada");
    removal("key-ada", {{"return_type", "base64", "", ""}});
    // The line is written once the answer has gone out: wait for it.
    waitUntil([&] { return output.text().count(u"[kivopro-service] "_s) >= 2; }, std::chrono::seconds(5));
    const QString text = output.text();
    EXPECT_EQ(text.count(u"[kivopro-service] "_s), 2) << text.toStdString();
    EXPECT_TRUE(text.contains(u"GET /api/transactions?api_key=[hidden]&app_id=1&limit=20&page=1 200"_s)) << text.toStdString();
    EXPECT_FALSE(text.contains(u"key-ada"_s));
}

TEST(ServiceProgramTest, WithoutTheModelRemovalsSayWhyAndTheRestWorks)
{
    QTemporaryDir empty;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"XDG_DATA_HOME"_s, empty.path());
    environment.insert(u"XDG_DATA_DIRS"_s, empty.path());
    ServiceProcess service({}, {}, environment);
    ASSERT_TRUE(service.isReady()) << service.output().toStdString();
    httplib::Client http(service.address().toStdString());
    ASSERT_TRUE(waitUntil([&] { return service.output().contains(u"removals are unavailable"_s); }));

    const auto refused = http.Post("/v1.0.1/remove_background", {{"X-API-KEY", service.apiKey().toStdString()}},
                                   httplib::MultipartFormDataItems{{"image", "x", "x.png", "image/png"}});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);
    EXPECT_FALSE(refused->get_header_value("Retry-After").empty());
    EXPECT_NE(refused->body.find("tools/setup.sh"), std::string::npos) << refused->body;
    const auto listing = http.Get(("/api/transactions?api_key=" + service.apiKey().toStdString()).c_str());
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->status, 200);
}
