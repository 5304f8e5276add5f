// How the remote client reads the service's answers, for both callers, and how it waits.

#include "service/RemoteClientFixture.h"
#include "service/ScriptedHttpServer.h"

#include <QElapsedTimer>
#include <QTcpServer>

#include <atomic>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Before main() and before any D-Bus connection exists: the credential store is the private file.
const bool noSecretService = qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kivopro-bus");

class RemoteResponseTest : public RemoteClientFixture {
protected:
    // The outcome of one batch upload of a small PNG file against a server answering `script`.
    RemoteRemovalOutcome batchOutcome(const ScriptedHttpServer::Script& script)
    {
        ScriptedHttpServer server(script);
        RemovalServiceClient client(keychain, quickOptions(60s));
        const QString path = writeFile(QStringLiteral("a.png"), encoded(sampleImage(), "PNG"));
        const auto result = runBatch(client, 0, {taskFor(path)}, snapshotWithKey(server.baseURL(), u"k"_s));
        EXPECT_TRUE(result.has_value());
        return result ? result->outcome : RemoteRemovalOutcome{};
    }

    static ScriptedHttpServer::Script answer(int status, std::string body, std::string type = "application/json")
    {
        return [=](const ScriptedHttpServer::Request&, httplib::Response& response) {
            response.status = status;
            if (!body.empty())
                response.set_content(body, type);
        };
    }

    static std::string base64Answer(const QByteArray& base64)
    {
        return QJsonDocument(QJsonObject{{"image_base64", QString::fromLatin1(base64)}}).toJson().toStdString();
    }
};

} // namespace

// Refusals read as sentences, never as the wire format; the status stays for the log.
TEST_F(RemoteResponseTest, RefusalsReadAsSentences)
{
    const struct {
        int status;
        std::string body;
        const char* contentType;
        const char16_t* sentence;
        bool stopsRun;
    } cases[] = {
        {401, R"({"error":"Invalid API key"})", "application/json",
         u"The service did not accept the API key; sign in again or check the key in Settings.", true},
        {402, R"({"error":"Not enough credits"})", "application/json",
         u"The service has no credits left on this account.", true},
        {503, R"({"error":"The service is busy with other removals; try again in 4 s"})", "application/json",
         u"The service is busy; try again later.", false},
        {422, R"({"error":"No foreground objects detected in the image"})", "application/json",
         u"No foreground objects detected in the image.", false},
        {400, "the image could not be decoded", "text/plain", u"The image could not be decoded.", false},
        {500, "", "text/plain", u"The service answered with an error (HTTP 500).", false},
        {500, R"({"code":7})", "application/json", u"The service answered with an error (HTTP 500).", false},
        {400, "\xff\xfe\x80 broken", "text/plain", u"The service answered with an error (HTTP 400).", false},
    };
    for (const auto& c : cases) {
        const RemoteRemovalOutcome outcome = batchOutcome(answer(c.status, c.body, c.contentType));
        EXPECT_FALSE(outcome.image.has_value());
        EXPECT_EQ(outcome.error, QStringView(c.sentence)) << c.body;
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.stopsRun, c.stopsRun) << c.status;
    }
}

TEST_F(RemoteResponseTest, OnlyStrictBase64IsAccepted)
{
    const QImage image = sampleImage().scaled(256, 192);
    const QByteArray base64 = encoded(image, "PNG").toBase64();
    ASSERT_GT(base64.size(), 76 * 3);
    QByteArray mimeLines;
    for (qsizetype i = 0; i < base64.size(); i += 76)
        mimeLines += base64.mid(i, 76) + "\r\n";

    RemoteRemovalOutcome outcome = batchOutcome(answer(200, base64Answer(mimeLines)));
    EXPECT_FALSE(outcome.image.has_value());
    EXPECT_EQ(outcome.error, u"Invalid API response");

    QByteArray unpadded = base64;
    while (unpadded.endsWith('='))
        unpadded.chop(1);
    if (unpadded.size() != base64.size()) {
        outcome = batchOutcome(answer(200, base64Answer(unpadded)));
        EXPECT_EQ(outcome.error, u"Invalid API response");
    }

    outcome = batchOutcome(answer(200, base64Answer(base64)));
    ASSERT_TRUE(outcome.image.has_value()) << outcome.error.toStdString();
    EXPECT_EQ(outcome.image->convertToFormat(QImage::Format_ARGB32), image);
}

