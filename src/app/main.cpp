#include "app/LaunchFiles.h"
#include "app/MainTabView.h"
#include "app/WelcomeView.h"
#include "app/desktop/RunFeedback.h"
#include "commands/KeyboardShortcutsModifier.h"
#include "commands/KeyboardShortcutsView.h"
#include "core/AppConstants.h"
#include "core/AppState.h"
#include "core/ImageCache.h"
#include "core/KeychainHelper.h"
#include "editor/document/ImageEditorModel.h"
#include "editor/document/SessionAutoSaver.h"
#include "editor/window/ImageEditorTab.h"
#include "editor/window/QuitGuard.h"
#include "removal/batch/BackgroundRemovalTab.h"
#include "removal/monitor/FolderMonitor.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QMainWindow>
#include <QStandardPaths>
#include <QThreadPool>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // No organisation name: the user's data folder is then ~/.local/share/kivopro.
    QApplication::setApplicationName(QString(kivo::kApplicationName));
    QApplication::setApplicationDisplayName(QStringLiteral("KIVOPRO"));
    QApplication::setApplicationVersion(QStringLiteral(KIVOPRO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("kivopro"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kivopro.svg")));

    // A second launch hands its files to the window already running and ends.
    const kivo::LaunchFiles launchFiles = kivo::sortLaunchFiles(app.arguments().mid(1), QDir::currentPath());
    kivo::SingleInstance instance;
    if (!instance.claim()) {
        if (kivo::SingleInstance::sendToRunning(launchFiles.paths()))
            return 0;
        // The running window did not answer; this one carries on alone.
    }

    // The cache of the batch's photos and results: made now, which removes what runs that
    // crashed left behind; it goes when the application quits.
    kivo::ImageCache::shared();

    kivo::AppState appState;
    // The folder monitor lives above the core; installing it resumes monitoring of the stored
    // folder when the trigger is on.
    auto monitor = std::make_unique<kivo::FolderMonitor>(appState, kivo::KeychainHelper::standard());
    kivo::FolderMonitor* folderMonitor = monitor.get();
    appState.installFolderMonitor(std::move(monitor));

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("KIVOPRO"));
    window.setMinimumSize(1200, 800);
    auto* tabs = new kivo::MainTabView(appState);
    window.setCentralWidget(tabs);
    // Closing the window, and quitting (which closes it first), ask about unsaved sessions and a
    // batch run in progress.
    if (auto* editor = qobject_cast<kivo::ImageEditorTab*>(tabs->screen(kivo::AppTab::imageEditor))) {
        auto* guard = new kivo::QuitGuard(&window, editor->model());
        if (auto* batch = qobject_cast<kivo::BackgroundRemovalTab*>(tabs->screen(kivo::AppTab::backgroundRemoval)))
            guard->setBatchRunning([batch] { return batch->queue().isProcessing(); });
        // OpenRaster files from the command line, the desktop or a second launch open as sessions.
        QObject::connect(tabs, &kivo::MainTabView::sessionFilesRequested, editor, [editor](const QStringList& paths) {
            for (const QString& path : paths)
                editor->model().openSessionFile(path);
        });
    }
    // A file the folder monitor finished is announced on the desktop like a finished run.
    tabs->runFeedback().announceFilesOf(*folderMonitor);

    // The shortcuts belong to the main window: keys typed into its text fields, a dialog or the
    // settings window never fire them. Quit closes the window, so it asks what the window asks.
    kivo::KeyboardShortcutsModifier shortcuts(appState, [&window] { window.close(); });
    shortcuts.shortcutsManager().installKeyMonitor(
        app, [&window](QObject* target) { return kivo::mainWindowShortcutMayFire(window, target); });

    // Editor sessions survive a restart while "Auto-save sessions" is on; the saves under way
    // (the auto-saver's and a "Save Session" still being written) finish before the application goes.
    kivo::SessionAutoSaver autoSaver(
        appState, QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/kivopro/sessions"));
    autoSaver.restore();
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &autoSaver, [&autoSaver] {
        autoSaver.saveNow();
        autoSaver.waitForSaves(30000);
        QThreadPool::globalInstance()->waitForDone(30000);
    });

    window.show();
    if (appState.userPreferences().showWelcomeScreen) {
        auto* welcome = new kivo::WelcomeView(appState, &window);
        welcome->setAttribute(Qt::WA_DeleteOnClose);
        welcome->setWindowModality(Qt::WindowModal);
        welcome->open();
    }
    tabs->openLaunchFiles(launchFiles);
    QObject::connect(&instance, &kivo::SingleInstance::filesReceived, &window, [&window, tabs](const QStringList& paths) {
        tabs->openLaunchFiles(kivo::sortLaunchFiles(paths, QDir::rootPath()));
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    return app.exec();
}
