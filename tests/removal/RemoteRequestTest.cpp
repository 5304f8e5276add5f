// What the remote client sends: the endpoint, the headers, the multipart body byte for byte,
// the file part per case, and where the API key comes from.

#include "removal/remote/MultipartFormBody.h"
#include "removal/remote/RemoteEndpoint.h"

#include "service/RemoteClientFixture.h"
#include "service/ScriptedHttpServer.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

// Before main() and before any D-Bus connection exists: the credential store is the private file.
const bool noSecretService = qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kivopro-bus");

const QRegularExpression kBoundaryForm(
    QStringLiteral("^Boundary-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));

class RemoteRequestTest : public RemoteClientFixture {
protected:
    RemoteRequestTest()
        : server([](const ScriptedHttpServer::Request&, httplib::Response& response) {
            answerWithImage(response, sampleImage());
        })
    {
    }

    // Sends one batch upload and returns what the server received.
    ScriptedHttpServer::Request sendTask(const ImageProcessingTask& task, const QString& key = QStringLiteral("key-1"))
    {
        const auto result = runBatch(client, 0, {task}, snapshotWithKey(server.baseURL(), key));
        EXPECT_TRUE(result.has_value());
        const auto requests = server.requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? ScriptedHttpServer::Request{} : requests.front();
    }

    ScriptedHttpServer server;
    RemovalServiceClient client{keychain};
};

} // namespace

TEST_F(RemoteRequestTest, SendsTheFileAsAByteExactMultipartForm)
{
    const QByteArray jpeg = encoded(sampleImage(), "JPEG");
    const QString path = writeFile(QStringLiteral("photo.jpg"), jpeg);

    const auto result = runBatch(client, 0, {taskFor(path)}, snapshotWithKey(server.baseURL(), u"key-1"_s));
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->onContextThread);
    EXPECT_EQ(result->index, 0);
    ASSERT_TRUE(result->outcome.image.has_value()) << result->outcome.error.toStdString();
    EXPECT_EQ(result->outcome.image->convertToFormat(QImage::Format_ARGB32), sampleImage());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const ScriptedHttpServer::Request& request = requests.front();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/v1.0.1/remove_background?site_url=kivo-pro-macos");
    EXPECT_EQ(request.header("X-API-KEY"), "key-1");

    const ParsedMultipart form = parseMultipart(request.header("Content-Type"), request.body);
    ASSERT_TRUE(form.wellFormed) << request.header("Content-Type");
    EXPECT_TRUE(kBoundaryForm.match(QString::fromStdString(form.boundary)).hasMatch()) << form.boundary;
    ASSERT_EQ(form.parts.size(), 2u);
    EXPECT_EQ(form.parts[0].headers, "Content-Disposition: form-data; name=\"return_type\"");
    EXPECT_EQ(form.parts[0].content, "base64");
    EXPECT_EQ(form.parts[1].headers, "Content-Disposition: form-data; name=\"image\"; filename=\"photo.jpg\"\r\n"
                                     "Content-Type: image/jpeg");
    EXPECT_EQ(form.parts[1].content, jpeg.toStdString());

    const std::string b = form.boundary;
    const std::string expected = "--" + b + "\r\n" + "Content-Disposition: form-data; name=\"return_type\"\r\n" + "\r\n"
        + "base64\r\n" + "--" + b + "\r\n" + "Content-Disposition: form-data; name=\"image\"; filename=\"photo.jpg\"\r\n"
        + "Content-Type: image/jpeg\r\n" + "\r\n" + jpeg.toStdString() + "\r\n" + "--" + b + "--\r\n";
    EXPECT_EQ(request.body, expected);
}

TEST_F(RemoteRequestTest, EveryRequestHasANewBoundary)
{
    const QString path = writeFile(QStringLiteral("a.png"), encoded(sampleImage(), "PNG"));
    runBatch(client, 0, {taskFor(path)}, snapshotWithKey(server.baseURL(), u"k"_s));
    runBatch(client, 0, {taskFor(path)}, snapshotWithKey(server.baseURL(), u"k"_s));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].header("Content-Type"), requests[1].header("Content-Type"));
}

