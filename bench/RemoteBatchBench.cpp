// Benchmark and load test of a remote batch through the real main window: a folder of generated
// photos (some of 12 MP) dropped on the Background Removal tab and cut out with "Kivo Model"
// by a kivopro-service started here on a loopback port with a small removal queue. In the middle
// of the run the service is stopped for a while and started again on the same data. It checks
// that every photo completes with no failure shown, that the credits taken equal the photos and
// the transactions recorded, that a second "Process All" sends nothing, and that the remote
// cut-outs of a few photos equal the local engine's with the same settings. Run through
// bench/run.sh remote; the generated photos are removed at the end.

#include "BenchSupport.h"

#include "app/MainTabView.h"
#include "core/KeychainHelper.h"
#include "removal/batch/BackgroundRemovalTab.h"
#include "removal/engine/LocalRemovalEngine.h"
#include "service/ServiceProcess.h"
#include "support/IsolatedAppState.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QImageWriter>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMainWindow>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QTimer>
#include <QtConcurrent/QtConcurrentMap>

#include <memory>

using namespace kivo;
using namespace kivo::bench;

namespace {

const QString kApiKey = QStringLiteral("kivo_bench_remote_batch_key");

int count(const QList<ImageProcessingTask>& tasks, ProcessingStatus status)
{
    return int(std::count_if(tasks.begin(), tasks.end(), [status](const ImageProcessingTask& t) { return t.status == status; }));
}

// A JSON answer of the service, read with the event loop running.
QJsonObject ask(QNetworkAccessManager& network, const QString& url, const QByteArray& postBody = {})
{
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply* reply = postBody.isEmpty() ? network.get(request) : network.post(request, postBody);
    pumpUntil([reply] { return reply->isFinished(); }, 30000);
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    return answer;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const CommonOptions options = parseCommonOptions(app.arguments());
    const auto number = [&](const char* name, int fallback) {
        return options.named.value(QLatin1StringView(name), QString::number(fallback)).toInt();
    };
    const int photoCount = std::max(1, number("--photos", 200));
    const int largeCount = std::clamp(number("--large", 20), 0, photoCount);
    const int queueSize = std::max(1, number("--queue", 4));
    const int port = number("--port", 18500);
    const int stopSeconds = number("--stop-seconds", 20);
    const int inFlight = std::clamp(number("--in-flight", 4), 1, 8);
    const int compareCount = std::min(photoCount, 5);
    const QString quality = options.named.value(QStringLiteral("--quality"), QStringLiteral("balanced"));
    const QString shots = options.named.value(QStringLiteral("--shots"));
    if (options.source.isEmpty() || options.work.isEmpty()) {
        say(QStringLiteral("usage: kivo_remote_batch_bench --source PHOTO --work DIR [--photos N] [--large N] [--queue N]"
                           " [--in-flight N] [--port N] [--stop-seconds N] [--quality fast|balanced|high] [--shots DIR]"));
        return 2;
    }

    const QString folder = QDir(options.work).filePath(QStringLiteral("remote-batch-photos"));
    const QString data = QDir(options.work).filePath(QStringLiteral("remote-batch-service"));
    const ScratchFolders scratch({folder, data});
    QElapsedTimer clock;
    clock.start();
    if (!generateMixedPhotos(options.source, folder, photoCount, largeCount, QSize(800, 600))) {
        say(QStringLiteral("cannot generate the photos in %1").arg(folder));
        return 1;
    }
    say(QStringLiteral("KIVOPRO remote batch: %1 photos (%2 of 12 MP) generated in %3 s; service --queue %4, %5 in flight, quality %6")
            .arg(photoCount).arg(largeCount).arg(double(clock.elapsed()) / 1000, 0, 'f', 1).arg(queueSize).arg(inFlight)
            .arg(quality));

    // An account with enough credits for the batch, imported once.
    const qint64 startCredits = photoCount + 100;
    const QString accounts = QDir(data).filePath(QStringLiteral("accounts.json"));
    const QJsonObject account{{"id", 1}, {"name", "Bench"}, {"email", "bench@kivopro.example"}, {"api_key", kApiKey},
                              {"credits", startCredits}, {"password", "bench-password"}};
    writeFile(accounts, QJsonDocument(QJsonObject{{"accounts", QJsonArray{account}}, {"transactions", QJsonArray{}}}).toJson());
    const QStringList serviceArguments{QStringLiteral("--port"), QString::number(port), QStringLiteral("--queue"),
                                       QString::number(queueSize), QStringLiteral("--accounts"), accounts};
    auto service = std::make_unique<test::ServiceProcess>(serviceArguments, data);
    if (!service->isReady()) {
        say(QStringLiteral("the service did not start: ") + service->output());
        return 1;
    }
    const QString address = service->address();

    test::IsolatedAppState isolated;
    AppState& appState = isolated.appState;
    UserPreferences preferences = appState.userPreferences();
    preferences.backendBaseURLString = address;
    preferences.maxConcurrentProcesses = inFlight;
    preferences.processingQuality = qualityFromName(quality).value_or(ProcessingQuality::balanced);
    appState.setUserPreferences(preferences);
    AccountInfo signedIn;
    signedIn.apiKey = kApiKey;
    appState.setAccountInfo(signedIn);

    QMainWindow window;
    const auto shoot = [&](const char* name) {
        if (!shots.isEmpty() && QDir().mkpath(shots))
            window.grab().save(QDir(shots).filePath(QLatin1StringView(name) + QStringLiteral(".png")));
    };
    window.resize(1400, 900);
    auto* mainView = new MainTabView(appState);
    window.setCentralWidget(mainView);
    window.show();
    auto* tab = qobject_cast<BackgroundRemovalTab*>(mainView->screen(AppTab::backgroundRemoval));
    BatchRemovalQueue& queue = tab->queue();
    pumpUntil([] { return false; }, 500);

    dropFolder(tab, tab->size(), folder);
    pumpUntil([&] { return !queue.isAdding(); }, 30 * 60000);
    if (tab->alert())
        tab->alert()->accept();
    say(QStringLiteral("added                            %1 tasks").arg(queue.selectedImages().size()));

    // The run, with the service stopped and started again once a quarter of the photos are done.
    tab->aiModelMenu()->setCurrentIndex(int(AIModelSelection::kivo));
    int alerts = 0;
    QString lastAlert;
    QObject::connect(&queue, &BatchRemovalQueue::alertRequested, [&](const QString& text) {
        ++alerts;
        lastAlert = text;
    });
    int mostFailedShown = 0;
    const auto finished = [&] {
        const auto& tasks = queue.selectedImages();
        mostFailedShown = std::max(mostFailedShown, count(tasks, ProcessingStatus::failed));
        return count(tasks, ProcessingStatus::completed) + count(tasks, ProcessingStatus::failed);
    };
    clock.restart();
    mainView->processAllButton()->click();
    pumpUntil([&] { return finished() >= photoCount / 4; }, 3 * 3600 * 1000);
    shoot("remote-1-running");
    if (stopSeconds > 0) {
        say(QStringLiteral("service stopped after %1 s, %2 photos finished, for %3 s")
                .arg(double(clock.elapsed()) / 1000, 0, 'f', 1).arg(finished()).arg(stopSeconds));
        service.reset();
        pumpUntil([&] { finished(); return false; }, stopSeconds * 1000);
        shoot("remote-2-service-down");
        service = std::make_unique<test::ServiceProcess>(serviceArguments, data);
        say(QStringLiteral("service started again: %1").arg(service->isReady() ? service->address() : service->output()));
    }
    pumpUntil([&] { finished(); return !queue.isProcessing(); }, 3 * 3600 * 1000);
    const double runSeconds = double(clock.elapsed()) / 1000;
    shoot("remote-3-finished");
    const int completed = count(queue.selectedImages(), ProcessingStatus::completed);
    say(QStringLiteral("run                              %1 of %2 completed in %3 s (%4 s per photo), most failures shown %5 %6")
            .arg(completed).arg(photoCount).arg(runSeconds, 0, 'f', 1).arg(runSeconds / std::max(1, completed), 0, 'f', 2)
            .arg(mostFailedShown).arg(completed == photoCount && mostFailedShown == 0 ? "met" : "NOT MET"));
    if (alerts > 0)
        say(QStringLiteral("    alert: ") + lastAlert);

    // What the service charged and recorded.
    QNetworkAccessManager network;
    const auto balance = [&] {
        return ask(network, address + QStringLiteral("/api/app/login"), QJsonDocument(QJsonObject{{"api_key", kApiKey}}).toJson())
            .value("credits").toInteger(-1);
    };
    const auto transactions = [&] {
        return ask(network, address + QStringLiteral("/api/transactions?page=1&limit=1&api_key=") + kApiKey)
            .value("pagination").toObject().value("total_count").toInteger(-1);
    };
    const qint64 charged = startCredits - balance();
    const qint64 recorded = transactions();
    say(QStringLiteral("credits charged                  %1, transactions recorded %2 (target %3 = %3) %4")
            .arg(charged).arg(recorded).arg(photoCount)
            .arg(charged == photoCount && recorded == photoCount ? "met" : "NOT MET"));

    // "Process All" again: nothing to send.
    mainView->processAllButton()->click();
    pumpUntil([] { return false; }, 3000);
    pumpUntil([&] { return !queue.isProcessing(); }, 60000);
    const qint64 chargedAgain = startCredits - balance() - charged;
    say(QStringLiteral("second Process All               %1 more charged, %2 more transactions %3")
            .arg(chargedAgain).arg(transactions() - recorded)
            .arg(chargedAgain == 0 && transactions() == recorded ? "met" : "NOT MET"));
    shoot("remote-4-again");

    // The same photos with the local engine and the same settings.
    const RemovalOptions removalOptions = storedRemovalOptions(appState);
    int identical = 0;
    int largestDifference = 0;
    for (int i = 0; i < compareCount; ++i) {
        const ImageProcessingTask& task = queue.selectedImages().at(i);
        if (!task.processedImage)
            continue;
        const QImage remote = task.processedImage->decode().convertToFormat(QImage::Format_ARGB32);
        const auto local = removeBackgroundLocally(task.originalImage.decode(), removalOptions);
        if (!local || local->size() != remote.size())
            continue;
        int difference = 0;
        for (int y = 0; y < remote.height(); ++y) {
            const auto* a = reinterpret_cast<const QRgb*>(remote.constScanLine(y));
            const auto* b = reinterpret_cast<const QRgb*>(local->constScanLine(y));
            for (int x = 0; x < remote.width(); ++x)
                for (int shift : {0, 8, 16, 24})
                    difference = std::max(difference, std::abs(int((a[x] >> shift) & 0xff) - int((b[x] >> shift) & 0xff)));
        }
        largestDifference = std::max(largestDifference, difference);
        identical += difference == 0 ? 1 : 0;
    }
    say(QStringLiteral("local and remote cut-outs        %1 of %2 identical, largest channel difference %3 %4")
            .arg(identical).arg(compareCount).arg(largestDifference).arg(identical == compareCount ? "met" : "NOT MET"));
    return 0;
}
