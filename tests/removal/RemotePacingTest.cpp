// The client's upload rules against real servers on 127.0.0.1: a bounded number of requests in
// flight, time limits from sending, a busy service tried again after its Retry-After, a run
// stopped by a refused key or missing credits.

#include "service/RemoteClientFixture.h"
#include "service/ScriptedHttpServer.h"

#include <QElapsedTimer>
#include <QTcpServer>

#include <atomic>
#include <map>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const bool noSecretService = qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kivopro-bus");

class RemotePacingTest : public RemoteClientFixture {
protected:
    // One run of uploads of `count` small photos, the outcomes and progress steps by index.
    struct Run {
        std::map<qsizetype, RemoteRemovalOutcome> outcomes;
        std::map<qsizetype, QList<UploadProgress>> steps;
    };

    Run upload(RemovalServiceClient& client, const QString& baseURL, int count, std::chrono::seconds wait = 30s)
    {
        QList<ImageProcessingTask> tasks;
        for (int i = 0; i < count; ++i)
            tasks.append(taskFor(writeFile(QStringLiteral("p%1.png").arg(i), encoded(sampleImage(), "PNG"))));
        QObject context;
        Run run;
        const auto uploads = std::make_shared<UploadRun>();
        std::thread worker([&] {
            for (qsizetype i = 0; i < tasks.size(); ++i)
                client.removeBackgroundRemotely(
                    i, tasks, snapshotWithKey(baseURL, u"k"_s), &context,
                    [&](qsizetype at, const RemoteRemovalOutcome& outcome) { run.outcomes[at] = outcome; }, uploads,
                    [&](qsizetype at, const UploadProgress& step) { run.steps[at].append(step); });
        });
        worker.join();
        EXPECT_TRUE(waitUntil([&] { return run.outcomes.size() == size_t(count); }, wait));
        return run;
    }
};

// A server that counts the requests it works on at once.
struct ConcurrencyProbe {
    std::atomic_int now{0};
    std::atomic_int most{0};
    void enter()
    {
        const int current = ++now;
        int seen = most;
        while (current > seen && !most.compare_exchange_weak(seen, current)) {
        }
    }
    void leave() { --now; }
};

} // namespace

// Six uploads, two in flight: never more than two at the server, and each one's limit counts
// from its own sending, so the last ones (queued for longer than the limit) still succeed.
TEST_F(RemotePacingTest, AtMostTheChosenNumberAreInFlightAndWaitingDoesNotCountAgainstTheLimit)
{
    ConcurrencyProbe probe;
    ScriptedHttpServer server([&](const ScriptedHttpServer::Request&, httplib::Response& response) {
        probe.enter();
        std::this_thread::sleep_for(400ms);
        probe.leave();
        answerWithImage(response, sampleImage());
    });
    auto options = quickOptions(900ms);
    options.upload.maxInFlight = 2;
    RemovalServiceClient client(keychain, options);
    QElapsedTimer clock;
    clock.start();
    const Run run = upload(client, server.baseURL(), 6);

    EXPECT_GE(clock.elapsed(), 1100); // three rounds of two
    EXPECT_EQ(probe.most.load(), 2);
    for (const auto& [index, outcome] : run.outcomes)
        EXPECT_TRUE(outcome.image.has_value()) << index << ": " << outcome.error.toStdString();
    EXPECT_EQ(server.requests().size(), 6u);
}

TEST_F(RemotePacingTest, TheMaxConcurrentProcessesPreferenceIsClampedToOneToEight)
{
    const struct {
        qint64 preference;
        int inFlight;
    } cases[] = {{-3, 1}, {0, 1}, {1, 1}, {4, 4}, {8, 8}, {9, 8}, {1000, 8}};
    for (const auto& c : cases)
        EXPECT_EQ(uploadsInFlightFor(c.preference), c.inFlight) << c.preference;
}

