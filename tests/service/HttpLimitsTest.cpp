// The transport's limits against clients that send too much, too slowly or too often, with the
// service in-process on loopback.

#include "service/ServiceFixture.h"

#include "support/TestSupport.h"

#include <QElapsedTimer>

#include <thread>

using namespace kivo;
using namespace kivo::service;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

using HttpLimitsTest = ServiceFixture;

QByteArray loginHead(qint64 length, const QByteArray& extra = {})
{
    return "POST /api/app/login HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n" + extra
        + "Content-Length: " + QByteArray::number(length) + "\r\n\r\n";
}

} // namespace

TEST_F(HttpLimitsTest, OverlongHeadsAreAnsweredAtOnceWithoutReadingThemWhole)
{
    const struct {
        const char* name;
        QByteArray head;
        QByteArray filler;
        QByteArray status;
    } floods[] = {
        {"endless header line", "GET / HTTP/1.1\r\nHost: x\r\nX-Big: ", QByteArray(64 * 1024, 'a'), "HTTP/1.1 431 "},
        {"endless header lines", "GET / HTTP/1.1\r\nHost: x\r\n", QByteArray("X-A: b\r\n").repeated(8192), "HTTP/1.1 431 "},
        {"endless request line", "GET /", QByteArray(64 * 1024, 'a'), "HTTP/1.1 414 "},
    };
    for (const auto& flood : floods) {
        RawConnection connection(server->port());
        qint64 sent = 0;
        const QByteArray answer = connection.streamUntilAnswered(flood.head, flood.filler, 300ll << 20, &sent);
        EXPECT_TRUE(answer.startsWith(flood.status)) << flood.name << ": " << answer.left(60).toStdString();
        // Kernel buffers and the short drain after the answer take some megabytes, not 300.
        EXPECT_LT(sent, 32ll << 20) << flood.name;
    }

    const struct {
        QByteArray request;
        QByteArray status;
    } heads[] = {
        {"GET /" + QByteArray(9000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 414 "},
        {"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + QByteArray(9000, 'a') + "\r\n\r\n", "HTTP/1.1 431 "},
        {"GET / HTTP/1.1\r\nHost: x\r\n" + QByteArray("X-A: b\r\n").repeated(9000) + "\r\n", "HTTP/1.1 431 "},
        {"GET /?q=" + QByteArray(7000, 'a') + " HTTP/1.1\r\nHost: x\r\nX-Ok: " + QByteArray(7000, 'a')
             + "\r\nConnection: close\r\n\r\n",
         "HTTP/1.1 200 "},
    };
    for (const auto& head : heads)
        EXPECT_TRUE(rawExchange(head.request).startsWith(head.status)) << head.status.toStdString();
}

TEST_F(HttpLimitsTest, BodiesAreRefusedFromTheHeadBeforeTheyAreSent)
{
    const struct {
        QByteArray head;
        QByteArray status;
    } cases[] = {
        {"POST /v1.0.1/remove_background HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=B\r\n"
         "Content-Length: 49000000\r\n\r\n",
         "HTTP/1.1 401 "},
        {"POST /v1.0.1/remove_background HTTP/1.1\r\nHost: x\r\nX-API-KEY: key-ada\r\n"
         "Content-Type: multipart/form-data; boundary=B\r\nContent-Length: 600000000\r\n\r\n",
         "HTTP/1.1 413 "},
        {loginHead(1'000'000), "HTTP/1.1 413 "},
    };
    for (const auto& c : cases) {
        RawConnection connection(server->port());
        ASSERT_TRUE(connection.send(c.head));
        QElapsedTimer timer;
        timer.start();
        const QByteArray answer = connection.receive(std::chrono::seconds(5));
        EXPECT_TRUE(answer.startsWith(c.status)) << answer.left(80).toStdString();
        EXPECT_LT(timer.elapsed(), 3000) << c.status.toStdString();
    }
}

class SlowClientTest : public ServiceFixture {
protected:
    void adjust(ServiceServer::Options& options) override
    {
        options.limits.headerTimeout = std::chrono::milliseconds(1500);
        options.limits.bodyTimeout = std::chrono::milliseconds(1500);
    }
};

TEST_F(SlowClientTest, ClientsThatTrickleAreCutOffWhileOthersAreServed)
{
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 100; ++i) {
        slow.push_back(std::make_unique<RawConnection>(server->port()));
        ASSERT_TRUE(slow.back()->send("GET / HTTP/1.1\r\nHost: x\r\n"));
    }
    RawConnection slowBody(server->port());
    ASSERT_TRUE(slowBody.send(loginHead(100) + "{\"api"));

    // One header line every 250 ms: never idle, never done.
    std::atomic<bool> trickling = true;
    std::thread trickle([&] {
        while (trickling) {
            for (auto& connection : slow)
                connection->send("X-Slow: 1\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });

    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    QElapsedTimer timer;
    timer.start();
    const auto home = client->Get("/");
    ASSERT_TRUE(home);
    EXPECT_EQ(home->status, 200);
    EXPECT_LT(timer.elapsed(), 1000);

    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    trickling = false;
    trickle.join();
    int closed = 0;
    for (auto& connection : slow)
        closed += connection->closedByServer(std::chrono::seconds(1)) ? 1 : 0;
    EXPECT_EQ(closed, 100);
    EXPECT_TRUE(slowBody.closedByServer(std::chrono::seconds(1)));
}

class ConnectionLimitTest : public ServiceFixture {
protected:
    void adjust(ServiceServer::Options& options) override { options.limits.maxConnectionsPerClient = 4; }
};

TEST_F(ConnectionLimitTest, AClientBeyondItsConnectionsIsToldToComeBack)
{
    client->set_keep_alive(false);
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<RawConnection>(server->port()));
        ASSERT_TRUE(held.back()->isOpen());
    }
    // The fifth is accepted only to be told so.
    ASSERT_TRUE(waitUntil([&] {
        RawConnection extra(server->port());
        return extra.receive(std::chrono::milliseconds(500)).startsWith("HTTP/1.1 503 ");
    }, std::chrono::seconds(5)));
    RawConnection extra(server->port());
    const QByteArray refusal = extra.receive(std::chrono::seconds(2));
    EXPECT_TRUE(refusal.contains("Retry-After: ")) << refusal.toStdString();

    held.pop_back();
    EXPECT_TRUE(waitUntil([&] {
        const auto result = client->Get("/");
        return result && result->status == 200;
    }, std::chrono::seconds(5)));
}

TEST_F(HttpLimitsTest, ContinuesExpectingClientsAndKeepsConnectionsAlive)
{
    const QByteArray body = R"({"api_key": "key-ada", "app_id": 1})";
    RawConnection connection(server->port());
    ASSERT_TRUE(connection.send(loginHead(body.size(), "Expect: 100-continue\r\n")));
    EXPECT_TRUE(connection.receive(std::chrono::seconds(2)).startsWith("HTTP/1.1 100 Continue\r\n"));
    ASSERT_TRUE(connection.send(body));
    const QByteArray signedIn = connection.receive(std::chrono::seconds(2));
    EXPECT_TRUE(signedIn.startsWith("HTTP/1.1 200 ")) << signedIn.toStdString();
    EXPECT_TRUE(signedIn.contains("\"api_key\":\"key-ada\""));

    ASSERT_TRUE(connection.send("GET /profile HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(connection.receive(std::chrono::seconds(2)).startsWith("HTTP/1.1 200 "));
}