TEST_F(RemoteRequestTest, ContentTypeFollowsTheExtensionInAnyCase)
{
    const QString path = writeFile(QStringLiteral("IMG_0001.HEIC"), QByteArray("not really heic"));
    const auto request = sendTask(taskFor(path));
    const ParsedMultipart form = parseMultipart(request.header("Content-Type"), request.body);
    ASSERT_EQ(form.parts.size(), 2u);
    EXPECT_EQ(form.parts[1].headers, "Content-Disposition: form-data; name=\"image\"; filename=\"IMG_0001.HEIC\"\r\n"
                                     "Content-Type: image/heic");
    EXPECT_EQ(form.parts[1].content, "not really heic");

    const std::pair<const char*, const char*> table[] = {
        {"jpg", "image/jpeg"},  {"JPEG", "image/jpeg"}, {"png", "image/png"},   {"gif", "image/gif"},
        {"bmp", "image/bmp"},   {"tif", "image/tiff"},  {"TIFF", "image/tiff"}, {"webp", "image/webp"},
        {"heif", "image/heif"}, {"svg", "application/octet-stream"},            {"", "application/octet-stream"}};
    for (const auto& [extension, type] : table)
        EXPECT_EQ(contentTypeForFileExtension(QString::fromLatin1(extension)), QByteArray(type)) << extension;
}

// The photo processes as it was when it was added, whatever became of its file.
TEST_F(RemoteRequestTest, ADeletedFileIsSentAsItWasWhenAdded)
{
    const QByteArray jpeg = encoded(sampleImage(), "JPEG");
    const QString path = writeFile(QStringLiteral("holiday.final.jpg"), jpeg);
    const ImageProcessingTask task = taskFor(path);
    ASSERT_TRUE(QFile::remove(path));
    const auto request = sendTask(task);
    const ParsedMultipart form = parseMultipart(request.header("Content-Type"), request.body);
    ASSERT_TRUE(form.wellFormed);
    ASSERT_EQ(form.parts.size(), 2u);
    EXPECT_EQ(form.parts[1].headers, "Content-Disposition: form-data; name=\"image\"; filename=\"holiday.final.jpg\"\r\n"
                                     "Content-Type: image/jpeg");
    EXPECT_EQ(QByteArray::fromStdString(form.parts[1].content), jpeg);
}

TEST_F(RemoteRequestTest, WithoutFileOrImageTheFormHasNoImagePart)
{
    const auto request = sendTask(taskFor(folder.filePath(QStringLiteral("gone.jpg"))));
    const ParsedMultipart form = parseMultipart(request.header("Content-Type"), request.body);
    EXPECT_TRUE(form.wellFormed);
    ASSERT_EQ(form.parts.size(), 1u);
    EXPECT_EQ(form.parts[0].content, "base64");
}

// A raw double quote or line break would end the quoted name early or start a header line of
// the file name's choosing; they travel percent-encoded, every other byte as it is.
TEST_F(RemoteRequestTest, QuotesAndLineBreaksInTheFileNameAreEscaped)
{
    const QString name = QStringLiteral("say \"hi\"\r\nX-Injected: yes; café.png");
    const QString path = writeFile(name, encoded(sampleImage(), "PNG"));
    const auto request = sendTask(taskFor(path));
    const ParsedMultipart form = parseMultipart(request.header("Content-Type"), request.body);
    ASSERT_EQ(form.parts.size(), 2u);
    EXPECT_EQ(form.parts[1].headers, "Content-Disposition: form-data; name=\"image\"; "
                                     "filename=\"say %22hi%22%0D%0AX-Injected: yes; caf\xC3\xA9.png\"\r\n"
                                     "Content-Type: image/png");
    EXPECT_EQ(escapeMultipartFileName(QStringLiteral("plain name.jpg")), QByteArray("plain name.jpg"));
}

TEST_F(RemoteRequestTest, AKeyOfSpacesIsSentAsItIs)
{
    // HTTP parsers drop the blanks around a header value, so this server reads the raw bytes.
    QTcpServer raw;
    ASSERT_TRUE(raw.listen(QHostAddress::LocalHost));
    QByteArray received;
    QObject::connect(&raw, &QTcpServer::newConnection, &raw, [&] {
        QTcpSocket* socket = raw.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
            received += socket->readAll();
            if (received.endsWith("--\r\n")) {
                socket->write("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                socket->disconnectFromHost();
            }
        });
    });
    const QString path = writeFile(QStringLiteral("a.png"), encoded(sampleImage(), "PNG"));
    const auto result = runBatch(client, 0, {taskFor(path)},
                                 snapshotWithKey(QStringLiteral("http://127.0.0.1:%1").arg(raw.serverPort()), u"   "_s));
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(received.contains("\r\nX-API-KEY:    \r\n")) << received.left(400).toStdString();
}