// The limit grows with the photo: a 12 MP photo gets minutes, a thumbnail the base.
TEST_F(RemotePacingTest, TheTimeLimitFitsThePhotoSize)
{
    UploadRules rules;
    rules.maxInFlight = 1;
    EXPECT_EQ(uploadTimeLimit(QSize(400, 300), rules), rules.baseTimeout + rules.timeoutPerMegapixel);
    EXPECT_EQ(uploadTimeLimit(QSize(4000, 3000), rules), rules.baseTimeout + 12 * rules.timeoutPerMegapixel);
    EXPECT_GT(uploadTimeLimit(QSize(4000, 3000), UploadRules{}), uploadTimeLimit(QSize(4000, 3000), rules));
    EXPECT_EQ(uploadTimeLimit(QSize(40000, 30000), rules), rules.longestTimeout);
}

// The service turns the first attempt away with Retry-After: 1; the client waits that long,
// tells the card, and the second attempt succeeds.
TEST_F(RemotePacingTest, ABusyServiceIsTriedAgainAfterItsRetryAfter)
{
    std::atomic_int calls{0};
    ScriptedHttpServer server([&](const ScriptedHttpServer::Request&, httplib::Response& response) {
        if (calls++ == 0) {
            response.status = 503;
            response.set_header("Retry-After", "1");
            response.set_content(R"({"error":"The service is busy with other removals; try again in 1 s"})",
                                 "application/json");
            return;
        }
        answerWithImage(response, sampleImage());
    });
    auto options = quickOptions(10s);
    options.upload.longestRetryDelay = 5s;
    RemovalServiceClient client(keychain, options);
    QElapsedTimer clock;
    clock.start();
    const Run run = upload(client, server.baseURL(), 1);

    ASSERT_EQ(run.outcomes.size(), 1u);
    EXPECT_TRUE(run.outcomes.at(0).image.has_value()) << run.outcomes.at(0).error.toStdString();
    EXPECT_GE(clock.elapsed(), 1000);
    EXPECT_EQ(server.requests().size(), 2u);
    const QList<UploadProgress>& steps = run.steps.at(0);
    ASSERT_EQ(steps.size(), 3);
    EXPECT_EQ(steps[0].kind, UploadProgress::Kind::sent);
    EXPECT_EQ(steps[1].kind, UploadProgress::Kind::retrying);
    EXPECT_EQ(steps[1].note, u"The service is busy; retrying in 1 s…"_s);
    EXPECT_GE(steps[1].delay, 1000ms);
    EXPECT_EQ(steps[2].attempt, 2);
}

// Busy for good: the attempts are bounded and the card reads a sentence.
TEST_F(RemotePacingTest, RetriesAreBounded)
{
    ScriptedHttpServer server([&](const ScriptedHttpServer::Request&, httplib::Response& response) {
        response.status = 503;
        response.set_header("Retry-After", "0");
        response.set_content(R"({"error":"busy"})", "application/json");
    });
    RemovalServiceClient client(keychain, quickOptions(10s));
    const Run run = upload(client, server.baseURL(), 1);
    ASSERT_EQ(run.outcomes.size(), 1u);
    EXPECT_EQ(run.outcomes.at(0).error, u"The service is busy; try again later."_s);
    EXPECT_EQ(server.requests().size(), 3u);
}

