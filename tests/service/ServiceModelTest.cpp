// The whole road through the real kivopro-service program with the segmentation network: the
// client's cut-out equals the local engine's cut-out of the same image, a credit is taken and
// the transaction appears with its images.

#include "removal/engine/LocalRemovalEngine.h"

#include "service/RemoteClientFixture.h"
#include "service/ServiceProcess.h"
#include "service/SyntheticPhoto.h"

#include <QJsonArray>

#include <httplib.h>

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
    http.set_read_timeout(60, 0);
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
    const qint64 creditsBefore = account.value("credits").toInteger();
    const RemoteServiceSnapshot snapshot = snapshotWithKey(service.address(), account.value("api_key").toString());

    RemovalServiceClient client(keychain);
    const auto result = runBatch(client, 0, {taskFor(path, loaded)}, snapshot, std::chrono::seconds(90));
    ASSERT_TRUE(result.has_value());
    ASSERT_TRUE(result->outcome.image.has_value()) << result->outcome.error.toStdString();
    EXPECT_EQ(result->outcome.image->size(), local->size());
    EXPECT_EQ(largestChannelDifference(*result->outcome.image, *local), 0);

    // The folder monitor's road: the image itself, sent as PNG.
    const auto monitored = client.removeBackgroundWithService(loaded, snapshot);
    ASSERT_TRUE(monitored.has_value());
    EXPECT_EQ(largestChannelDifference(*monitored, *local), 0);

    const auto listing = http.Get(("/api/transactions?page=1&limit=20&app_id=1&api_key="
                                   + account.value("api_key").toString().toStdString())
                                      .c_str());
    ASSERT_TRUE(listing);
    ASSERT_EQ(listing->status, 200);
    const QJsonObject page = QJsonDocument::fromJson(QByteArray::fromStdString(listing->body)).object();
    const QJsonArray rows = page.value("transactions").toArray();
    ASSERT_EQ(rows.size(), 3); // two removals, then the welcome credits
    const QJsonObject newest = rows.at(0).toObject();
    EXPECT_EQ(newest.value("transaction_type"), u"remove_background"_s);
    EXPECT_EQ(newest.value("credit_change").toInteger(), -1);
    EXPECT_EQ(newest.value("site_url"), u"kivo-pro-macos"_s);
    EXPECT_EQ(newest.value("ip_address"), u"127.0.0.1"_s);
    for (const char* key : {"origin_image", "output_image"}) {
        const auto image = http.Get(newest.value(QLatin1StringView(key)).toString().toStdString().c_str());
        ASSERT_TRUE(image) << key;
        EXPECT_FALSE(QImage::fromData(QByteArray::fromStdString(image->body), "PNG").isNull()) << key;
    }

    const auto again = http.Post("/api/app/login",
                                 QJsonDocument(QJsonObject{{"api_key", account.value("api_key")}, {"app_id", 1}})
                                     .toJson()
                                     .toStdString(),
                                 "application/json");
    ASSERT_TRUE(again);
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(again->body)).object().value("credits").toInteger(),
              creditsBefore - 2);
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
