// Flattening a session for export: background, layers, blend modes and stretching.

#include "editor/rendering/CanvasRenderer.h"
#include "editor/document/SessionEdits.h"

#include "EditorTestImages.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace kivo;
using test::solidImage;

namespace {

// A 10 × 10 session whose base layer holds `base`.
EditorSession sessionOver(const QImage& base)
{
    EditorSession session = makeNamedSession(QStringLiteral("render"));
    importImage(session, QStringLiteral("base.png"), base);
    return session;
}

ImageLayer& addLayerWith(EditorSession& session, const QImage& image, double opacity = 1.0,
                         BlendMode mode = BlendMode::normal)
{
    addLayer(session);
    ImageLayer& layer = session.layers.back();
    layer.image = image;
    layer.opacity = opacity;
    layer.blendMode = mode;
    return layer;
}

QColor rendered(const EditorSession& session, QPoint at = {5, 5})
{
    const auto image = renderCanvasToImage(session);
    return image ? image->pixelColor(at) : QColor();
}

bool near(const QColor& actual, const QColor& expected, int tolerance = 2)
{
    return std::abs(actual.red() - expected.red()) <= tolerance && std::abs(actual.green() - expected.green()) <= tolerance
        && std::abs(actual.blue() - expected.blue()) <= tolerance && std::abs(actual.alpha() - expected.alpha()) <= tolerance;
}

} // namespace

TEST(CanvasRenderer, BackgroundsFillWhatTheLayersLeaveOpen)
{
    EditorSession session = sessionOver(solidImage(Qt::transparent, {10, 10}));
    EXPECT_EQ(rendered(session).alpha(), 0);
    session.canvasBackground = CanvasBackground::white;
    EXPECT_EQ(rendered(session), QColor(Qt::white));
    session.canvasBackground = CanvasBackground::black;
    EXPECT_EQ(rendered(session), QColor(Qt::black));
    session.canvasBackground = CanvasBackground::custom;
    session.customBackgroundColor = QColor(12, 34, 56);
    EXPECT_EQ(rendered(session), QColor(12, 34, 56));

    EditorSession none;
    EXPECT_FALSE(renderCanvasToImage(none));
}

TEST(CanvasRenderer, AHiddenBaseLayerLeavesOnlyTheBackgroundAndOtherLayers)
{
    EditorSession session = sessionOver(solidImage(Qt::red, {10, 10}));
    session.layers[0].isVisible = false;
    session.canvasBackground = CanvasBackground::white;
    QImage half(100, 100, QImage::Format_ARGB32);
    half.fill(Qt::transparent);
    for (int y = 0; y < 100; ++y)
        for (int x = 50; x < 100; ++x)
            half.setPixelColor(x, y, Qt::blue);
    addLayerWith(session, half);

    const auto image = renderCanvasToImage(session);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), QSize(10, 10));
    EXPECT_EQ(image->pixelColor(1, 5), QColor(Qt::white));
    EXPECT_EQ(image->pixelColor(8, 5), QColor(Qt::blue));
}

TEST(CanvasRenderer, BlendModesFlattenAsTheirTableSays)
{
    const QColor base(200, 100, 50);
    const QColor top(128, 128, 128);
    struct Case {
        BlendMode mode;
        double opacity;
        QColor expected;
    };
    const Case cases[] = {
        {BlendMode::multiply, 1.0, QColor(100, 50, 25)},
        {BlendMode::screen, 1.0, QColor(228, 178, 153)},
        {BlendMode::normal, 0.5, QColor(164, 114, 89)},
        // Overlay, soft light and hard light come out exactly like normal.
        {BlendMode::overlay, 0.5, QColor(164, 114, 89)},
        {BlendMode::softLight, 0.5, QColor(164, 114, 89)},
        {BlendMode::hardLight, 0.5, QColor(164, 114, 89)},
    };
    for (const Case& c : cases) {
        EditorSession session = sessionOver(solidImage(base, {10, 10}));
        addLayerWith(session, solidImage(top, {10, 10}), c.opacity, c.mode);
        const QColor actual = rendered(session);
        EXPECT_TRUE(near(actual, c.expected)) << rawValue(c.mode).toStdString() << ": " << actual.name().toStdString();
    }
}

TEST(CanvasRenderer, EveryLayerIsStretchedOverTheBaseImage)
{
    EditorSession session = sessionOver(solidImage(Qt::white, {1000, 800}));
    addLayerWith(session, solidImage(Qt::green, {100, 100}));
    const auto image = renderCanvasToImage(session);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), QSize(1000, 800));
    for (QPoint at : {QPoint(0, 0), QPoint(999, 0), QPoint(0, 799), QPoint(999, 799), QPoint(500, 400)})
        EXPECT_EQ(image->pixelColor(at), QColor(Qt::green));
}

TEST(CanvasRenderer, FiltersApplyToTheBaseLayerAndStrokesUseTheCanvasSpace)
{
    EditorSession session = sessionOver(solidImage(QColor(100, 100, 100), {10, 10}));
    toggleFilter(session, FilterType::brightness, true);
    EXPECT_EQ(rendered(session), QColor(151, 151, 151));

    // A stroke along the bottom row in the canvas's space (y upwards) lands in the last row.
    const DrawingStroke stroke{DrawingTool::marker(Qt::red, 2.0), {QPointF(0, 0.5), QPointF(10, 0.5)}};
    const auto image = renderCanvasToImage(session, QList<DrawingStroke>{stroke});
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixelColor(5, 9).red(), 255);
    EXPECT_EQ(image->pixelColor(5, 0), QColor(151, 151, 151));
}

TEST(CanvasRenderer, LogsItsSteps)
{
    EditorSession session = sessionOver(solidImage(Qt::white, {20, 10}));
    addLayerWith(session, solidImage(Qt::red), 0.5, BlendMode::softLight);
    QString text;
    {
        test::StdoutCapture output;
        renderCanvasToImage(session, QList<DrawingStroke>{});
        text = output.text();
    }
    for (const char* line : {"[Export] Starting renderCanvasToImage for session: render\n",
                             "[Export] currentImage exists: true, size: (20.0, 10.0)\n",
                             "[Export] enabled filters: []\n", "[Export] canvas background: transparent\n",
                             "[Export] visible layers count: 2\n", "[Export] overlay strokes count: 0\n",
                             "[Export] baseImage size: (20.0, 10.0), didApplyFilters: false\n",
                             "[Export] Compositing layer 0: base.png, base=true, opacity=1.0, blend=normal\n",
                             "[Export] Compositing layer 1: Layer 2, base=false, opacity=0.5, blend=softLight\n",
                             "[Export] Render completed. Result size: (20.0, 10.0), pixels: 20x10\n"})
        EXPECT_TRUE(text.contains(QString::fromUtf8(line))) << line << "in:\n" << text.toStdString();
}