// A service that takes one upload of an account at a time while four are sent: the others are
// turned away, wait for a place without spending their attempts, and every photo comes back.
TEST_F(RemotePacingTest, UploadsTurnedAwayForAPlaceWaitAndAreNeverLost)
{
    ConcurrencyProbe probe;
    std::atomic_int turnedAway{0};
    ScriptedHttpServer server([&](const ScriptedHttpServer::Request&, httplib::Response& response) {
        probe.enter();
        if (probe.now > 1) {
            probe.leave();
            ++turnedAway;
            response.status = 503;
            response.set_header("Retry-After", "0");
            response.set_content(R"({"error":"The service is busy with other removals; try again in 1 s"})",
                                 "application/json");
            return;
        }
        std::this_thread::sleep_for(150ms);
        probe.leave();
        answerWithImage(response, sampleImage());
    });
    auto options = quickOptions(10s);
    options.upload.maxInFlight = 4;
    RemovalServiceClient client(keychain, options);
    const Run run = upload(client, server.baseURL(), 8);

    ASSERT_EQ(run.outcomes.size(), 8u);
    for (const auto& [index, outcome] : run.outcomes)
        EXPECT_TRUE(outcome.image.has_value()) << index << ": " << outcome.error.toStdString();
    EXPECT_GT(turnedAway.load(), 0);
    // Fewer are sent once the service has said how many it takes: far from three refusals a photo.
    EXPECT_LT(turnedAway.load(), 8);
}

// 401 and 402 end the run: the first answer speaks for it, the uploads not yet sent are never
// sent, and the server sees nothing more of the run.
TEST_F(RemotePacingTest, RefusedKeyOrNoCreditsStopsTheRestOfTheRun)
{
    for (const int status : {401, 402}) {
        ScriptedHttpServer server([&](const ScriptedHttpServer::Request&, httplib::Response& response) {
            std::this_thread::sleep_for(100ms);
            response.status = status;
            response.set_content(status == 402 ? R"({"error":"Not enough credits"})" : R"({"error":"Invalid API key"})",
                                 "application/json");
        });
        auto options = quickOptions(10s);
        options.upload.maxInFlight = 1;
        RemovalServiceClient client(keychain, options);
        const Run run = upload(client, server.baseURL(), 5);

        ASSERT_EQ(run.outcomes.size(), 5u);
        EXPECT_TRUE(run.outcomes.at(0).stopsRun);
        EXPECT_FALSE(run.outcomes.at(0).notSent);
        for (qsizetype i = 1; i < 5; ++i)
            EXPECT_TRUE(run.outcomes.at(i).notSent) << status << " " << i;
        EXPECT_EQ(server.requests().size(), 1u) << status;
    }
}

// A service that is down comes back: the connection failures are waited out.
TEST_F(RemotePacingTest, AnUnreachableServiceIsTriedAgain)
{
    auto options = quickOptions(10s);
    options.upload.firstReconnectDelay = 300ms;
    options.upload.maxAttempts = 6;
    RemovalServiceClient client(keychain, options);

    // A free port, with nothing listening until the server starts there a moment later.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const int port = probe.serverPort();
    probe.close();
    QList<ImageProcessingTask> tasks{taskFor(writeFile(u"late.png"_s, encoded(sampleImage(), "PNG")))};
    QObject context;
    std::optional<RemoteRemovalOutcome> outcome;
    QList<UploadProgress> steps;
    client.removeBackgroundRemotely(
        0, tasks, snapshotWithKey(QStringLiteral("http://127.0.0.1:%1").arg(port), u"k"_s), &context,
        [&](qsizetype, const RemoteRemovalOutcome& o) { outcome = o; }, std::make_shared<UploadRun>(),
        [&](qsizetype, const UploadProgress& step) { steps.append(step); });
    ASSERT_TRUE(waitUntil([&] { return steps.size() >= 2; }, 5s));
    EXPECT_TRUE(steps[1].note.startsWith(u"The service cannot be reached; retrying in"_s)) << steps[1].note.toStdString();

    httplib::Server late;
    late.Post(".*", [](const httplib::Request&, httplib::Response& response) { answerWithImage(response, sampleImage()); });
    ASSERT_TRUE(late.bind_to_port("127.0.0.1", port));
    std::thread serving([&] { late.listen_after_bind(); });
    EXPECT_TRUE(waitUntil([&] { return outcome.has_value(); }, 20s));
    while (!late.is_running())
        std::this_thread::sleep_for(10ms);
    late.stop();
    serving.join();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->image.has_value()) << outcome->error.toStdString();
}