TEST_F(RemoteResponseTest, ASuccessMustBeAnObjectWithADecodableImage)
{
    const QByteArray png64 = encoded(sampleImage(), "PNG").toBase64();
    const std::string bodies[] = {"[\"" + png64.toStdString() + "\"]",
                                  R"({"image_base64": 5})",
                                  R"({"image": ")" + png64.toStdString() + "\"}",
                                  R"({"image_base64": "aGVsbG8="})", // "hello": not an image
                                  "not json at all"};
    for (const std::string& body : bodies) {
        const RemoteRemovalOutcome outcome = batchOutcome(answer(200, body));
        EXPECT_FALSE(outcome.image.has_value()) << body;
        EXPECT_EQ(outcome.error, u"Invalid API response") << body;
    }
}

TEST_F(RemoteResponseTest, AClosedPortGivesTheTransportErrorText)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();

    RemovalServiceClient client(keychain, quickOptions(60s));
    const QString path = writeFile(QStringLiteral("a.png"), encoded(sampleImage(), "PNG"));
    const auto result = runBatch(client, 0, {taskFor(path)},
                                 snapshotWithKey(QStringLiteral("http://127.0.0.1:%1").arg(port), u"k"_s));
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(result->outcome.image.has_value());
    EXPECT_TRUE(result->outcome.error.contains(u"refused"_s, Qt::CaseInsensitive)) << result->outcome.error.toStdString();
}

TEST_F(RemoteResponseTest, ARequestPastItsDeadlineFails)
{
    ScriptedHttpServer server([](const ScriptedHttpServer::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(1500ms);
        answerWithImage(response, sampleImage());
    });
    RemovalServiceClient client(keychain, quickOptions(300ms));
    const QString path = writeFile(QStringLiteral("a.png"), encoded(sampleImage(), "PNG"));
    QElapsedTimer clock;
    clock.start();
    const auto result = runBatch(client, 0, {taskFor(path)}, snapshotWithKey(server.baseURL(), u"k"_s));
    ASSERT_TRUE(result.has_value());
    EXPECT_LT(clock.elapsed(), 1200);
    EXPECT_EQ(result->outcome.error, u"The request timed out.");
}

TEST_F(RemoteResponseTest, DestroyingTheClientCancelsUploadsInFlight)
{
    ScriptedHttpServer server([](const ScriptedHttpServer::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(1000ms);
        answerWithImage(response, sampleImage());
    });
    const QString path = writeFile(QStringLiteral("a.png"), encoded(sampleImage(), "PNG"));
    QObject context;
    std::optional<RemoteRemovalOutcome> outcome;
    {
        RemovalServiceClient client(keychain);
        client.removeBackgroundRemotely(0, {taskFor(path)}, snapshotWithKey(server.baseURL(), u"k"_s),
                                        &context, [&](qsizetype, const RemoteRemovalOutcome& o) { outcome = o; });
        ASSERT_TRUE(waitUntil([&] { return !server.requests().empty(); }));
    }
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }));
    EXPECT_FALSE(outcome->image.has_value());
    EXPECT_FALSE(outcome->error.isEmpty());
}

TEST_F(RemoteResponseTest, TheMonitorCallReturnsTheCutOutAndLogs)
{
    ScriptedHttpServer server([](const ScriptedHttpServer::Request&, httplib::Response& response) {
        answerWithImage(response, sampleImage());
    });
    RemovalServiceClient client(keychain);
    StdoutCapture output;
    const auto image = client.removeBackgroundWithService(sampleImage(), snapshotWithKey(server.baseURL(), u"k"_s));
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->convertToFormat(QImage::Format_ARGB32), sampleImage());
    EXPECT_TRUE(output.text().contains(u"[AppState] Kivo API processing successful\n"_s));

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const ParsedMultipart form = parseMultipart(requests[0].header("Content-Type"), requests[0].body);
    ASSERT_TRUE(form.wellFormed);
    ASSERT_EQ(form.parts.size(), 2u);
    const QString imageHeaders = QString::fromStdString(form.parts[1].headers);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Content-Disposition: form-data; name=\"image\"; "
                                                  "filename=\"trigger_image_[0-9]{10}\\.[0-9]+\\.png\"\r\n"
                                                  "Content-Type: image/png$"))
                    .match(imageHeaders)
                    .hasMatch())
        << imageHeaders.toStdString();
}

