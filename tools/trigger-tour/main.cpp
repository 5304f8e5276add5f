// kivopro-trigger-tour: drives the real main window's Trigger tab through the folder monitor's
// states with the local engine and saves a screenshot of each (run it under Xvfb or on a
// desktop, with a HOME of its own).
//
//   kivopro-trigger-tour OUTDIR PHOTO            the states, then quits with files waiting
//   kivopro-trigger-tour OUTDIR PHOTO --resume   the next start: the waiting files are done
//
// Idle without a folder; Monitoring; Processing N of M during a burst that arrives by several
// routes; switched off mid-burst (Idle with the files left); switched on again until done, with
// failures among the rows; the folder removed (Error); the folder back (Monitoring again).

#include "app/MainTabView.h"
#include "core/AppConstants.h"
#include "core/AppState.h"
#include "core/AtomicFile.h"
#include "core/KeychainHelper.h"
#include "removal/monitor/FolderMonitor.h"
#include "tour-support/TourSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMainWindow>
#include <QProcess>

#include <cstdio>

namespace {

using kivo::tour::pump;
using kivo::tour::waitFor;

void shoot(QWidget& window, const QString& folder, const QString& name)
{
    kivo::tour::saveScreenshot(window, QDir(folder).filePath(name));
}

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
}

} // namespace

