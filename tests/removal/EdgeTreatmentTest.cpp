// The local engine's edge treatments on synthetic images whose true edge and colours are known,
// and the processing options as the preferences give them. No network needed: the masks are
// made here.

#include "removal/engine/EdgeRefinement.h"
#include "removal/engine/LocalRemovalEngine.h"
#include "removal/engine/RemovalOptions.h"

#include "support/IsolatedAppState.h"

#include <QImage>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

using namespace kivo;

namespace {

QImage maskFrom(QSize size, const std::function<double(int, int)>& alpha)
{
    QImage mask(size, QImage::Format_Grayscale16);
    for (int y = 0; y < size.height(); ++y) {
        auto* row = reinterpret_cast<quint16*>(mask.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            row[x] = quint16(std::lround(std::clamp(alpha(x, y), 0.0, 1.0) * 65535));
    }
    return mask;
}

quint16 maskAt(const QImage& mask, int x, int y)
{
    return reinterpret_cast<const quint16*>(mask.constScanLine(y))[x];
}

// A subject whose true colours are known: a disc with a soft rim and thin strands reaching out,
// composited over pure green as a photo would show it.
struct GreenScreenScene {
    static constexpr QSize size{200, 160};
    QImage foreground{size, QImage::Format_ARGB32};
    QImage alpha;
    QImage photo{size, QImage::Format_ARGB32};

    GreenScreenScene()
    {
        alpha = maskFrom(size, [](int x, int y) {
            const double radius = std::hypot(x - 100.0, y - 80.0);
            const double disc = (55.0 - radius) / 10.0;
            // Strands: every 30°, two pixels wide, half covering, out to radius 72.
            const double angle = std::atan2(y - 80.0, x - 100.0) * 180.0 / M_PI + 180.0;
            const double offAxis = std::abs(std::fmod(angle, 30.0) - 15.0) * M_PI / 180.0 * radius;
            const double strand = (radius < 72.0 && offAxis < 1.0) ? 0.5 : 0.0;
            return std::max(disc, strand);
        });
        for (int y = 0; y < size.height(); ++y) {
            for (int x = 0; x < size.width(); ++x) {
                const QRgb f = qRgb(200 - x / 3, 90 + y / 2, 40 + int(30 * std::sin(x / 9.0)));
                const double a = maskAt(alpha, x, y) / 65535.0;
                foreground.setPixel(x, y, f);
                photo.setPixel(x, y, qRgb(int(std::lround(a * qRed(f))), int(std::lround(a * qGreen(f) + (1 - a) * 255)),
                                          int(std::lround(a * qBlue(f)))));
            }
        }
    }

    // Mean |RGB − F| over the pixels with 0.1 < α < 0.9.
    double edgeColourError(const QImage& cutout) const
    {
        double sum = 0;
        int count = 0;
        for (int y = 0; y < size.height(); ++y) {
            for (int x = 0; x < size.width(); ++x) {
                const double a = maskAt(alpha, x, y) / 65535.0;
                if (a <= 0.1 || a >= 0.9)
                    continue;
                const QRgb out = cutout.pixel(x, y);
                const QRgb f = foreground.pixel(x, y);
                sum += std::abs(qRed(out) - qRed(f)) + std::abs(qGreen(out) - qGreen(f)) + std::abs(qBlue(out) - qBlue(f));
                ++count;
            }
        }
        return sum / count;
    }
};

QImage cutoutOf(const GreenScreenScene& scene, bool decontaminate)
{
    const auto composited =
        applyForegroundMask(ForegroundMask{scene.alpha, 1, decontaminate}, WorkingImage{scene.photo});
    EXPECT_TRUE(composited);
    return composited ? composited->pixels : QImage();
}

// Where the middle row first drops below one half, interpolated between pixels.
double halfWayPoint(const QImage& mask)
{
    const int y = mask.height() / 2;
    for (int x = 1; x < mask.width(); ++x) {
        const double left = maskAt(mask, x - 1, y) / 65535.0;
        const double right = maskAt(mask, x, y) / 65535.0;
        if (left >= 0.5 && right < 0.5)
            return x - 1 + (left - 0.5) / (left - right);
    }
    return -1;
}

} // namespace

TEST(EdgeTreatmentTest, DecontaminationRemovesTheOldBackgroundFromTheEdgeColours)
{
    const GreenScreenScene scene;
    const QImage plain = cutoutOf(scene, false);
    const QImage clean = cutoutOf(scene, true);

    const double before = scene.edgeColourError(plain);
    const double after = scene.edgeColourError(clean);
    RecordProperty("edge_colour_error_before", std::to_string(before));
    RecordProperty("edge_colour_error_after", std::to_string(after));
    EXPECT_GT(before, 40.0);
    EXPECT_LE(after, 0.4 * before) << "before " << before << ", after " << after;

    // Only colours of partly transparent pixels change: alpha everywhere and the opaque
    // pixels' colours stay exactly as without decontamination.
    for (int y = 0; y < scene.size.height(); ++y) {
        for (int x = 0; x < scene.size.width(); ++x) {
            ASSERT_EQ(qAlpha(clean.pixel(x, y)), qAlpha(plain.pixel(x, y))) << x << "," << y;
            if (maskAt(scene.alpha, x, y) == 65535 || maskAt(scene.alpha, x, y) == 0) {
                ASSERT_EQ(clean.pixel(x, y), plain.pixel(x, y)) << x << "," << y;
            }
        }
    }
}

TEST(EdgeTreatmentTest, RefinementMovesAnOffsetEdgeToThePhotosEdgeAndKeepsTheInterior)
{
    // The photo's edge is at x = 60 (orange, then grey-blue, both with grain); the network's
    // soft edge lies 3 pixels to the right of it.
    QImage photo(160, 120, QImage::Format_ARGB32);
    QRandomGenerator grain(7);
    for (int y = 0; y < photo.height(); ++y) {
        for (int x = 0; x < photo.width(); ++x) {
            const int n = int(grain.bounded(13)) - 6;
            photo.setPixel(x, y, x < 60 ? qRgb(220 + n / 2, 120 + n, 40 + n) : qRgb(90 + n, 110 + n, 140 + n));
        }
    }
    const QImage network = maskFrom(photo.size(), [](int x, int) { return (63.0 - x) / 4.0 + 0.5; });

    QImage unchanged = network;
    refineMaskEdges(unchanged, photo, 0.0);
    EXPECT_EQ(unchanged, network);

    EXPECT_NEAR(halfWayPoint(network), 63.0, 0.01);
    // The stronger the refinement, the further the edge moves towards the photo's: a third of
    // the way at half strength, half of it at full strength.
    double previous = 63.0;
    for (const auto& [strength, atMost] : {std::pair{0.5, 62.0}, std::pair{1.0, 61.5}}) {
        QImage refined = network.copy();
        refineMaskEdges(refined, photo, strength);
        ASSERT_EQ(refined.size(), network.size());
        ASSERT_EQ(refined.format(), QImage::Format_Grayscale16);
        const double edge = halfWayPoint(refined);
        EXPECT_LT(edge, atMost) << "strength " << strength;
        EXPECT_LT(edge, previous) << "strength " << strength;
        EXPECT_GT(edge, 59.0) << "strength " << strength;
        previous = edge;
        for (int y = 0; y < refined.height(); ++y) {
            for (int x : {0, 20, 35, 95, 120, 159}) {
                ASSERT_EQ(maskAt(refined, x, y), maskAt(network, x, y)) << x << "," << y << " strength " << strength;
            }
        }
    }
}

TEST(EdgeTreatmentTest, HardEdgesLeaveOnlyAOnePixelBandSoft)
{
    // A wide soft rim around a disc of radius 40, and a faint haze in a corner.
    const QImage soft = maskFrom(QSize(120, 120), [](int x, int y) {
        if (x > 100 && y > 100)
            return 0.08;
        return (40.0 - std::hypot(x - 60.0, y - 60.0)) / 8.0 + 0.5;
    });
    QImage crisp = soft.copy();
    snapMaskToCrispEdges(crisp);

    int softPixels = 0;
    for (int y = 0; y < crisp.height(); ++y) {
        for (int x = 0; x < crisp.width(); ++x) {
            const quint16 value = maskAt(crisp, x, y);
            const double fromEdge = std::abs(std::hypot(x - 60.0, y - 60.0) - 40.0);
            if (value != 0 && value != 65535) {
                ++softPixels;
                ASSERT_LT(fromEdge, 1.0) << x << "," << y;
            }
            // Away from the rim the value follows the side it is on.
            if (fromEdge > 1.0) {
                ASSERT_EQ(value, std::hypot(x - 60.0, y - 60.0) < 40.0 ? 65535 : 0) << x << "," << y;
            }
        }
    }
    // Still anti-aliased: about one pixel along the circumference is soft.
    EXPECT_GT(softPixels, 150);
    EXPECT_LT(softPixels, 2 * 251 + 50);
}

TEST(RemovalOptionsTest, PreferencesGiveTheEngineItsOptions)
{
    struct Case {
        ProcessingQuality quality;
        bool refineEdges;
        double edgeRefinement;
        bool preserveFineDetails;
        double expectedStrength;
        int expectedSide;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {ProcessingQuality::balanced, true, 0.5, true, 0.5, 1024},   // the defaults
        {ProcessingQuality::balanced, false, 0.8, true, 0.0, 1024},  // "Refine edges" off
        {ProcessingQuality::fast, true, 0.25, false, 0.25, networkInputSide(ProcessingQuality::fast)},
        {ProcessingQuality::highQuality, false, 0.1, true, 1.0, 1024},  // always fully refined
        {ProcessingQuality::balanced, true, 7.0, true, 1.0, 1024},      // a hand-edited settings file
        {ProcessingQuality::balanced, true, -1.0, true, 0.0, 1024},
        {ProcessingQuality::balanced, true, nan, true, 0.0, 1024},
    };
    for (const Case& c : cases) {
        UserPreferences preferences;
        preferences.processingQuality = c.quality;
        preferences.refineEdges = c.refineEdges;
        preferences.edgeRefinement = c.edgeRefinement;
        preferences.preserveFineDetails = c.preserveFineDetails;
        const RemovalOptions options = removalOptionsFromPreferences(preferences);
        EXPECT_EQ(options.quality, c.quality);
        EXPECT_EQ(options.preserveFineDetails, c.preserveFineDetails);
        EXPECT_EQ(effectiveEdgeRefinement(options), c.expectedStrength) << c.edgeRefinement;
        EXPECT_EQ(networkInputSide(options.quality), c.expectedSide);
    }
    EXPECT_LT(networkInputSide(ProcessingQuality::fast), 1024);
    EXPECT_EQ(networkInputSide(ProcessingQuality::fast) % 32, 0);
    // Without options the engine gives its plain output.
    EXPECT_EQ(effectiveEdgeRefinement(RemovalOptions{}), 0.0);
    EXPECT_TRUE(RemovalOptions{}.preserveFineDetails);

    EXPECT_EQ(qualityFromName(u"fast"), ProcessingQuality::fast);
    EXPECT_EQ(qualityFromName(u"balanced"), ProcessingQuality::balanced);
    EXPECT_EQ(qualityFromName(u"high"), ProcessingQuality::highQuality);
    for (const char16_t* name : {u"", u"High", u"High Quality", u"highQuality", u"fast "})
        EXPECT_FALSE(qualityFromName(name)) << QString::fromUtf16(name).toStdString();
}

TEST(RemovalOptionsTest, StoredOptionsFollowEachSavedChangeOnAnyThread)
{
    test::IsolatedAppState state;
    EXPECT_EQ(storedRemovalOptions(state.appState), (RemovalOptions{ProcessingQuality::balanced, 0.5, true, true, true}));

    UserPreferences preferences = state.appState.userPreferences();
    preferences.processingQuality = ProcessingQuality::fast;
    preferences.edgeRefinement = 0.75;
    preferences.preserveFineDetails = false;
    preferences.autoDetectSubjects = false;
    preferences.processInBackground = false;
    state.appState.setUserPreferences(preferences);

    RemovalOptions seenByWorker;
    std::thread worker([&] { seenByWorker = storedRemovalOptions(state.appState); });
    worker.join();
    EXPECT_EQ(seenByWorker, (RemovalOptions{ProcessingQuality::fast, 0.75, false, false, false}));
}
