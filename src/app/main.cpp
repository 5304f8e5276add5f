#include "app/MainTabView.h"
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
    appState.installFolderMonitor(std::make_unique<kivo::FolderMonitor>(appState, kivo::KeychainHelper::standard()));

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("KIVOPRO"));
    window.setMinimumSize(1200, 800);
    window.setCentralWidget(new kivo::MainTabView(appState));

    // The shortcuts belong to the main window: keys typed into its text fields, a dialog or the
    // settings window never fire them. Quit closes the window, so it asks what the window asks.
    kivo::KeyboardShortcutsModifier shortcuts(appState, [&window] { window.close(); });
    shortcuts.shortcutsManager().installKeyMonitor(
        app, [&window](QObject* target) { return kivo::mainWindowShortcutMayFire(window, target); });

    window.show();
    return app.exec();
}
