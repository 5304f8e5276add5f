// The drawing canvas driven by synthetic mouse events: its coordinate space, its callbacks and
// what it draws while a stroke is dragged.

#include "editor/canvas/DrawingCanvas.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

class DrawingCanvasTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        canvas.resize(200, 100);
        canvas.show();
        connect();
    }

    void connect()
    {
        QObject::connect(&canvas, &DrawingCanvas::drawingBegan, [this] { events << "began"; });
        QObject::connect(&canvas, &DrawingCanvas::strokeFinished, [this](const DrawingStroke& stroke) {
            events << "finished";
            finished << stroke;
        });
        QObject::connect(&canvas, &DrawingCanvas::drawingEnded, [this] { events << "ended"; });
    }

    // What the canvas draws, on transparency.
    QImage rendering()
    {
        QImage image(canvas.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        canvas.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image;
    }

    static int paintedPixels(const QImage& image)
    {
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                count += qAlpha(image.pixel(x, y)) > 0;
        return count;
    }

    DrawingCanvas canvas;
    QStringList events;
    QList<DrawingStroke> finished;
};

} // namespace

TEST_F(DrawingCanvasTest, PointsHaveTheirOriginAtTheLowerLeftAndOnePointPerMove)
{
    canvas.setTool(DrawingTool::marker(Qt::red, 12));
    QTest::mousePress(&canvas, Qt::LeftButton, {}, QPoint(10, 20));
    QTest::mouseMove(&canvas, QPoint(30, 25));
    QTest::mouseMove(&canvas, QPoint(31, 25));
    QTest::mouseRelease(&canvas, Qt::LeftButton, {}, QPoint(31, 25));

    EXPECT_EQ(events, (QStringList{"began", "finished", "ended"}));
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(finished.front().points, (QList<QPointF>{{10, 80}, {30, 75}, {31, 75}}));
    EXPECT_EQ(finished.front().tool, DrawingTool::marker(Qt::red, 12));
    EXPECT_EQ(canvas.drawing().strokes.size(), 1);
}

TEST_F(DrawingCanvasTest, AClickIsAOnePointStrokeThatIsNeverDrawn)
{
    canvas.setTool(DrawingTool::marker(Qt::red, 12));
    QTest::mousePress(&canvas, Qt::LeftButton, {}, QPoint(50, 50));
    EXPECT_EQ(paintedPixels(rendering()), 0);
    QTest::mouseRelease(&canvas, Qt::LeftButton, {}, QPoint(50, 50));
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(finished.front().points.size(), 1);
    EXPECT_EQ(paintedPixels(rendering()), 0);
}

TEST_F(DrawingCanvasTest, MovesAndReleasesWithoutAPressAreIgnored)
{
    QTest::mouseMove(&canvas, QPoint(10, 10));
    QTest::mouseRelease(&canvas, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_TRUE(events.isEmpty());
    EXPECT_TRUE(canvas.drawing().strokes.isEmpty());
}

TEST_F(DrawingCanvasTest, AMarkerStrokeShowsWithButtEndsTheEraserItsTraceAndSelectionsARubberBand)
{
    canvas.setTool(DrawingTool::marker(Qt::red, 12));
    QTest::mousePress(&canvas, Qt::LeftButton, {}, QPoint(50, 50));
    QTest::mouseMove(&canvas, QPoint(150, 50));
    const QImage drawn = rendering();
    EXPECT_EQ(drawn.pixelColor(100, 50), QColor(Qt::red));
    EXPECT_EQ(drawn.pixelColor(100, 45), QColor(Qt::red));
    EXPECT_EQ(drawn.pixelColor(100, 40).alpha(), 0);
    // Butt ends stop at the end points.
    EXPECT_EQ(drawn.pixelColor(46, 50).alpha(), 0);
    EXPECT_EQ(drawn.pixelColor(154, 50).alpha(), 0);
    // A tool change applies to the next stroke only.
    canvas.setTool(DrawingTool::eraser(12));
    QTest::mouseRelease(&canvas, Qt::LeftButton, {}, QPoint(150, 50));
    EXPECT_EQ(finished.back().tool.kind, DrawingTool::Kind::marker);
    // Finished strokes are left to the image they were applied to.
    EXPECT_EQ(paintedPixels(rendering()), 0);

    // The eraser shows where it passed, 12 wide; selection and crop show their rectangle's
    // outline while dragged.
    canvas.setTool(DrawingTool::eraser(12));
    QTest::mousePress(&canvas, Qt::LeftButton, {}, QPoint(20, 20));
    QTest::mouseMove(&canvas, QPoint(120, 20));
    EXPECT_GT(rendering().pixelColor(70, 20).alpha(), 0);
    EXPECT_GT(rendering().pixelColor(70, 25).alpha(), 0);
    EXPECT_EQ(rendering().pixelColor(70, 30).alpha(), 0);
    QTest::mouseRelease(&canvas, Qt::LeftButton, {}, QPoint(120, 20));
    for (const DrawingTool& tool : {DrawingTool::selection(), DrawingTool::crop()}) {
        canvas.setTool(tool);
        QTest::mousePress(&canvas, Qt::LeftButton, {}, QPoint(20, 20));
        QTest::mouseMove(&canvas, QPoint(60, 50));
        QTest::mouseMove(&canvas, QPoint(120, 80));
        const QImage band = rendering();
        EXPECT_GT(band.pixelColor(20, 50).alpha(), 0) << "left edge";
        EXPECT_GT(band.pixelColor(120, 50).alpha(), 0) << "right edge";
        EXPECT_EQ(band.pixelColor(150, 50).alpha(), 0) << "outside";
        QTest::mouseRelease(&canvas, Qt::LeftButton, {}, QPoint(120, 80));
        EXPECT_EQ(paintedPixels(rendering()), 0);
    }
    EXPECT_EQ(canvas.drawing().strokes.size(), 4);
}
