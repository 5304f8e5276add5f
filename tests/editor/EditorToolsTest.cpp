// The editor's tools on a session: strokes mapped from the canvas, the selection and its
// operations, the brush rule and background removal's alerts.

#include "editor/document/ImageEditorModel.h"
#include "editor/document/SessionEdits.h"

#include "EditorTestImages.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace kivo;
using test::solidImage;

namespace {

class EditorToolsTest : public ::testing::Test {
protected:
    // A session whose base image is `image`, shown in a canvas of `canvas` points.
    void startWith(const QImage& image, QSizeF canvas)
    {
        model.createNamedSession(QStringLiteral("tools"));
        model.importImage(QUrl::fromLocalFile(QStringLiteral("/photos/base.png")), image);
        model.setCanvasSize(canvas);
    }

    const EditorSession& session() const { return *model.selectedSession(); }
    QImage current() const { return *session().currentImage; }

    // A horizontal stroke through the canvas's middle row.
    static DrawingStroke across(const DrawingTool& tool, QSizeF canvas)
    {
        return {tool, {QPointF(0, canvas.height() / 2), QPointF(canvas.width(), canvas.height() / 2)}};
    }

    // Rows of column `x` whose red channel shows the paint.
    static int paintedRows(const QImage& image, int x)
    {
        int rows = 0;
        for (int y = 0; y < image.height(); ++y)
            rows += image.pixelColor(x, y).green() < 128;
        return rows;
    }

    void select(const QRectF& canvasRect)
    {
        model.setSelectionFromStroke({DrawingTool::selection(), {canvasRect.topLeft(), canvasRect.bottomRight()}});
    }

    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    ImageEditorModel model{state};
};

} // namespace

TEST_F(EditorToolsTest, LineWidthIsTheBrushSizeOverTheScaleButAtLeastOnePixel)
{
    // Shown at half size: a brush of 12 paints 24 pixels.
    startWith(solidImage(Qt::white, {400, 400}), {200, 200});
    model.handleFinishedStroke(across(DrawingTool::marker(Qt::red, 12), {200, 200}));
    EXPECT_NEAR(paintedRows(current(), 200), 24, 1);
    EXPECT_EQ(session().history.back().action, u"Brush Stroke");

    // Shown 24 times enlarged: half a pixel becomes the minimum of one.
    model.createNamedSession(QStringLiteral("small"));
    startWith(solidImage(Qt::white, {10, 10}), {240, 240});
    model.handleFinishedStroke(across(DrawingTool::marker(Qt::red, 12), {240, 240}));
    EXPECT_EQ(paintedRows(current(), 5), 1);
}

TEST_F(EditorToolsTest, AStrokeThatMissesTheImageLeavesNoTrace)
{
    // 100 × 50 fitted into 200 × 200: the image spans y 50 … 150 of the canvas.
    startWith(solidImage(Qt::white, {100, 50}), {200, 200});
    const auto historyBefore = session().history.size();
    model.handleFinishedStroke({DrawingTool::marker(Qt::red, 12), {QPointF(0, 10), QPointF(200, 20)}});
    EXPECT_EQ(session().history.size(), historyBefore);
    EXPECT_EQ(current(), solidImage(Qt::white, {100, 50}));
}

TEST_F(EditorToolsTest, ErasingTheBaseLayerMakesTransparentPixelsThatUndoBringsBack)
{
    startWith(solidImage(Qt::blue, {100, 100}), {100, 100});
    model.chooseEraser();
    EXPECT_EQ(model.currentTool(), DrawingTool::eraser(12));
    model.handleFinishedStroke(across(model.currentTool(), {100, 100}));
    EXPECT_EQ(current().pixelColor(50, 50).alpha(), 0);
    EXPECT_EQ(session().layers.front().image.pixelColor(50, 50).alpha(), 0);
    EXPECT_EQ(current().pixelColor(50, 10).alpha(), 255);
    EXPECT_EQ(session().history.back().action, u"Eraser Stroke");
    model.undo();
    EXPECT_EQ(current().pixelColor(50, 50), QColor(Qt::blue));
}

TEST_F(EditorToolsTest, APaintedOrdinaryLayerStoresTheFlattenedCanvas)
{
    startWith(solidImage(Qt::white, {100, 100}), {100, 100});
    model.addLayer();
    model.handleFinishedStroke(across(DrawingTool::marker(Qt::black, 10), {100, 100}));
    const ImageLayer& layer = session().layers.back();
    EXPECT_EQ(layer.image.size(), QSize(100, 100));
    EXPECT_EQ(layer.image.pixelColor(50, 50), QColor(Qt::black));
    EXPECT_EQ(session().imageHistory.size(), 2);
    EXPECT_EQ(current().pixelColor(50, 50), QColor(Qt::black));
}

