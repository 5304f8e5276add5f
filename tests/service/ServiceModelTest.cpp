// Removals with the segmentation network: the whole road through the real program, a kill during
// the work, a write that fails, a full queue, and two instances on one PostgreSQL database.

#include "core/PngEncoder.h"
#include "removal/engine/LocalRemovalEngine.h"

#include "service/RemoteClientFixture.h"
#include "service/ServiceFixture.h"
#include "service/ServiceProcess.h"
#include "service/SyntheticPhoto.h"
#include "service/ThrowawayPostgres.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <httplib.h>

#include <future>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

// Before main() and before any D-Bus connection exists: the credential store is the private file.
const bool noSecretService = qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kivopro-bus");

int largestChannelDifference(const QImage& a, const QImage& b)
{
    const QImage left = a.convertToFormat(QImage::Format_ARGB32);
    const QImage right = b.convertToFormat(QImage::Format_ARGB32);
    if (left.size() != right.size())
        return 256;
    int largest = 0;
    for (int y = 0; y < left.height(); ++y) {
        const auto* l = reinterpret_cast<const QRgb*>(left.constScanLine(y));
        const auto* r = reinterpret_cast<const QRgb*>(right.constScanLine(y));
        for (int x = 0; x < left.width(); ++x) {
            largest = std::max({largest, std::abs(qRed(l[x]) - qRed(r[x])), std::abs(qGreen(l[x]) - qGreen(r[x])),
                                std::abs(qBlue(l[x]) - qBlue(r[x])), std::abs(qAlpha(l[x]) - qAlpha(r[x]))});
        }
    }
    return largest;
}

std::string ballPNG()
{
    return encodePNG(makeBallPhoto()).value_or(QByteArray()).toStdString();
}

int removalStatus(httplib::Client& http, const QString& key)
{
    const auto result = http.Post("/v1.0.1/remove_background?site_url=kivo-pro-macos", {{"X-API-KEY", key.toStdString()}},
                                  {{"return_type", "base64", "", ""}, {"image", ballPNG(), "ball.png", "image/png"}});
    return result ? result->status : -1;
}

QJsonObject transactionsOf(httplib::Client& http, const QString& key)
{
    const auto listing = http.Get(("/api/transactions?page=1&limit=20&app_id=1&api_key=" + key.toStdString()).c_str());
    return listing ? QJsonDocument::fromJson(QByteArray::fromStdString(listing->body)).object() : QJsonObject();
}

qint64 creditsOf(httplib::Client& http, const QString& key)
{
    const auto login = http.Post("/api/app/login", QJsonDocument(QJsonObject{{"api_key", key}, {"app_id", 1}}).toJson().toStdString(),
                                 "application/json");
    return login ? QJsonDocument::fromJson(QByteArray::fromStdString(login->body)).object().value("credits").toInteger(-1) : -1;
}

using ServiceModelTest = RemoteClientFixture;

} // namespace

