// A program that has one large session auto-saved over and over, for the test that kills it with
// SIGKILL in the middle of a save. Step k names the session "step k" and gives its top layer the
// step's image; once the auto-save of step k is on disk it prints "saved k" and goes on to k + 1.
//
//   kivo_autosave_child FOLDER WIDTH HEIGHT

#include "AutoSaveSteps.h"
#include "support/IsolatedAppState.h"

#include "editor/document/SessionAutoSaver.h"
#include "editor/document/SessionEdits.h"

#include <QGuiApplication>

#include <cstdio>

using namespace kivo;

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 4) {
        std::fprintf(stderr, "usage: kivo_autosave_child FOLDER WIDTH HEIGHT\n");
        return 2;
    }
    const QSize size(arguments[2].toInt(), arguments[3].toInt());

    test::IsolatedAppState state;
    SessionAutoSaver saver(state.appState, arguments[1]);
    EditorSession session = EditorSession::fromImage(test::autoSaveStepName(0), test::autoSaveBase(size));
    importImage(session, QStringLiteral("step.png"), test::autoSaveStepLayer(size, 0));
    int step = 0;
    QObject::connect(&saver, &SessionAutoSaver::saved, &app, [&] {
        std::printf("saved %d\n", step);
        std::fflush(stdout);
        ++step;
        session.name = test::autoSaveStepName(step);
        session.layers.back().image = test::autoSaveStepLayer(size, step);
        state.appState.setEditorSessions({session});
        saver.saveNow();
    });
    state.appState.setEditorSessions({session});
    saver.saveNow();
    return app.exec();
}
