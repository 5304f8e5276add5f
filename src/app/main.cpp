#include "app/MainTabView.h"
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
#include "removal/monitor/FolderMonitor.h"

#include <QApplication>
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

    // The cache of the batch's photos and results: made now, which removes what runs that
    // crashed left behind; it goes when the application quits.
    kivo::ImageCache::shared();

    kivo::AppState appState;
    // The folder monitor lives above the core; installing it resumes monitoring of the stored
    // folder when the trigger is on.
    appState.installFolderMonitor(std::make_unique<kivo::FolderMonitor>(appState, kivo::KeychainHelper::standard()));

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("KIVOPRO"));
    window.setMinimumSize(1200, 800);
    auto* mainView = new kivo::MainTabView(appState);
    window.setCentralWidget(mainView);
    // Closing the window, and quitting (which closes it first), ask about unsaved sessions.
    if (auto* editor = qobject_cast<kivo::ImageEditorTab*>(mainView->screen(kivo::AppTab::imageEditor)))
        new kivo::QuitGuard(&window, editor->model());

    // The shortcuts watch every key press of the application's own windows.
    kivo::KeyboardShortcutsModifier shortcuts(appState, [&window] { return kivo::chooseImageToOpen(&window); });
    shortcuts.shortcutsManager().installKeyMonitor(app);

    // Editor sessions survive a restart while "Auto-save sessions" is on; the saves under way
    // finish before the application goes.
    kivo::SessionAutoSaver autoSaver(
        appState, QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/kivopro/sessions"));
    autoSaver.restore();
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &autoSaver, [&autoSaver] {
        autoSaver.saveNow();
        QThreadPool::globalInstance()->waitForDone(30000);
    });

    window.show();
    return app.exec();
}
