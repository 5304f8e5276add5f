// The editor's write-back rule and its reactions to the session list and the active tab.

#include "editor/document/ImageEditorModel.h"
#include "editor/document/SessionEdits.h"

#include "EditorTestImages.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include "core/NotificationCenter.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;
using test::solidImage;

namespace {

// Reaches the write-back rule directly.
struct ProbeModel : ImageEditorModel {
    using ImageEditorModel::ImageEditorModel;
    using ImageEditorModel::edit;
};

class ImageEditorModelTest : public ::testing::Test {
protected:
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    ProbeModel model{state};
};

} // namespace

TEST_F(ImageEditorModelTest, AppearingWithoutSessionsCreatesADefaultOne)
{
    model.ensureSelectedSession();
    ASSERT_EQ(state.editorSessions().size(), 1);
    ASSERT_TRUE(model.selectedSession());
    EXPECT_TRUE(model.selectedSession()->name.startsWith(u"Session - "));

    // A selection is kept.
    state.appendEditorSession(makeNamedSession(QStringLiteral("second")));
    model.selectSession(state.editorSessions().front().id);
    model.ensureSelectedSession();
    EXPECT_EQ(model.selectedSession()->id, state.editorSessions().front().id);
}

TEST_F(ImageEditorModelTest, ANewSessionInTheListIsSelectedButEditsKeepTheSelection)
{
    model.createNamedSession(QStringLiteral("first"));
    model.createNamedSession(QString());
    ASSERT_EQ(state.editorSessions().size(), 1);
    model.createNamedSession(QStringLiteral("second"));
    EXPECT_EQ(model.selectedSession()->name, u"second");

    model.selectSession(state.editorSessions().front().id);
    model.addLayer();
    EXPECT_EQ(model.selectedSession()->name, u"first");
    EXPECT_EQ(state.editorSessions().front().layers.size(), 1);

    // The batch tab's hand-off: appended, then the editor tab becomes active.
    state.appendEditorSession(EditorSession::fromImage(QStringLiteral("cut.png"), solidImage(Qt::red)));
    EXPECT_EQ(model.selectedSession()->name, u"cut.png");
    model.selectSession(std::nullopt);
    EXPECT_FALSE(model.selectedSession());
    state.setActiveTab(AppTab::imageEditor);
    EXPECT_EQ(model.selectedSession()->name, u"cut.png");

    state.setEditorSessions({});
    EXPECT_FALSE(model.selectedSession());
}

TEST_F(ImageEditorModelTest, TheExportNotificationAsksTheWindowToExport)
{
    QSignalSpy requests(&model, &ImageEditorModel::exportRequested);
    NotificationCenter::defaultCenter().post(kProcessAllImages);
    NotificationCenter::defaultCenter().post(kExportImage);
    EXPECT_EQ(requests.count(), 1);
}

TEST_F(ImageEditorModelTest, EditsOfARemovedSessionChangeNothing)
{
    model.createNamedSession(QStringLiteral("kept"));
    const EditorSession kept = state.editorSessions().front();
    const QUuid removed = QUuid::createUuid();
    EXPECT_FALSE(model.edit([](EditorSession& session) { session.name = QStringLiteral("changed"); return true; },
                            removed));
    EXPECT_EQ(state.editorSessions().front().name, u"kept");

    // An import still loading when its session goes lands nowhere.
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("a.png"));
    ASSERT_TRUE(solidImage(Qt::red).save(file));
    model.importImageFiles({QUrl::fromLocalFile(file)});
    state.setEditorSessions({});
    state.appendEditorSession(makeNamedSession(QStringLiteral("other")));
    ASSERT_TRUE(test::waitUntil([&] { return model.selectedImage().has_value(); }));
    EXPECT_TRUE(state.editorSessions().front().layers.isEmpty());
    EXPECT_EQ(model.selectedSession()->name, u"other");
}