TEST_F(RemoteResponseTest, TheMonitorCallLogsEachFailure)
{
    ScriptedHttpServer refusing([](const ScriptedHttpServer::Request&, httplib::Response& response) {
        response.status = 401;
        response.set_content(R"({"error":"Invalid API key"})", "application/json");
    });
    ScriptedHttpServer malformed([](const ScriptedHttpServer::Request&, httplib::Response& response) {
        response.set_content(R"({"image_base64": "%%%"})", "application/json");
    });
    RemovalServiceClient client(keychain);
    StdoutCapture output;

    EXPECT_FALSE(client.removeBackgroundWithService(sampleImage(), snapshotWithKey(refusing.baseURL(), u"k"_s)));
    EXPECT_FALSE(client.removeBackgroundWithService(sampleImage(), snapshotWithKey(malformed.baseURL(), u"k"_s)));
    EXPECT_FALSE(client.removeBackgroundWithService(sampleImage(), snapshotWithKey(refusing.baseURL(), u""_s)));
    EXPECT_FALSE(client.removeBackgroundWithService(sampleImage(), snapshotWithKey(u"no server"_s, u"k"_s)));
    EXPECT_FALSE(client.removeBackgroundWithService(QImage(), snapshotWithKey(refusing.baseURL(), u"k"_s)));

    EXPECT_EQ(output.text(),
              "[AppState] Kivo API error: API error: {\"error\":\"Invalid API key\"}\n"
              "[AppState] Kivo API processing failed: API error: {\"error\":\"Invalid API key\"}\n"
              "[AppState] Kivo API error: Invalid response format\n"
              "[AppState] Kivo API processing failed: Invalid API response format\n"
              "[AppState] Missing API key for Kivo processing\n"
              "[AppState] Invalid API endpoint\n"
              "[AppState] Failed to convert image to PNG data\n"_L1);
    EXPECT_EQ(refusing.requests().size(), 1u);
}

// The monitor gives up after its wait although the request itself may run longer; the answer
// that comes later only fills cells nobody reads any more (run under AddressSanitizer too).
TEST_F(RemoteResponseTest, TheMonitorCallGivesUpAfterItsWaitAndALateAnswerIsHarmless)
{
    ScriptedHttpServer server([](const ScriptedHttpServer::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(1200ms);
        answerWithImage(response, sampleImage());
    });
    StdoutCapture output;
    {
        RemovalServiceClient client(keychain, quickOptions(60s, 250ms));
        QElapsedTimer clock;
        clock.start();
        const auto image = client.removeBackgroundWithService(sampleImage(), snapshotWithKey(server.baseURL(), u"k"_s));
        EXPECT_FALSE(image.has_value());
        EXPECT_GE(clock.elapsed(), 240);
        EXPECT_LT(clock.elapsed(), 1000);

        // The late answer arrives and is read while the client is still alive ...
        ASSERT_TRUE(waitUntil([&] { return output.text().contains(u"Kivo API processing successful"_s); }, 10s));
    }
    // ... and nothing was logged as a failure for the abandoned call.
    EXPECT_FALSE(output.text().contains(u"processing failed"_s));
    EXPECT_EQ(server.answered(), 1);
}

TEST_F(RemoteResponseTest, AClientGoneBeforeTheLateAnswerIsHarmless)
{
    ScriptedHttpServer server([](const ScriptedHttpServer::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(800ms);
        answerWithImage(response, sampleImage());
    });
    {
        RemovalServiceClient client(keychain, quickOptions(60s, 100ms));
        EXPECT_FALSE(client.removeBackgroundWithService(sampleImage(), snapshotWithKey(server.baseURL(), u"k"_s)));
    }
    EXPECT_TRUE(waitUntil([&] { return server.answered() == 1; }, 10s));
}