TEST_F(EditorToolsTest, ASelectionUnderOnePixelDoesNothing)
{
    startWith(solidImage(Qt::green, {40, 40}), {100, 100});
    // 1 × 1 canvas points at 2.5 points per pixel: 0.4 × 0.4 pixels.
    select(QRectF(50, 50, 0, 0));
    ASSERT_EQ(model.selectionRectCanvas(), QRectF(50, 50, 1, 1));
    QGuiApplication::clipboard()->setText(QStringLiteral("untouched"));
    const auto historyBefore = session().history.size();
    model.deleteSelection();
    model.cropToSelection();
    model.copySelection();
    EXPECT_EQ(session().history.size(), historyBefore);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), u"untouched");
    EXPECT_TRUE(model.selectionRectCanvas().has_value());
}

TEST_F(EditorToolsTest, ASelectionOverTheLeftEdgeStartsAtZeroAndKeepsItsWidth)
{
    startWith(solidImage(Qt::green, {100, 100}), {100, 100});
    select(QRectF(QPointF(-20, 10), QPointF(30, 60)));
    model.copySelection();
    const QImage copied = QGuiApplication::clipboard()->image();
    EXPECT_EQ(copied.size(), QSize(50, 50));
    EXPECT_EQ(copied.pixelColor(10, 10), QColor(Qt::green));

    model.cutSelection();
    // Rows count from the top: canvas y 10 … 60 are image rows 40 … 90.
    EXPECT_EQ(current().pixelColor(25, 60).alpha(), 0);
    EXPECT_EQ(current().pixelColor(25, 20).alpha(), 255);
    EXPECT_EQ(current().pixelColor(75, 60).alpha(), 255);
    EXPECT_EQ(session().history.back().action, u"Selection Delete");
    EXPECT_TRUE(model.selectionRectCanvas().has_value());
}

TEST_F(EditorToolsTest, CropResetsZoomAndOffsetAndClearsTheSelectionWhileCancelOnlyClears)
{
    startWith(solidImage(Qt::green, {100, 100}), {100, 100});
    model.chooseCrop();
    model.handleFinishedStroke({model.currentTool(), {QPointF(10, 10), QPointF(70, 50)}});
    model.clearSelection();
    EXPECT_FALSE(model.selectionRectCanvas());
    EXPECT_EQ(session().imageHistory.size(), 1);

    // A zoomed and shifted session: the crop maps through both, then resets them.
    QList<EditorSession> sessions = state.editorSessions();
    sessions.back().zoomLevel = 2.0;
    sessions.back().canvasOffset = QSizeF(-50, -50);
    state.setEditorSessions(sessions);
    model.handleFinishedStroke({model.currentTool(), {QPointF(10, 10), QPointF(70, 50)}});
    model.cropToSelection();
    EXPECT_EQ(current().size(), QSize(30, 20));
    EXPECT_EQ(session().zoomLevel, 1.0);
    EXPECT_EQ(session().canvasOffset, QSizeF(0, 0));
    EXPECT_FALSE(model.selectionRectCanvas());
    EXPECT_EQ(session().history.back().action, u"Crop Image");
}

TEST_F(EditorToolsTest, TheBrushFollowsColourAndSizeOnlyWhileItIsTheTool)
{
    EXPECT_EQ(model.currentTool(), DrawingTool::marker(Qt::black, 12));
    model.setBrushColor(Qt::red);
    EXPECT_EQ(model.currentTool(), DrawingTool::marker(Qt::red, 12));
    model.chooseSelection();
    model.setBrushSize(30);
    model.setBrushColor(Qt::blue);
    EXPECT_EQ(model.currentTool(), DrawingTool::selection());
    model.chooseEraser();
    EXPECT_EQ(model.currentTool(), DrawingTool::eraser(12));
    model.chooseBrush();
    EXPECT_EQ(model.currentTool(), DrawingTool::marker(Qt::blue, 30));
}

TEST_F(EditorToolsTest, RemovalWithoutAnImageOrWithUnreadablePixelsSaysSo)
{
    QSignalSpy alerts(&model, &ImageEditorModel::alertRequested);
    model.createNamedSession(QStringLiteral("empty"));
    model.removeBackgroundInEditor();
    ASSERT_EQ(alerts.count(), 1);
    EXPECT_EQ(alerts.takeFirst().front().toString(), u"No image in session to process.");
    EXPECT_FALSE(model.isRemovingBackground());

    // A current image without pixels cannot be read.
    QList<EditorSession> sessions = state.editorSessions();
    sessions.back().currentImage = QImage();
    state.setEditorSessions(sessions);
    model.selectSession(sessions.back().id);
    model.removeBackgroundInEditor();
    EXPECT_TRUE(model.isRemovingBackground());
    ASSERT_TRUE(test::waitUntil([&] { return !model.isRemovingBackground(); }));
    ASSERT_EQ(alerts.count(), 1);
    EXPECT_EQ(alerts.takeFirst().front().toString(), u"Failed to read image data.");
}