TEST_F(ServiceModelTest, ACutOutThroughTheServiceMatchesTheLocalEngine)
{
    ServiceProcess service;
    ASSERT_TRUE(service.isReady()) << service.output().toStdString();

    const QImage photo = makeBallPhoto();
    const QString path = writeFile(u"ball.png"_s, encoded(photo, "PNG"));
    const QImage loaded(path);
    ASSERT_FALSE(loaded.isNull());

    const auto local = removeBackgroundLocally(loaded);
    ASSERT_TRUE(local.has_value()) << "the local engine needs the model: run tools/setup.sh";

    // Signed in through the service's own sign-in, as the account page does.
    httplib::Client http(service.address().toStdString());
    http.set_read_timeout(120, 0);
    const auto login = http.Post("/api/app/login",
                                 QJsonDocument(QJsonObject{{"email", service.email()},
                                                           {"password", service.password()},
                                                           {"app_id", 1}})
                                     .toJson()
                                     .toStdString(),
                                 "application/json");
    ASSERT_TRUE(login);
    ASSERT_EQ(login->status, 200) << login->body;
    const QJsonObject account = QJsonDocument::fromJson(QByteArray::fromStdString(login->body)).object();
    const QString key = account.value("api_key").toString();
    const qint64 creditsBefore = account.value("credits").toInteger();
    const RemoteServiceSnapshot snapshot = snapshotWithKey(service.address(), key);

    RemovalServiceClient client(keychain);
    const auto result = runBatch(client, 0, {taskFor(path)}, snapshot, std::chrono::seconds(90));
    ASSERT_TRUE(result.has_value());
    ASSERT_TRUE(result->outcome.image.has_value()) << result->outcome.error.toStdString();
    EXPECT_EQ(result->outcome.image->size(), local->size());
    EXPECT_EQ(largestChannelDifference(*result->outcome.image, *local), 0);

    // The folder monitor's road: the image itself, sent as PNG.
    const auto monitored = client.removeBackgroundWithService(loaded, snapshot);
    ASSERT_TRUE(monitored.has_value());
    EXPECT_EQ(largestChannelDifference(*monitored, *local), 0);

    const QJsonArray rows = transactionsOf(http, key).value("transactions").toArray();
    ASSERT_EQ(rows.size(), 3); // two removals, then the welcome credits
    const QJsonObject newest = rows.at(0).toObject();
    EXPECT_EQ(newest.value("transaction_type"), u"remove_background"_s);
    EXPECT_EQ(newest.value("credit_change").toInteger(), -1);
    EXPECT_EQ(newest.value("site_url"), u"kivo-pro-macos"_s);
    EXPECT_EQ(newest.value("ip_address"), u"127.0.0.1"_s);
    for (const char* member : {"origin_image", "output_image"}) {
        const auto image = http.Get(newest.value(QLatin1StringView(member)).toString().toStdString().c_str());
        ASSERT_TRUE(image) << member;
        EXPECT_FALSE(QImage::fromData(QByteArray::fromStdString(image->body), "PNG").isNull()) << member;
    }
    // The stored photos are the service user's alone.
    const QDir images(service.dataFolder() + u"/images"_s);
    const QStringList files = images.entryList(QDir::Files);
    EXPECT_EQ(files.size(), 4);
    for (const QString& file : files)
        EXPECT_EQ(QFile::permissions(images.filePath(file)) & 0x0077, 0) << file.toStdString();
    EXPECT_EQ(creditsOf(http, key), creditsBefore - 2);
}

TEST_F(ServiceModelTest, AKillBeforeTheAnswerCostsNoCredit)
{
    QTemporaryDir data;
    QString key;
    {
        ServiceProcess service({}, data.path());
        ASSERT_TRUE(service.isReady()) << service.output().toStdString();
        key = service.apiKey();
        auto answered = std::async(std::launch::async, [&] {
            httplib::Client http(service.address().toStdString());
            http.set_read_timeout(120, 0);
            return removalStatus(http, key);
        });
        // The upload is small: after a moment the removal is decoded and in the network.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        service.kill();
        EXPECT_EQ(answered.get(), -1) << "the removal was answered before the kill";
    }
    ServiceProcess again({}, data.path());
    ASSERT_TRUE(again.isReady()) << again.output().toStdString();
    httplib::Client http(again.address().toStdString());
    EXPECT_EQ(creditsOf(http, key), 100);
    EXPECT_EQ(transactionsOf(http, key).value("pagination").toObject().value("total_count").toInteger(), 1);
    EXPECT_TRUE(QDir(data.filePath(u"images"_s)).entryList(QDir::Files).isEmpty());
}

class InProcessRemovalTest : public ServiceFixture {
protected:
    void adjust(service::ServiceServer::Options& options) override { options.removalQueueCapacity = 1; }
};