int main(int argc, char* argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString(kivo::kApplicationName));
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 2 && !(args.size() == 3 && args[2] == u"--resume")) {
        std::fprintf(stderr, "usage: kivopro-trigger-tour OUTDIR PHOTO [--resume]\n");
        return 2;
    }
    const bool resume = args.size() == 3;
    const QString outDir = QFileInfo(args[0]).absoluteFilePath();
    const QString photo = QFileInfo(args[1]).absoluteFilePath();
    const QString watched = QDir(outDir).filePath(QStringLiteral("watched"));
    if (!resume)
        QDir(watched).removeRecursively();
    QDir().mkpath(watched);
    QFile source(photo);
    if (!source.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(photo));
        return 1;
    }
    const QByteArray bytes = source.readAll();

    kivo::AppState appState;
    appState.installFolderMonitor(std::make_unique<kivo::FolderMonitor>(appState, kivo::KeychainHelper::standard()));
    const auto finished = [&] {
        for (const auto& activity : appState.triggerRecentActivity())
            if (activity && activity->status() == kivo::TriggerActivityStatus::processing)
                return false;
        return appState.triggerStatus() == kivo::TriggerStatus::monitoring;
    };
    if (resume) {
        QMainWindow window;
        window.resize(1200, 900);
        window.setCentralWidget(new kivo::MainTabView(appState));
        window.show();
        appState.setActiveTab(kivo::AppTab::trigger);
        waitFor([&] { return appState.triggerStatus() == kivo::TriggerStatus::processing; }, 30);
        say(QStringLiteral("restarted: %1 of %2").arg(appState.triggerProgress().current).arg(appState.triggerProgress().total));
        shoot(window, outDir, QStringLiteral("9-restarted-processing-the-waiting.png"));
        waitFor(finished, 600);
        pump(500);
        shoot(window, outDir, QStringLiteral("10-restarted-done.png"));
        say(QStringLiteral("results: %1").arg(QDir(watched + QStringLiteral("/kivo_processed")).entryList(QDir::Files).size()));
        return 0;
    }
    kivo::UserPreferences preferences = appState.userPreferences();
    preferences.triggerEnabled = false;
    preferences.triggerFolderPath.reset();
    preferences.triggerAIModel = QStringLiteral("localFree");
    appState.setUserPreferences(preferences);

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("KIVOPRO"));
    window.setMinimumSize(1200, 800);
    window.resize(1200, 900);
    auto* mainView = new kivo::MainTabView(appState);
    window.setCentralWidget(mainView);
    window.show();
    appState.setActiveTab(kivo::AppTab::trigger);
    pump(800);
    shoot(window, outDir, QStringLiteral("1-idle-no-folder.png"));

    preferences = appState.userPreferences();
    preferences.triggerFolderPath = watched;
    appState.setUserPreferences(preferences);
    appState.setTriggerEnabled(true);
    pump(800);
    shoot(window, outDir, QStringLiteral("2-monitoring.png"));

    // A burst by several routes, with a few files that cannot be used among them.
    const QString beside = QDir(outDir).filePath(QStringLiteral("beside"));
    QDir(beside).removeRecursively();
    QDir().mkpath(beside);
    const QString longName = QStringLiteral("IMG_20250105_143000_holiday_on_the_beach_with_the_whole_family_and_"
                                            "the_dog_edited_final_version_2.jpg");
    QStringList script;
    for (int i = 1; i <= 8; ++i) {
        const QString name = i == 3 ? longName : QStringLiteral("photo%1.jpg").arg(i);
        const QString kept = QDir(beside).filePath(name);
        kivo::writeFileAtomically(kept, bytes);
        const QString target = QDir(watched).filePath(name);
        switch (i % 4) {
        case 0: script << QStringLiteral("cp '%1' '%2'").arg(kept, target); break;
        case 1: script << QStringLiteral("mv '%1' '%2'").arg(kept, target); break;
        case 2: script << QStringLiteral("cp '%1' '%2.part' && mv '%2.part' '%2'").arg(kept, target); break;
        default: script << QStringLiteral("rsync '%1' '%2'").arg(kept, target); break;
        }
    }
    kivo::writeFileAtomically(QDir(watched).filePath(QStringLiteral("empty.jpg")), QByteArray());
    kivo::writeFileAtomically(QDir(watched).filePath(QStringLiteral("fake.png")), QByteArray("no PNG here"));
    QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), script.join(QStringLiteral(" && "))});
    waitFor([&] {
        return appState.triggerStatus() == kivo::TriggerStatus::processing && appState.triggerProgress().current >= 4;
    }, 300);
    shoot(window, outDir, QStringLiteral("3-processing.png"));

    appState.setTriggerEnabled(false);
    say(QStringLiteral("switched off: ") + appState.triggerStatusReason());
    pump(500);
    shoot(window, outDir, QStringLiteral("4-switched-off-with-files-left.png"));
    waitFor([&] {
        for (const auto& activity : appState.triggerRecentActivity())
            if (activity && activity->status() == kivo::TriggerActivityStatus::processing)
                return false;
        return true;
    }, 300);

    appState.setTriggerEnabled(true);
    waitFor([&] { return appState.triggerStatus() == kivo::TriggerStatus::processing; }, 30);
    waitFor([&] { return appState.triggerStatus() == kivo::TriggerStatus::monitoring; }, 600);
    pump(500);
    shoot(window, outDir, QStringLiteral("5-done-with-history.png"));

    QDir(watched).removeRecursively();
    waitFor([&] { return appState.triggerStatus() == kivo::TriggerStatus::error; }, 30);
    pump(500);
    shoot(window, outDir, QStringLiteral("6-error-folder-removed.png"));

    QDir().mkpath(watched);
    waitFor([&] { return appState.triggerStatus() == kivo::TriggerStatus::monitoring; }, 30);
    pump(500);
    shoot(window, outDir, QStringLiteral("7-folder-back-monitoring.png"));
    waitFor(finished, 600);

    // Another burst, and a quit while most of it waits.
    QStringList copies;
    for (int i = 1; i <= 6; ++i)
        copies << QStringLiteral("cp '%1' '%2/later%3.jpg'").arg(photo, watched).arg(i);
    QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), copies.join(QStringLiteral(" && "))});
    waitFor([&] { return appState.triggerProgress().total >= 6; }, 30);
    shoot(window, outDir, QStringLiteral("8-quitting-with-files-waiting.png"));
    say(QStringLiteral("quitting at %1 of %2").arg(appState.triggerProgress().current).arg(appState.triggerProgress().total));
    return 0;
}