TEST_F(ImageEditorModelTest, ImportedFilesBecomeLayersInOrder)
{
    model.createNamedSession(QStringLiteral("s"));
    QTemporaryDir folder;
    QList<QUrl> files;
    for (const char* name : {"one.png", "broken.png", "two.png"}) {
        const QString path = folder.filePath(QString::fromLatin1(name));
        if (QByteArrayView(name) == "broken.png") {
            QFile text(path);
            ASSERT_TRUE(text.open(QIODevice::WriteOnly));
            text.write("not an image");
        } else {
            ASSERT_TRUE(solidImage(Qt::blue).save(path));
        }
        files << QUrl::fromLocalFile(path);
    }
    model.importImageFiles(files);
    ASSERT_TRUE(test::waitUntil([&] { return model.selectedSession()->layers.size() == 2; }));
    EXPECT_EQ(model.selectedSession()->layers[0].name, u"one.png");
    EXPECT_EQ(model.selectedSession()->layers[1].name, u"two.png");
    // Each import is a step of its own.
    EXPECT_TRUE(model.canUndo());
    model.undo();
    EXPECT_EQ(model.selectedSession()->layers.size(), 1);
}

TEST_F(ImageEditorModelTest, UndoWaitsForAStepRestoredInTheBackground)
{
    model.createNamedSession(QStringLiteral("s"));
    model.importImage(QUrl::fromLocalFile(QStringLiteral("/photos/base.png")), solidImage(Qt::black, {600, 400}));
    const QUuid base = model.selectedSession()->layers.front().id;
    // Steps 0 (empty) and 1 (the import), then one stroke-like edit per colour.
    QList<QColor> colours{Qt::black, Qt::black};
    for (int step = 2; step < 10; ++step) {
        colours << QColor(step * 25, 0, 0);
        model.updateLayerImage(solidImage(colours.back(), {600, 400}), base, actions::brushStroke);
    }
    ImageHistory::waitForCompression();
    for (int step = 8; step >= 1; --step) {
        model.undo();
        ASSERT_TRUE(test::waitUntil([&] { return model.selectedSession()->currentHistoryIndex == step; }));
        EXPECT_EQ(model.selectedSession()->currentImage->pixelColor(10, 10), colours[step]);
        // The list holds the same session as the editor's copy.
        EXPECT_EQ(state.editorSessions().front().currentHistoryIndex, step);
        // Jump past the window: the next versions are let go and must come back compressed.
        ImageHistory::waitForCompression();
    }
    for (int step = 2; step < 10; ++step) {
        model.redo();
        ASSERT_TRUE(test::waitUntil([&] { return model.selectedSession()->currentHistoryIndex == step; }));
        EXPECT_EQ(model.selectedSession()->currentImage->pixelColor(10, 10), colours[step]);
    }
}

TEST_F(ImageEditorModelTest, ASavedSessionOpensAgainAsANewSelectedSession)
{
    model.createNamedSession(QStringLiteral("layers"));
    model.importImage(QUrl::fromLocalFile(QStringLiteral("/photos/base.png")), solidImage(Qt::green, {30, 20}));
    model.addLayer();
    model.setLayerBlendMode(model.selectedSession()->layers.back().id, BlendMode::hardLight);
    EXPECT_FALSE(model.saveSession());
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("layers.ora"));
    model.saveSessionAs(path);
    ASSERT_TRUE(test::waitUntil([&] { return QFile::exists(path); }));
    EXPECT_EQ(model.sessionFile(), path);

    model.openSessionFile(path);
    ASSERT_TRUE(test::waitUntil([&] { return state.editorSessions().size() == 2; }));
    const EditorSession& opened = *model.selectedSession();
    EXPECT_EQ(opened.name, u"layers");
    ASSERT_EQ(opened.layers.size(), 2);
    EXPECT_EQ(opened.layers[1].blendMode, BlendMode::hardLight);
    EXPECT_EQ(opened.layers[0].image.pixelColor(5, 5), QColor(Qt::green));
    EXPECT_EQ(model.sessionFile(), path);
}