TEST_F(InProcessRemovalTest, AFullQueueIsA503WithRetryAfterAndEverythingElseStaysFast)
{
    auto first = std::async(std::launch::async, [&] {
        httplib::Client http("127.0.0.1", server->port());
        http.set_read_timeout(120, 0);
        return removalStatus(http, u"key-ada"_s);
    });
    // A place is taken once a removal's upload has arrived: the first one's is small. A probe
    // that got the place first would find nothing in its plain grey image (422, uncharged).
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    QImage grey(16, 16, QImage::Format_RGB32);
    grey.fill(Qt::gray);
    QByteArray greyPNG;
    QBuffer buffer(&greyPNG);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(grey.save(&buffer, "PNG"));
    ASSERT_TRUE(waitUntil([&] {
        const auto probe = removal("key-ada", {{"image", greyPNG.toStdString(), "grey.png", "image/png"}});
        return probe && probe->status == 503;
    }, std::chrono::seconds(60)));
    const auto refused = removal("key-ada", {{"image", ballPNG(), "ball.png", "image/png"}});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);
    EXPECT_GE(QByteArray::fromStdString(refused->get_header_value("Retry-After")).toInt(), 1);

    // While the network works: a listing, a sign-in and a refusal for credits answer at once.
    store->addAccount(u"Bo"_s, u"bo@example.org"_s, u"pw"_s, u"key-empty"_s, 0);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(transactionsOf(*client, u"key-ada"_s).value("pagination").toObject().value("total_count").toInteger(), 1);
    EXPECT_EQ(creditsOf(*client, u"key-ada"_s), 5);
    EXPECT_EQ(removalStatus(*client, u"key-empty"_s), 402);
    EXPECT_LT(timer.elapsed(), 1000);

    EXPECT_EQ(first.get(), 200);
    EXPECT_EQ(credits(), 4);
}

TEST_F(InProcessRemovalTest, AClientThatLeavesBeforeItsCutOutIsNotCharged)
{
    StdoutCapture output;
    {
        const std::string png = ballPNG();
        const std::string body = "--B\r\nContent-Disposition: form-data; name=\"image\"; filename=\"ball.png\"\r\n"
                                 "Content-Type: image/png\r\n\r\n" + png + "\r\n--B--\r\n";
        RawConnection connection(server->port());
        ASSERT_TRUE(connection.send("POST /v1.0.1/remove_background HTTP/1.1\r\nHost: x\r\nX-API-KEY: key-ada\r\n"
                                    "Content-Type: multipart/form-data; boundary=B\r\nContent-Length: "
                                    + QByteArray::number(qsizetype(body.size())) + "\r\n\r\n" + QByteArray::fromStdString(body)));
        // Gone, as a client whose time-out ran out.
    }
    ASSERT_TRUE(waitUntil([&] { return output.text().contains(u"left before its cut-out was ready; nothing charged"_s); },
                          std::chrono::seconds(60)))
        << output.text().toStdString();
    EXPECT_EQ(credits(), 5);
    EXPECT_EQ(store->transactions(account.id, 1, 20).totalCount, 1);
    EXPECT_TRUE(QDir(folder.filePath(u"images"_s)).entryList(QDir::Files).isEmpty());
}

TEST_F(InProcessRemovalTest, AWriteThatFailsIsA503AndALogLineAndNothingIsKept)
{
    // Another writer holds the database for longer than the store waits (300 ms here).
    QSqlDatabase other = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"other"_s);
    other.setDatabaseName(folder.filePath(u"service.sqlite"_s));
    ASSERT_TRUE(other.open());
    QSqlQuery lock(other);
    ASSERT_TRUE(lock.exec(u"BEGIN EXCLUSIVE"_s));

    StdoutCapture output;
    const auto refused = removal("key-ada", {{"image", ballPNG(), "ball.png", "image/png"}});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503) << refused->body;
    EXPECT_FALSE(refused->get_header_value("Retry-After").empty());
    EXPECT_FALSE(refused->body.find("image_base64") != std::string::npos);
    EXPECT_TRUE(output.text().contains(u"[kivopro-service] database error: "_s)) << output.text().toStdString();
    ASSERT_TRUE(lock.exec(u"ROLLBACK"_s));

    EXPECT_EQ(credits(), 5);
    EXPECT_EQ(store->transactions(account.id, 1, 20).totalCount, 1);
    EXPECT_TRUE(QDir(folder.filePath(u"images"_s)).entryList(QDir::Files).isEmpty());
}

