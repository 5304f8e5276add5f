// kivopro-ui-tour: drives the real main window through a batch run and saves screenshots, for
// looking at the screens as a user sees them (run it under Xvfb or on a desktop).
//
//   kivopro-ui-tour OUTDIR [--remote SERVER_URL API_KEY] PATH...
//
// The paths reach the Background Removal tab as a real drop event, exactly as files dragged
// from a file manager do.

#include "core/AppConstants.h"
#include "core/AppState.h"
#include "app/MainTabView.h"
#include "removal/batch/BackgroundRemovalTab.h"
#include "tour-support/TourSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {

using kivo::tour::pump;
using kivo::tour::waitFor;

void shoot(QWidget& window, const QString& folder, const QString& name)
{
    kivo::tour::saveScreenshot(window, QDir(folder).filePath(name));
}

} // namespace

int main(int argc, char* argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString(kivo::kApplicationName));
    QStringList args = app.arguments().mid(1);
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: kivopro-ui-tour OUTDIR [--remote SERVER_URL API_KEY] PATH...\n");
        return 2;
    }
    const QString outDir = args.takeFirst();
    QDir().mkpath(outDir);
    QString server, apiKey;
    if (args.size() >= 3 && args.front() == u"--remote") {
        args.removeFirst();
        server = args.takeFirst();
        apiKey = args.takeFirst();
    }

    kivo::AppState appState;
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("KIVOPRO"));
    window.setMinimumSize(1200, 800);
    auto* mainView = new kivo::MainTabView(appState);
    window.setCentralWidget(mainView);
    window.show();
    pump(500);

    auto* tab = qobject_cast<kivo::BackgroundRemovalTab*>(mainView->screen(kivo::AppTab::backgroundRemoval));
    tab->queue().clearAll();
    shoot(window, outDir, QStringLiteral("1-empty.png"));

    if (!server.isEmpty()) {
        kivo::UserPreferences prefs = appState.userPreferences();
        prefs.backendBaseURLString = server;
        appState.setUserPreferences(prefs);
        kivo::AccountInfo account;
        account.apiKey = apiKey;
        appState.setAccountInfo(account);
        tab->aiModelMenu()->setCurrentIndex(1);
    }

    QList<QUrl> urls;
    for (const QString& path : args)
        urls << QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
    auto* mime = new QMimeData;
    mime->setUrls(urls);
    const QPointF at(tab->width() / 2.0, tab->height() / 2.0);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tab, &enter);
    shoot(window, outDir, QStringLiteral("2-drag-over.png"));
    QDropEvent drop(at, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);

    // The window must stay responsive while files are read: measure the longest gap between
    // ticks of a 10 ms timer on the window's thread.
    QElapsedTimer sinceTick;
    qint64 longestPause = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        longestPause = std::max(longestPause, sinceTick.restart());
    });
    sinceTick.start();
    probe.start(10);

    QElapsedTimer adding;
    adding.start();
    QApplication::sendEvent(tab, &drop);
    std::printf("drop handled in %lld ms (window thread)\n", static_cast<long long>(adding.elapsed()));
    pump(200);
    shoot(window, outDir, QStringLiteral("3-adding.png"));
    // The screenshot itself holds the window's thread; measure from here on.
    longestPause = 0;
    sinceTick.restart();
    waitFor([&] { return !tab->queue().isAdding(); }, 600);
    probe.stop();
    std::printf("files added in %lld ms: %lld tasks; longest pause of the window's thread: %lld ms\n",
                static_cast<long long>(adding.elapsed()),
                static_cast<long long>(tab->queue().selectedImages().size()), static_cast<long long>(longestPause));
    shoot(window, outDir, QStringLiteral("4-added-with-summary.png"));
    if (tab->alert())
        tab->alert()->accept();

    mainView->processAllButton()->click();
    QElapsedTimer run;
    run.start();
    waitFor([&] {
        const auto& tasks = tab->queue().selectedImages();
        return std::any_of(tasks.begin(), tasks.end(), [](const kivo::ImageProcessingTask& task) {
            return task.status == kivo::ProcessingStatus::completed;
        });
    }, 120);
    shoot(window, outDir, QStringLiteral("5-during-run.png"));
    waitFor([&] { return !tab->queue().isProcessing(); }, 1200);
    std::printf("run finished in %lld ms\n", static_cast<long long>(run.elapsed()));
    shoot(window, outDir, QStringLiteral("6-after-run.png"));

    QString message;
    const QString results = QDir(outDir).filePath(QStringLiteral("results"));
    QDir().mkpath(results);
    tab->queue().downloadAllImages(results, [&](const QString& text) { message = text; });
    waitFor([&] { return !message.isEmpty(); }, 600);
    std::printf("download all: %s\n", qPrintable(message));

    mainView->settingsButton()->click();
    shoot(window, outDir, QStringLiteral("7-settings.png"));
    return 0;
}
