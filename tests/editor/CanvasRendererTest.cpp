// The one composition of a document, for the canvas and the export: backgrounds, visibility,
// the six blend modes against the W3C formulas, filters as a view of the base layer, and the
// canvas's kept composition updated only where an edit changed something.

#include "editor/rendering/CanvasRenderer.h"
#include "editor/document/SessionEdits.h"
#include "editor/document/PixelEdits.h"
#include "editor/rendering/DocumentRenderer.h"

#include "EditorTestImages.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

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
    layer.image = layerImage(image);
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
    QImage half(10, 10, QImage::Format_ARGB32);
    half.fill(Qt::transparent);
    for (int y = 0; y < 10; ++y)
        for (int x = 5; x < 10; ++x)
            half.setPixelColor(x, y, Qt::blue);
    addLayerWith(session, half);

    const auto image = renderCanvasToImage(session);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), QSize(10, 10));
    EXPECT_EQ(image->pixelColor(1, 5), QColor(Qt::white));
    EXPECT_EQ(image->pixelColor(8, 5), QColor(Qt::blue));
}

namespace {

// The separable blend functions of W3C "Compositing and Blending Level 1", on 0 … 1.
double blendW3c(BlendMode mode, double cb, double cs)
{
    auto multiply = [](double b, double s) { return b * s; };
    auto screen = [](double b, double s) { return b + s - b * s; };
    auto hardLight = [&](double b, double s) { return s <= 0.5 ? multiply(b, 2 * s) : screen(b, 2 * s - 1); };
    switch (mode) {
    case BlendMode::normal: return cs;
    case BlendMode::multiply: return multiply(cb, cs);
    case BlendMode::screen: return screen(cb, cs);
    case BlendMode::overlay: return hardLight(cs, cb);
    case BlendMode::hardLight: return hardLight(cb, cs);
    case BlendMode::softLight: {
        if (cs <= 0.5)
            return cb - (1 - 2 * cs) * cb * (1 - cb);
        const double d = cb <= 0.25 ? ((16 * cb - 12) * cb + 4) * cb : std::sqrt(cb);
        return cb + (2 * cs - 1) * (d - cb);
    }
    }
    return cs;
}

// An opaque layer of `source` at `opacity` over an opaque `backdrop`.
QColor expectedBlend(BlendMode mode, const QColor& backdrop, const QColor& source, double opacity)
{
    auto channel = [&](int b, int s) {
        const double cb = b / 255.0, cs = s / 255.0;
        return int(std::lround(255 * ((1 - opacity) * cb + opacity * blendW3c(mode, cb, cs))));
    };
    return QColor(channel(backdrop.red(), source.red()), channel(backdrop.green(), source.green()),
                  channel(backdrop.blue(), source.blue()));
}

} // namespace

TEST(CanvasRenderer, TheSixBlendModesFollowTheW3cFormulasOnCanvasAndInTheExport)
{
    // Dark and light channels on both sides, so that each mode's two branches are taken.
    const QColor backdrop(200, 40, 100);
    const QColor source(30, 220, 128);
    for (BlendMode mode : allCases<BlendMode>()) {
        for (double opacity : {1.0, 0.5}) {
            EditorSession session = sessionOver(solidImage(backdrop, {10, 10}));
            addLayerWith(session, solidImage(source, {10, 10}), opacity, mode);
            const QColor expected = expectedBlend(mode, backdrop, source, opacity);
            DocumentRenderer canvas;
            const QColor shown = canvas.render(documentOf(session)).pixelColor(5, 5);
            const QColor exported = rendered(session);
            const std::string name = rawValue(mode).toStdString() + " at " + std::to_string(opacity);
            EXPECT_TRUE(near(shown, expected, 1)) << name << ": canvas " << shown.name().toStdString() << ", W3C "
                                                  << expected.name().toStdString();
            EXPECT_EQ(exported, shown) << name;
        }
    }
}

TEST(CanvasRenderer, FiltersApplyToTheBaseLayerAndStrokesUseTheCanvasSpace)
{
    EditorSession session = sessionOver(solidImage(QColor(100, 100, 100), {10, 10}));
    toggleFilter(session, FilterType::brightness, true);
    EXPECT_EQ(rendered(session), QColor(151, 151, 151));
    // The base layer itself keeps its pixels.
    EXPECT_EQ(session.layers[0].image.pixelColor(5, 5), QColor(100, 100, 100));

    // A stroke along the bottom row in the canvas's space (y upwards) lands in the last row.
    const DrawingStroke stroke{DrawingTool::marker(Qt::red, 2.0), {QPointF(0, 0.5), QPointF(10, 0.5)}};
    const auto image = renderCanvasToImage(session, QList<DrawingStroke>{stroke});
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixelColor(5, 9).red(), 255);
    EXPECT_EQ(image->pixelColor(5, 0), QColor(151, 151, 151));
}