TEST_F(ServiceModelTest, TwoInstancesOnOnePostgreSQLDatabaseCountCreditsExactly)
{
    ThrowawayPostgres postgres;
    if (!postgres.isInstalled())
        GTEST_SKIP() << "PostgreSQL is not installed (tools/setup.sh installs it)";
    ASSERT_FALSE(postgres.address().isEmpty()) << postgres.error().toStdString();

    QTemporaryDir shared;
    const QStringList arguments{u"--database"_s, postgres.address(), u"--images"_s, shared.filePath(u"images"_s),
                                u"--key-file"_s, shared.filePath(u"api-keys.secret"_s)};
    ServiceProcess first(arguments);
    ServiceProcess second(arguments);
    ASSERT_TRUE(first.isReady() && second.isReady()) << first.output().toStdString() << second.output().toStdString();
    {
        service::AccountStore store(postgres.address(), std::chrono::seconds(5), shared.filePath(u"api-keys.secret"_s));
        QString error;
        ASSERT_TRUE(store.open(&error)) << error.toStdString();
        store.addAccount(u"Cy"_s, u"cy@example.org"_s, u"pw"_s, u"key-cy"_s, 4);
    }

    // Six removals at once, three through each instance, for four credits.
    std::vector<std::future<int>> answers;
    for (int i = 0; i < 6; ++i) {
        const QString address = (i % 2 ? first : second).address();
        answers.push_back(std::async(std::launch::async, [address] {
            httplib::Client http(address.toStdString());
            http.set_read_timeout(120, 0);
            return removalStatus(http, u"key-cy"_s);
        }));
    }
    std::map<int, int> statuses;
    for (auto& answer : answers)
        ++statuses[answer.get()];
    EXPECT_EQ(statuses[200], 4);
    EXPECT_EQ(statuses[402], 2);

    httplib::Client viaFirst(first.address().toStdString());
    httplib::Client viaSecond(second.address().toStdString());
    EXPECT_EQ(creditsOf(viaFirst, u"key-cy"_s), 0);
    const QJsonObject listing = transactionsOf(viaSecond, u"key-cy"_s);
    EXPECT_EQ(listing.value("pagination").toObject().value("total_count").toInteger(), 5);
    // Each instance serves the images the other stored.
    for (const QJsonValue& row : listing.value("transactions").toArray()) {
        const QString image = row.toObject().value("origin_image").toString();
        if (image.isEmpty())
            continue;
        const auto fetched = viaFirst.Get(image.toStdString().c_str());
        ASSERT_TRUE(fetched);
        EXPECT_EQ(fetched->status, 200) << image.toStdString();
    }
}

TEST_F(ServiceModelTest, TheQualityFieldChoosesTheEnginesProcessing)
{
    ServiceProcess service;
    ASSERT_TRUE(service.isReady()) << service.output().toStdString();
    const QByteArray png = encoded(makeBallPhoto(), "PNG");
    const auto expected = removeBackgroundLocally(QImage::fromData(png, "PNG"), RemovalOptions{ProcessingQuality::fast});
    ASSERT_TRUE(expected.has_value());

    httplib::Client http(service.address().toStdString());
    http.set_read_timeout(90, 0);
    const httplib::Headers headers{{"X-API-KEY", service.apiKey().toStdString()}};
    const httplib::MultipartFormDataItems items{{"return_type", "base64", "", ""},
                                                {"image", png.toStdString(), "ball.png", "image/png"},
                                                {"quality", "fast", "", ""}};
    const auto result = http.Post("/v1.0.1/remove_background?site_url=kivo-pro-macos", headers, items);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    const QJsonObject answer = QJsonDocument::fromJson(QByteArray::fromStdString(result->body)).object();
    const QImage cutout =
        QImage::fromData(QByteArray::fromBase64(answer.value("image_base64").toString().toLatin1()), "PNG");
    EXPECT_EQ(largestChannelDifference(cutout, *expected), 0);
}
