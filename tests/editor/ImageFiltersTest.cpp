// The five fixed filters: their direction on known pixels and their fixed order.

#include "editor/rendering/CanvasRenderer.h"
#include "editor/rendering/ImageFilters.h"
#include "editor/document/SessionEdits.h"

#include "EditorTestImages.h"

#include <gtest/gtest.h>

using namespace kivo;
using test::solidImage;

namespace {

QColor filtered(const QImage& image, std::initializer_list<FilterType> types, QPoint at = {1, 1})
{
    QSet<QString> names;
    for (FilterType type : types)
        names.insert(filterName(type));
    const auto result = applyFilterChain(image, names);
    return result ? result->pixelColor(at) : QColor();
}

// Left half dark, right half light: an edge down the middle.
QImage edgeImage(int dark, int light)
{
    QImage image(40, 30, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixelColor(x, y, x < 20 ? QColor(dark, dark, dark) : QColor(light, light, light));
    return image;
}

} // namespace

TEST(ImageFilters, EachEffectMovesAKnownPixelItsWay)
{
    const QImage grey = solidImage(QColor(100, 100, 100));
    EXPECT_EQ(filtered(grey, {FilterType::brightness}), QColor(151, 151, 151));
    EXPECT_EQ(filtered(solidImage(QColor(201, 52, 128)), {FilterType::contrast}), QColor(216, 37, 128));
    // Saturation leaves greys alone and pushes colours away from their luma.
    EXPECT_EQ(filtered(grey, {FilterType::saturation}), QColor(100, 100, 100));
    const QColor saturated = filtered(solidImage(QColor(200, 100, 50)), {FilterType::saturation});
    EXPECT_GT(saturated.red(), 200);
    EXPECT_LT(saturated.blue(), 50);
    // Alpha is not touched by the colour controls.
    EXPECT_EQ(filtered(solidImage(QColor(100, 100, 100, 128)), {FilterType::brightness}).alpha(), 128);

    // Sharpening steepens the edge on both sides.
    const QImage edge = edgeImage(100, 150);
    EXPECT_LT(filtered(edge, {FilterType::sharpen}, {19, 15}).red(), 100);
    EXPECT_GT(filtered(edge, {FilterType::sharpen}, {20, 15}).red(), 150);
}

TEST(ImageFilters, BlurKeepsTheSourceSizeAndItsEdges)
{
    const QImage red = solidImage(Qt::red, {37, 23});
    const auto blurred = applyFilterChain(red, {filterName(FilterType::blur)});
    ASSERT_TRUE(blurred);
    EXPECT_EQ(blurred->size(), red.size());
    // The edges repeat outwards: nothing fades to transparent and nothing shrinks.
    for (QPoint corner : {QPoint(0, 0), QPoint(36, 0), QPoint(0, 22), QPoint(36, 22), QPoint(18, 11)})
        EXPECT_EQ(blurred->pixelColor(corner), QColor(Qt::red));
    // An edge is softened.
    const auto soft = applyFilterChain(edgeImage(0, 200), {filterName(FilterType::blur)});
    EXPECT_GT(soft->pixelColor(19, 15).red(), 50);
    EXPECT_LT(soft->pixelColor(20, 15).red(), 150);
}

TEST(ImageFilters, TheOrderIsFixedWhateverTheTogglingOrder)
{
    const QImage stripes = edgeImage(250, 0);
    EditorSession first, second;
    for (EditorSession* session : {&first, &second})
        importImage(*session, QStringLiteral("s.png"), stripes);
    toggleFilter(first, FilterType::blur, true);
    toggleFilter(first, FilterType::brightness, true);
    toggleFilter(second, FilterType::brightness, true);
    toggleFilter(second, FilterType::blur, true);
    const auto one = renderCanvasToImage(first), other = renderCanvasToImage(second);
    ASSERT_TRUE(one && other);
    EXPECT_EQ(*one, *other);

    // Brightness runs before blur: the same as blurring the brightened image, which differs
    // from brightening the blurred one where brightness clips.
    const QImage brightened = *applyFilterChain(stripes, {filterName(FilterType::brightness)});
    const QImage blurThenBrighten =
        *applyFilterChain(*applyFilterChain(stripes, {filterName(FilterType::blur)}), {filterName(FilterType::brightness)});
    const QImage expected = applyFilterChain(brightened, {filterName(FilterType::blur)})->convertToFormat(one->format());
    EXPECT_EQ(*one, expected);
    EXPECT_NE(*one, blurThenBrighten.convertToFormat(one->format()));
}

TEST(ImageFilters, NoFilterGivesTheSamePixelsAndNoImageGivesNothing)
{
    const QImage image = edgeImage(10, 240);
    EXPECT_EQ(*applyFilterChain(image, {}), image);
    EXPECT_FALSE(applyFilterChain(QImage(), {filterName(FilterType::blur)}));
}