namespace {

// A photo-like image: gradients with a little pattern, so that every filter changes something.
QImage patterned(QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixelColor(x, y, QColor((x * 7 + y) % 256, (y * 5) % 256, ((x ^ y) * 3) % 256));
    return image;
}

template <typename Types>
QSet<QString> namesOf(const Types& types)
{
    QSet<QString> names;
    for (FilterType type : types)
        names.insert(filterName(type));
    return names;
}

QSet<QString> allFilters()
{
    return namesOf(allFilterTypes);
}

QSet<QString> filters(std::initializer_list<FilterType> types)
{
    return namesOf(types);
}

} // namespace

TEST(CanvasRenderer, AStrokeWithFiltersOnIsFilteredAgainOnlyAroundItsArea)
{
    const QImage photo = patterned({300, 200});
    FilteredBaseCache cache;
    QRect changed;
    cache.update(photo, allFilters(), &changed);
    EXPECT_EQ(changed, photo.rect());

    const QRect strokeArea(140, 90, 12, 6);
    const QImage stroked = clearRect(photo, strokeArea);
    const QImage filtered = cache.update(stroked, allFilters(), &changed);
    EXPECT_EQ(changed, strokeArea.adjusted(-FilteredBaseCache::reach, -FilteredBaseCache::reach,
                                           FilteredBaseCache::reach, FilteredBaseCache::reach));
    // Exactly what filtering the whole image gives.
    EXPECT_EQ(filtered, applyFilterChain(stroked, allFilters())->convertToFormat(QImage::Format_ARGB32_Premultiplied));

    // The same source again changes nothing.
    cache.update(stroked, allFilters(), &changed);
    EXPECT_TRUE(changed.isEmpty());
}

TEST(CanvasRenderer, TheKeptCompositionEqualsTheExportAfterEveryKindOfChange)
{
    EditorSession session = sessionOver(patterned({120, 80}));
    DocumentRenderer canvas;
    QRect changed;
    auto check = [&](const char* what) {
        SCOPED_TRACE(what);
        const QImage shown = canvas.render(documentOf(session), &changed);
        const auto exported = renderCanvasToImage(session);
        ASSERT_TRUE(exported);
        EXPECT_EQ(shown, *exported);
    };
    check("photo");
    toggleFilter(session, FilterType::blur, true);
    toggleFilter(session, FilterType::sharpen, true);
    check("filters on");
    addLayer(session);
    setLayerBlendMode(session, session.layers[1].id, BlendMode::softLight);
    check("soft light layer");
    updateLayerImage(session, paintStroke(session.layers[1].image, {QPointF(10, 10), QPointF(40, 30)}, 6, Qt::red, false),
                     session.layers[1].id, actions::brushStroke);
    check("stroke on the layer");
    EXPECT_TRUE(QRect(0, 0, 60, 50).contains(changed));
    updateLayerImage(session, paintStroke(session.layers[0].image, {QPointF(90, 60), QPointF(100, 70)}, 4, Qt::blue, false),
                     session.layers[0].id, actions::brushStroke);
    check("stroke on the base");
    toggleLayerVisibility(session, session.layers[1].id);
    check("layer hidden");
    undo(session);
    undo(session);
    check("two undos");
    cropDocument(session, QRect(10, 10, 50, 40));
    check("crop");
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

namespace {

// Large enough to be filtered and composed in stripes side by side, with some transparency.
QImage stripedPhoto()
{
    QImage image = patterned({1100, 1000});
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x)
            image.setPixelColor(x, y, QColor(x % 256, y % 256, 90, (x + y) % 256));
    return image;
}

} // namespace

TEST(CanvasRenderer, FilteringInStripesGivesTheWholeImagesPixels)
{
    const QImage photo = stripedPhoto();
    for (const auto& names : {filters({FilterType::blur}), filters({FilterType::sharpen, FilterType::saturation}), allFilters()}) {
        const auto shown = filteredForDisplay(photo, names);
        ASSERT_TRUE(shown);
        EXPECT_EQ(*shown, applyFilterChain(photo, names)->convertToFormat(QImage::Format_ARGB32_Premultiplied))
            << QStringList(names.values()).join(QLatin1Char(',')).toStdString();
    }
}

