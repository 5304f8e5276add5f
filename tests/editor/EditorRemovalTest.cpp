// Background removal in the editor with the real segmentation network.

#include "editor/document/ImageEditorModel.h"

#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include "core/ImageFileLoader.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

class EditorRemovalTest : public ::testing::Test {
protected:
    void open(const QString& file)
    {
        model.createNamedSession(file);
        model.importImage(QUrl::fromLocalFile(test::testDataPath(file)), loadImageFile(test::testDataPath(file)));
    }

    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    ImageEditorModel model{state};
};

} // namespace

TEST_F(EditorRemovalTest, OneRunAtATimeAndTheCutOutIsAnUndoableStepOfItsSession)
{
    open(QStringLiteral("astronaut.jpg"));
    const QUuid photoSession = model.selectedSession()->id;
    const QImage original = *model.selectedSession()->currentImage;
    model.removeBackgroundInEditor();
    model.removeBackgroundInEditor();
    ASSERT_TRUE(model.isRemovingBackground());
    // The user moves on to another session meanwhile.
    model.createNamedSession(QStringLiteral("other"));
    ASSERT_TRUE(test::waitUntil([&] { return !model.isRemovingBackground(); }, std::chrono::minutes(3)));

    const EditorSession& photo = state.editorSessions().front();
    ASSERT_EQ(photo.id, photoSession);
    // The empty start, the import, the cut-out.
    EXPECT_EQ(photo.documentHistory.size(), 3);
    EXPECT_EQ(photo.history.back().action, u"Remove Background");
    EXPECT_EQ(photo.currentImage->size(), original.size());
    EXPECT_EQ(photo.currentImage->pixelColor(2, 2).alpha(), 0);
    EXPECT_TRUE(state.editorSessions().back().documentHistory.isEmpty());
}

TEST_F(EditorRemovalTest, APhotoWithoutASubjectSaysSo)
{
    QSignalSpy alerts(&model, &ImageEditorModel::alertRequested);
    open(QStringLiteral("grass.jpg"));
    model.removeBackgroundInEditor();
    ASSERT_TRUE(test::waitUntil([&] { return !model.isRemovingBackground(); }, std::chrono::minutes(3)));
    ASSERT_EQ(alerts.count(), 1);
    EXPECT_EQ(alerts.front().front().toString(), u"Failed to create subject mask.");
    EXPECT_EQ(model.selectedSession()->documentHistory.size(), 2);
}
