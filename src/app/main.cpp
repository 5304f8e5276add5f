#include "app/MainTabView.h"
#include "app/WelcomeView.h"
#include "app/desktop/RunFeedback.h"
#include "commands/KeyboardShortcutsModifier.h"
#include "commands/KeyboardShortcutsView.h"
#include "core/AppConstants.h"
#include "core/AppState.h"
#include "core/ImageCache.h"
#include "core/KeychainHelper.h"
#include "removal/monitor/FolderMonitor.h"

#include <QApplication>
#include <QIcon>
#include <QMainWindow>

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
    auto monitor = std::make_unique<kivo::FolderMonitor>(appState, kivo::KeychainHelper::standard());
    kivo::FolderMonitor* folderMonitor = monitor.get();
    appState.installFolderMonitor(std::move(monitor));

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("KIVOPRO"));
    window.setMinimumSize(1200, 800);
    auto* tabView = new kivo::MainTabView(appState);
    window.setCentralWidget(tabView);
    // A file the folder monitor finished is announced on the desktop like a finished run.
    QObject::connect(folderMonitor, &kivo::FolderMonitor::fileFinished, &tabView->runFeedback(),
                     &kivo::RunFeedback::monitoredFileFinished);

    // The shortcuts watch every key press of the application's own windows.
    kivo::KeyboardShortcutsModifier shortcuts(appState, [&window] { return kivo::chooseImageToOpen(&window); });
    shortcuts.shortcutsManager().installKeyMonitor(app);

    window.show();
    if (appState.userPreferences().showWelcomeScreen) {
        auto* welcome = new kivo::WelcomeView(appState, &window);
        welcome->setAttribute(Qt::WA_DeleteOnClose);
        welcome->setWindowModality(Qt::WindowModal);
        welcome->open();
    }
    return app.exec();
}
