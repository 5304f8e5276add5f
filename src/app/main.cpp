#include "app/MainTabView.h"
#include "commands/KeyboardShortcutsModifier.h"
#include "commands/KeyboardShortcutsView.h"
#include "core/AppConstants.h"
#include "core/AppState.h"

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

    kivo::AppState appState;

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("KIVOPRO"));
    window.setMinimumSize(1200, 800);
    window.setCentralWidget(new kivo::MainTabView(appState));

    // The shortcuts watch every key press of the application's own windows.
    kivo::KeyboardShortcutsModifier shortcuts(appState, [&window] { return kivo::chooseImageToOpen(&window); });
    shortcuts.shortcutsManager().installKeyMonitor(app);

    window.show();
    return app.exec();
}
