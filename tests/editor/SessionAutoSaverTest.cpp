// Auto-saved sessions: saved after a change, back after a restart, gone when closed.

#include "editor/document/SessionAutoSaver.h"
#include "editor/document/SessionEdits.h"

#include "EditorTestImages.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;

TEST(SessionAutoSaver, SessionsComeBackAfterARestartAndClosedOnesDoNot)
{
    QTemporaryDir folder;
    EditorSession kept = makeNamedSession(QStringLiteral("kept"));
    importImage(kept, QStringLiteral("photo.png"), test::solidImage(Qt::red, {12, 8}));
    addLayer(kept);
    setLayerBlendMode(kept, kept.layers[1].id, BlendMode::screen);
    EditorSession closed = makeNamedSession(QStringLiteral("closed"));
    importImage(closed, QStringLiteral("other.png"), test::solidImage(Qt::blue, {4, 4}));
    {
        test::IsolatedAppState before;
        SessionAutoSaver saver(before.appState, folder.path());
        QSignalSpy saved(&saver, &SessionAutoSaver::saved);
        before.appState.appendEditorSession(kept);
        before.appState.appendEditorSession(closed);
        // Nothing is written before the pause after the last change.
        EXPECT_TRUE(QDir(folder.path()).entryList({QStringLiteral("*.ora")}).isEmpty());
        ASSERT_TRUE(saved.wait(SessionAutoSaver::debounceMs * 4));
        EXPECT_EQ(QDir(folder.path()).entryList({QStringLiteral("*.ora")}).size(), 2);
        // Closing a session removes its file.
        before.appState.setEditorSessions({before.appState.editorSessions().front()});
        saver.saveNow();
        ASSERT_TRUE(test::waitUntil([&] { return !saver.isSaving(); }));
        EXPECT_EQ(QDir(folder.path()).entryList({QStringLiteral("*.ora")}).size(), 1);
    }
    test::IsolatedAppState after;
    SessionAutoSaver saver(after.appState, folder.path());
    QSignalSpy restored(&saver, &SessionAutoSaver::restored);
    saver.restore();
    ASSERT_TRUE(restored.wait(10000));
    ASSERT_EQ(after.appState.editorSessions().size(), 1);
    const EditorSession& back = after.appState.editorSessions().front();
    EXPECT_EQ(back.id, kept.id);
    EXPECT_EQ(back.name, u"kept");
    ASSERT_EQ(back.layers.size(), 2);
    EXPECT_EQ(back.layers[1].blendMode, BlendMode::screen);
    EXPECT_EQ(back.layers[0].image.pixelColor(3, 3), QColor(Qt::red));
}
