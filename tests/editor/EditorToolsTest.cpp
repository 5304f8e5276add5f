// The editor's tools on a session: strokes mapped from the canvas at every zoom onto the one
// layer they are made on, the eraser, the selection with its operations, crop, and background
// removal's alert.

#include "editor/document/ImageEditorModel.h"
#include "editor/document/SessionEdits.h"
#include "editor/rendering/CanvasRenderer.h"

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
    QImage base() const { return baseLayer(session())->image; }
    QImage top() const { return session().layers.back().image; }

    // The canvas point (origin at the lower-left) over a document point.
    QPointF canvasPoint(const QPointF& document) const
    {
        const QPointF widget = model.canvasView().toWidget(document);
        return {widget.x(), model.canvasSize().height() - widget.y()};
    }

    // A horizontal stroke through the document's row `y`, across the whole canvas.
    DrawingStroke across(const DrawingTool& tool, double y) const
    {
        const double canvasY = canvasPoint({0, y}).y();
        DrawingStroke stroke{tool, {}};
        for (double x = -5; x <= model.canvasSize().width() + 5; x += 5)
            stroke.points << QPointF(x, canvasY);
        return stroke;
    }

    // Rows of column `x` that mostly show `paint` (antialiased edges count by their half).
    static int paintedRows(const QImage& image, int x, QColor paint)
    {
        int rows = 0;
        for (int y = 0; y < image.height(); ++y) {
            const QColor pixel = image.pixelColor(x, y);
            rows += std::abs(pixel.green() - paint.green()) < 128 && std::abs(pixel.alpha() - paint.alpha()) < 128;
        }
        return rows;
    }

    void selectDocument(const QRectF& documentRect)
    {
        model.setSelectionFromStroke(
            {DrawingTool::selection(), {canvasPoint(documentRect.topLeft()), canvasPoint(documentRect.bottomRight())}});
    }

    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    ImageEditorModel model{state};
};

} // namespace

TEST_F(EditorToolsTest, StrokesLandUnderTheCursorAtEveryZoom)
{
    struct Case {
        const char* view;
        std::function<void(ImageEditorModel&)> set;
    };
    const QList<Case> cases{
        {"fit", [](ImageEditorModel& m) { m.zoomToFit(); }},
        {"100 %", [](ImageEditorModel& m) { m.zoomToActualSize(); }},
        {"400 % at a point",
         [](ImageEditorModel& m) { m.zoomToFit(); m.zoomAt(8.0, m.canvasView().toWidget({120, 80})); }},
        {"zoomed in and panned", [](ImageEditorModel& m) { m.zoomIn(); m.zoomIn(); m.panBy(QPointF(-37, 21)); }},
    };
    startWith(solidImage(Qt::white, {400, 300}), {200, 200});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.view);
        c.set(model);
        // A pixel's centre.
        const QPointF target(123.5, 77.5);
        // The target must be inside the canvas for the case to mean anything.
        const QPointF widget = model.canvasView().toWidget(target);
        ASSERT_TRUE(QRectF(0, 0, 200, 200).contains(widget));
        model.chooseBrush();
        const QPointF at = canvasPoint(target);
        model.handleFinishedStroke({model.currentTool(), {canvasPoint(target - QPointF(4, 0)), at, canvasPoint(target + QPointF(4, 0))}});
        EXPECT_EQ(base().pixelColor(123, 77), QColor(Qt::black));
        model.undo();
        EXPECT_EQ(base().pixelColor(123, 77), QColor(Qt::white));
    }
}

TEST_F(EditorToolsTest, LineWidthIsTheBrushSizeOverTheScaleButAtLeastOnePixel)
{
    // Shown at half size: a brush of 12 paints 24 pixels.
    startWith(solidImage(Qt::white, {400, 400}), {200, 200});
    model.setBrushColor(Qt::red);
    model.handleFinishedStroke(across(model.currentTool(), 200));
    EXPECT_NEAR(paintedRows(base(), 200, Qt::red), 24, 1);
    EXPECT_EQ(session().history.back().action, u"Brush Stroke");

    // Shown 24 times enlarged: half a pixel becomes the minimum of one.
    startWith(solidImage(Qt::white, {10, 10}), {240, 240});
    model.handleFinishedStroke(across(model.currentTool(), 5.5));
    EXPECT_EQ(paintedRows(base(), 5, Qt::red), 1);
}