TEST(CanvasRenderer, TurningAFilterOffAndOnAgainTakesTheKeptResult)
{
    const QImage photo = stripedPhoto();
    FilteredBaseCache cache;
    QRect changed;
    const QImage all = cache.update(photo, allFilters(), &changed);
    const QSet<QString> fewer = filters({FilterType::brightness, FilterType::blur});
    const QImage some = cache.update(photo, fewer, &changed);
    EXPECT_EQ(changed, photo.rect());
    EXPECT_NE(some, all);

    // Back to every filter (an undo of the toggle): the kept result, not filtered again.
    const QImage again = cache.update(photo, allFilters(), &changed);
    EXPECT_EQ(changed, photo.rect());
    EXPECT_EQ(again.cacheKey(), all.cacheKey());

    // A stroke under the other set, then that set again: filtered again only around the
    // stroke, and exactly what filtering the stroked image gives.
    const QRect strokeArea(500, 400, 30, 20);
    const QImage stroked = clearRect(photo, strokeArea);
    cache.update(stroked, allFilters(), &changed);
    const QRect reached = strokeArea.adjusted(-FilteredBaseCache::reach, -FilteredBaseCache::reach,
                                              FilteredBaseCache::reach, FilteredBaseCache::reach);
    EXPECT_EQ(changed, reached);
    const QImage back = cache.update(stroked, fewer, &changed);
    EXPECT_EQ(changed, photo.rect());
    EXPECT_EQ(back, applyFilterChain(stroked, fewer)->convertToFormat(QImage::Format_ARGB32_Premultiplied));
    const QImage restroked = clearRect(stroked, strokeArea.translated(200, 300));
    EXPECT_EQ(cache.update(restroked, fewer, &changed),
              applyFilterChain(restroked, fewer)->convertToFormat(QImage::Format_ARGB32_Premultiplied));
    EXPECT_EQ(changed, reached.translated(200, 300));
    // The first set again, its result from before the second stroke brought up to date.
    EXPECT_EQ(cache.update(restroked, allFilters(), &changed),
              applyFilterChain(restroked, allFilters())->convertToFormat(QImage::Format_ARGB32_Premultiplied));
}

TEST(CanvasRenderer, UndoingAFilterToggleShowsExactlyTheCanvasFromBefore)
{
    EditorSession session = sessionOver(stripedPhoto());
    addLayerWith(session, patterned({1100, 1000}).mirrored(), 0.7, BlendMode::multiply);
    toggleFilter(session, FilterType::blur, true);
    DocumentRenderer canvas;
    const QImage before = canvas.render(documentOf(session)).copy();
    toggleFilter(session, FilterType::sharpen, true);
    const QImage sharpened = canvas.render(documentOf(session)).copy();
    EXPECT_NE(sharpened, before);
    undo(session);
    EXPECT_EQ(canvas.render(documentOf(session)), before);
    redo(session);
    EXPECT_EQ(canvas.render(documentOf(session)), sharpened);

    // A stroke on the base after the kept result came back is shown filtered, as exported.
    updateLayerImage(session,
                     paintStroke(session.layers[0].image, {QPointF(100, 100), QPointF(600, 500)}, 9, Qt::blue, false),
                     session.layers[0].id, actions::brushStroke);
    QRect changed;
    const QImage shown = canvas.render(documentOf(session), &changed);
    EXPECT_TRUE(QRect(50, 50, 600, 500).contains(changed));
    EXPECT_EQ(shown, *renderCanvasToImage(session));
}


TEST(CanvasRenderer, ABlurredResultOutlastsResultsOfTheColourControlsAlone)
{
    const QImage photo = patterned({300, 200});
    FilteredBaseCache cache;
    const qint64 blurred = cache.update(photo, filters({FilterType::blur})).cacheKey();
    const qint64 brightened = cache.update(photo, filters({FilterType::brightness})).cacheKey();
    for (const auto& names : {filters({FilterType::contrast}), filters({FilterType::saturation}),
                              filters({FilterType::brightness, FilterType::contrast}),
                              filters({FilterType::contrast, FilterType::saturation})})
        cache.update(photo, names);
    EXPECT_EQ(cache.update(photo, filters({FilterType::blur})).cacheKey(), blurred);
    // The least recently used result of the colour controls went to make room.
    EXPECT_NE(cache.update(photo, filters({FilterType::brightness})).cacheKey(), brightened);
}