TEST_F(RemoteRequestTest, AKeyWithALineBreakIsRefusedBeforeAnyRequest)
{
    const QString path = writeFile(QStringLiteral("a.png"), encoded(sampleImage(), "PNG"));
    const auto result = runBatch(client, 0, {taskFor(path)},
                                 snapshotWithKey(server.baseURL(), u"key-1\r\nX-Injected: yes"_s));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->outcome.error, u"Invalid API key");
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(RemoteRequestTest, AnEmptyAccountKeyIsRefusedBeforeAnyRequest)
{
    // The account's empty key counts as set: the stored key does not replace it.
    ASSERT_TRUE(keychain.save(QStringLiteral("kivopro_api_key"), QStringLiteral("stored-key")));
    const QString path = writeFile(QStringLiteral("a.png"), encoded(sampleImage(), "PNG"));
    const auto result = runBatch(client, 0, {taskFor(path)}, snapshotWithKey(server.baseURL(), u""_s));
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(result->outcome.image.has_value());
    EXPECT_EQ(result->outcome.error, u"Missing API key");
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(RemoteRequestTest, TheStoredKeyServesWhenTheAccountHasNone)
{
    const QString path = writeFile(QStringLiteral("a.png"), encoded(sampleImage(), "PNG"));
    const RemoteServiceSnapshot signedOut{server.baseURL(), std::nullopt};

    auto result = runBatch(client, 0, {taskFor(path)}, signedOut);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->outcome.error, u"Missing API key");
    EXPECT_TRUE(server.requests().empty());

    ASSERT_TRUE(keychain.save(QStringLiteral("kivopro_api_key"), QStringLiteral("stored-key")));
    result = runBatch(client, 0, {taskFor(path)}, signedOut);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->outcome.image.has_value());
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests().front().header("X-API-KEY"), "stored-key");

    // An account without a key also falls back to the stored one.
    result = runBatch(client, 0, {taskFor(path)}, snapshotWithKey(server.baseURL(), std::nullopt));
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests().back().header("X-API-KEY"), "stored-key");
}

TEST_F(RemoteRequestTest, AnUnusableEndpointFailsBeforeAnyRequest)
{
    const auto result = runBatch(client, 0, {taskFor(folder.filePath(u"a.png"_s))},
                                 snapshotWithKey(QStringLiteral("not a server"), u"k"_s));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->outcome.error, u"Invalid API endpoint");
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(RemoteRequestTest, AnIndexPastTheListDoesNothing)
{
    const auto result = runBatch(client, 1, {taskFor(folder.filePath(u"a.png"_s))},
                                 snapshotWithKey(server.baseURL(), u"k"_s), std::chrono::milliseconds(300));
    EXPECT_FALSE(result.has_value());
    EXPECT_TRUE(server.requests().empty());
}

TEST(RemoteEndpointTest, TheApiFollowsASelfHostedServer)
{
    EXPECT_EQ(removalApiBaseURL(QString()), u"https://api.kivopro.example");
    EXPECT_EQ(removalApiBaseURL(u" https://kivopro.example// "_s), u"https://api.kivopro.example");
    EXPECT_EQ(removalApiBaseURL(u"//http://127.0.0.1:8080///"_s), u"http://127.0.0.1:8080");
    EXPECT_EQ(removalEndpointString(u"http://127.0.0.1:8080/"_s),
              u"http://127.0.0.1:8080/v1.0.1/remove_background?site_url=kivo-pro-macos");
    EXPECT_EQ(removalEndpointString(QString()),
              u"https://api.kivopro.example/v1.0.1/remove_background?site_url=kivo-pro-macos");
    EXPECT_FALSE(parseRemovalEndpoint(u"ftp://host/x"_s).has_value());
    EXPECT_FALSE(parseRemovalEndpoint(u"localhost:8080/v1.0.1/remove_background"_s).has_value());
}