TEST_F(EditorToolsTest, AStrokeOnALayerChangesThatLayerAloneAndMissesLeaveNoTrace)
{
    startWith(solidImage(Qt::white, {100, 50}), {200, 200});
    const QImage photo = base();
    model.addLayer();
    ASSERT_EQ(top().size(), QSize(100, 50));
    model.handleFinishedStroke(across(DrawingTool::marker(Qt::black, 10), 25));
    EXPECT_EQ(top().pixelColor(50, 25), QColor(Qt::black));
    EXPECT_EQ(top().pixelColor(50, 5).alpha(), 0);
    // The base layer is exactly as it was; the composition shows the stroke once.
    EXPECT_EQ(base(), photo);
    EXPECT_EQ(model.composition().pixelColor(50, 25), QColor(Qt::black));
    // Hidden, the layer's stroke leaves the composition.
    model.toggleLayerVisibility(session().layers.back().id);
    EXPECT_EQ(model.composition().pixelColor(50, 25), QColor(Qt::white));

    // The document spans canvas y 50 … 150: a stroke below it changes nothing.
    const auto steps = session().documentHistory.size();
    model.handleFinishedStroke({DrawingTool::marker(Qt::red, 12), {QPointF(0, 10), QPointF(200, 20)}});
    EXPECT_EQ(session().documentHistory.size(), steps);
}

TEST_F(EditorToolsTest, TheEraserTakesTheBrushSizeAndUndoBringsThePixelsBack)
{
    startWith(solidImage(Qt::blue, {100, 100}), {100, 100});
    model.setBrushSize(30);
    model.chooseEraser();
    EXPECT_EQ(model.currentTool(), DrawingTool::eraser(30));
    model.setBrushSize(20);
    EXPECT_EQ(model.currentTool(), DrawingTool::eraser(20));
    model.handleFinishedStroke(across(model.currentTool(), 50));
    EXPECT_EQ(base().pixelColor(50, 50).alpha(), 0);
    EXPECT_EQ(paintedRows(base(), 50, Qt::transparent), 20);
    EXPECT_EQ(*session().currentImage, base());
    EXPECT_EQ(session().history.back().action, u"Eraser Stroke");
    model.undo();
    EXPECT_EQ(base().pixelColor(50, 50), QColor(Qt::blue));
}

TEST_F(EditorToolsTest, SelectionCopyCutAndPasteWorkOnTheTargetLayer)
{
    startWith(solidImage(Qt::green, {100, 100}), {200, 200});
    // Dragged past the left edge: the selection starts at the document's edge.
    selectDocument(QRectF(QPointF(-20, 10), QPointF(30, 60)));
    ASSERT_EQ(model.selectionRect(), QRect(0, 10, 30, 50));
    model.copySelection();
    const QImage copied = QGuiApplication::clipboard()->image();
    EXPECT_EQ(copied.size(), QSize(30, 50));
    EXPECT_EQ(copied.pixelColor(10, 10), QColor(Qt::green));

    model.cutSelection();
    EXPECT_EQ(base().pixelColor(15, 30).alpha(), 0);
    EXPECT_EQ(base().pixelColor(15, 70).alpha(), 255);
    EXPECT_EQ(session().history.back().action, u"Selection Delete");

    // Pasted: a new layer of the document's size with the pixels at the selection's corner.
    model.paste();
    EXPECT_EQ(session().layers.size(), 2);
    EXPECT_EQ(top().size(), QSize(100, 100));
    EXPECT_EQ(top().pixelColor(15, 30), QColor(Qt::green));
    EXPECT_EQ(top().pixelColor(50, 30).alpha(), 0);

    model.selectAll();
    EXPECT_EQ(model.selectionRect(), QRect(0, 0, 100, 100));
}

TEST_F(EditorToolsTest, CropCutsEveryLayerAsOneStep)
{
    startWith(solidImage(Qt::green, {100, 80}), {100, 100});
    model.addLayer();
    model.handleFinishedStroke(across(DrawingTool::marker(Qt::black, 4), 40));
    model.chooseCrop();
    selectDocument(QRectF(QPointF(10, 30), QPointF(70, 50)));
    const auto steps = session().documentHistory.size();
    model.cropToSelection();
    EXPECT_EQ(session().documentHistory.size(), steps + 1);
    EXPECT_EQ(session().history.back().action, u"Crop Image");
    for (const ImageLayer& layer : session().layers)
        EXPECT_EQ(layer.image.size(), QSize(60, 20));
    EXPECT_EQ(top().pixelColor(30, 10), QColor(Qt::black));
    EXPECT_FALSE(model.selectionRect());
    EXPECT_TRUE(model.isFitting());

    model.undo();
    for (const ImageLayer& layer : session().layers)
        EXPECT_EQ(layer.image.size(), QSize(100, 80));
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
    model.chooseBrush();
    EXPECT_EQ(model.currentTool(), DrawingTool::marker(Qt::blue, 30));
}

TEST_F(EditorToolsTest, RemovalWithoutAnImageSaysSo)
{
    QSignalSpy alerts(&model, &ImageEditorModel::alertRequested);
    model.createNamedSession(QStringLiteral("empty"));
    model.removeBackgroundInEditor();
    ASSERT_EQ(alerts.count(), 1);
    EXPECT_EQ(alerts.takeFirst().front().toString(), u"No image in session to process.");
    EXPECT_FALSE(model.isRemovingBackground());
}
