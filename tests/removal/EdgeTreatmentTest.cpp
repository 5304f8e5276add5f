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

#include <algorithm>
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
// composited over a backdrop (pure green unless told) as a photo would show it.
struct ScreenScene {
    static constexpr QSize size{200, 160};
    QImage foreground{size, QImage::Format_ARGB32};
    QImage backdrop{size, QImage::Format_ARGB32};
    QImage alpha;
    QImage photo{size, QImage::Format_ARGB32};

    // The subject's own colours: smooth unless told.
    static QRgb smoothSubject(int x, int y) { return qRgb(200 - x / 3, 90 + y / 2, 40 + int(30 * std::sin(x / 9.0))); }

    explicit ScreenScene(const std::function<QRgb(int, int)>& behind = [](int, int) { return qRgb(0, 255, 0); },
                         const std::function<QRgb(int, int)>& subject = smoothSubject)
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
                const QRgb f = subject(x, y);
                const QRgb b = behind(x, y);
                const double a = maskAt(alpha, x, y) / 65535.0;
                auto mix = [a](int fc, int bc) { return int(std::lround(a * fc + (1 - a) * bc)); };
                foreground.setPixel(x, y, f);
                backdrop.setPixel(x, y, b);
                photo.setPixel(x, y, qRgb(mix(qRed(f), qRed(b)), mix(qGreen(f), qGreen(b)), mix(qBlue(f), qBlue(b))));
            }
        }
    }

    // Over the pixels with 0.1 < α < 0.9: the mean |RGB − F| (summed over the channels), the
    // mean signed lean of the colour from F towards the backdrop's colour, in levels (negative:
    // past F, away from the backdrop), and the share of pixels leaning past F by more than
    // `visiblyPast` levels: a fringe of single pixels the mean does not show.
    struct EdgeColours {
        double error = 0;
        double lean = 0;
        double pastShare = 0;
    };
    static constexpr double visiblyPast = 24;

    EdgeColours edgeColourFigures(const QImage& cutout) const
    {
        double error = 0;
        double lean = 0;
        int past = 0;
        int count = 0;
        for (int y = 0; y < size.height(); ++y) {
            for (int x = 0; x < size.width(); ++x) {
                const double a = maskAt(alpha, x, y) / 65535.0;
                if (a <= 0.1 || a >= 0.9)
                    continue;
                const QRgb out = cutout.pixel(x, y);
                const QRgb f = foreground.pixel(x, y);
                const QRgb b = backdrop.pixel(x, y);
                const double towards[3] = {double(qRed(b) - qRed(f)), double(qGreen(b) - qGreen(f)), double(qBlue(b) - qBlue(f))};
                const double off[3] = {double(qRed(out) - qRed(f)), double(qGreen(out) - qGreen(f)), double(qBlue(out) - qBlue(f))};
                error += std::abs(off[0]) + std::abs(off[1]) + std::abs(off[2]);
                const double pixelLean = (off[0] * towards[0] + off[1] * towards[1] + off[2] * towards[2])
                    / std::hypot(towards[0], towards[1], towards[2]);
                lean += pixelLean;
                past += pixelLean < -visiblyPast;
                ++count;
            }
        }
        return {error / count, lean / count, double(past) / count};
    }

    double edgeColourError(const QImage& cutout) const { return edgeColourFigures(cutout).error; }
};

QImage cutoutOf(const ScreenScene& scene, bool decontaminate, const QImage& mask = {})
{
    const auto composited = applyForegroundMask(ForegroundMask{mask.isNull() ? scene.alpha : mask, 1, decontaminate},
                                                WorkingImage{scene.photo});
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
    const ScreenScene scene;
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

TEST(EdgeTreatmentTest, DecontaminationNeverPushesEdgeColoursPastTheSubjectsWhenTheAlphaIsOff)
{
    // The network's alpha is never exact. Where it is too low, solving the photo for the
    // subject's colour overshoots past that colour, away from the backdrop (a magenta fringe
    // where there was a green one); where it is too high, part of the backdrop stays. Neither may
    // leave the edge worse than the photo's own colours, and no colour may lean past the
    // subject's.
    struct Backdrop {
        const char* name;
        std::function<QRgb(int, int)> colour;
        // With the true alpha, the edge colour error at most this part of the plain cut-out's:
        // a busy background is only known from its nearby pixels.
        double exactAtMost;
    };
    const Backdrop backdrops[] = {
        {"green", [](int, int) { return qRgb(0, 255, 0); }, 0.4},
        {"white", [](int, int) { return qRgb(255, 255, 255); }, 0.4},
        {"black", [](int, int) { return qRgb(0, 0, 0); }, 0.4},
        {"busy",
         [](int x, int y) {
             return qRgb(120 + int(90 * std::sin(x / 11.0)), 150 + int(80 * std::cos(y / 13.0)),
                         110 + int(70 * std::sin((x + y) / 17.0)));
         },
         0.7},
    };
    // Hair and fur are streaked: light and dark strands side by side, so the nearby subject
    // colour is only their mean. An estimate that lets a pixel go beyond that mean (to reach
    // the dark strands) overshoots the light ones as soon as the alpha is too low; no estimate
    // from the mean keeps every light strand from it where the alpha is too low all along.
    struct Subject {
        const char* name;
        std::function<QRgb(int, int)> colour;
        double pastAtMost; // share of the edge visibly past the subject's colour
    };
    const Subject subjects[] = {
        {"smooth", ScreenScene::smoothSubject, 0.02},
        {"streaked",
         [](int x, int y) {
             const double angle = std::atan2(y - 80.0, x - 100.0);
             const double shade = 0.45 + 0.55 * (0.5 + 0.5 * std::sin(angle * 40.0));
             return qRgb(int(190 * shade), int(120 * shade), int(70 * shade));
         },
         0.32},
    };
    // The network also sees hair coarser than it is: its alpha is smooth where strands and gaps
    // alternate, too low on a strand and too high beside it. `scatter` adds that, pixel by pixel;
    // no single pixel may then be pushed past its colour.
    struct Case {
        double alphaOffset;  // added to the true alpha on the soft edge
        double errorAtMost;  // of the plain cut-out's edge colour error (0: the backdrop's own bound)
        double scatter = 0;  // −, 0 or + this much, pixel by pixel
        double pastAtMost = 0; // 0: the subject's own bound
    };
    const Case cases[] = {{0.0, 0.0}, {0.15, 0.8}, {-0.15, 0.8}, {-0.3, 1.0}, {0.3, 1.0}, {0.0, 0.85, 0.3, 0.03}};
    std::vector<std::pair<const Subject*, const Backdrop*>> subjectsOverBackdrops;
    for (const Subject& subject : subjects)
        for (const Backdrop& backdrop : backdrops)
            subjectsOverBackdrops.emplace_back(&subject, &backdrop);
    for (const auto& [subject, backdrop] : subjectsOverBackdrops) {
        const ScreenScene scene(backdrop->colour, subject->colour);
        for (const Case& c : cases) {
            const QImage mask = maskFrom(scene.size, [&](int x, int y) {
                const double a = maskAt(scene.alpha, x, y) / 65535.0;
                const double scatter = ((x * 7919 + y * 104729) % 3 - 1) * c.scatter;
                return a == 0 || a == 1 ? a : std::clamp(a + c.alphaOffset + scatter, 0.02, 1.0);
            });
            const QImage plain = cutoutOf(scene, false, mask);
            const QImage clean = cutoutOf(scene, true, mask);
            const ScreenScene::EdgeColours before = scene.edgeColourFigures(plain);
            const ScreenScene::EdgeColours after = scene.edgeColourFigures(clean);
            const std::string label = std::string(subject->name) + " over " + backdrop->name + ", alpha offset "
                + std::to_string(c.alphaOffset) + ", scattered by " + std::to_string(c.scatter) + ": error "
                + std::to_string(before.error) + " -> " + std::to_string(after.error) + ", lean "
                + std::to_string(before.lean) + " -> " + std::to_string(after.lean) + ", visibly past "
                + std::to_string(after.pastShare);
            RecordProperty(std::string(subject->name) + backdrop->name + std::to_string(c.alphaOffset) + std::to_string(c.scatter),
                           label);
            EXPECT_GT(before.lean, 20.0) << label;
            EXPECT_GE(after.lean, -6.0) << label;
            EXPECT_LE(after.pastShare, c.pastAtMost > 0 ? c.pastAtMost : subject->pastAtMost) << label;
            EXPECT_LE(after.error, (c.errorAtMost > 0 ? c.errorAtMost : backdrop->exactAtMost) * before.error) << label;

            // The alpha everywhere and the opaque pixels' colours stay as without decontamination.
            for (int y = 0; y < scene.size.height(); ++y) {
                for (int x = 0; x < scene.size.width(); ++x) {
                    ASSERT_EQ(qAlpha(clean.pixel(x, y)), qAlpha(plain.pixel(x, y))) << x << "," << y << " " << label;
                    if (qAlpha(plain.pixel(x, y)) == 255 || qAlpha(plain.pixel(x, y)) == 0) {
                        ASSERT_EQ(clean.pixel(x, y), plain.pixel(x, y)) << x << "," << y << " " << label;
                    }
                }
            }
        }
    }
}

TEST(EdgeTreatmentTest, PartsOfTheSubjectInTheBackgroundsColourKeepIt)
{
    // A dark wing with white spots over white: the network leaves the spots half transparent.
    // Their colour is the background's and the subject's alike, so nothing may pull it towards
    // the dark wing around them.
    const QSize size(140, 120);
    const QPoint spots[] = {{55, 50}, {85, 50}, {70, 75}};
    auto inSpot = [&](int x, int y) {
        return std::any_of(std::begin(spots), std::end(spots), [&](QPoint c) { return std::hypot(x - c.x(), y - c.y()) < 7; });
    };
    const QImage trueAlpha = maskFrom(size, [](int x, int y) { return (45.0 - std::hypot(x - 70.0, y - 60.0)) / 6.0 + 0.5; });
    const QImage network = maskFrom(size, [&](int x, int y) { return inSpot(x, y) ? 0.5 : maskAt(trueAlpha, x, y) / 65535.0; });
    QImage photo(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const double a = maskAt(trueAlpha, x, y) / 65535.0;
            const int wing = inSpot(x, y) ? 250 : 70 + x / 4;
            const int level = int(std::lround(a * wing + (1 - a) * 255));
            photo.setPixel(x, y, inSpot(x, y) ? qRgb(250, 250, 250) : qRgb(level, int(std::lround(a * 50 + (1 - a) * 255)), level));
        }
    }
    const auto clean = applyForegroundMask(ForegroundMask{network, 1, true}, WorkingImage{photo});
    ASSERT_TRUE(clean);
    int spotPixels = 0;
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            if (!inSpot(x, y))
                continue;
            ++spotPixels;
            const QRgb colour = clean->pixels.pixel(x, y);
            ASSERT_EQ(qAlpha(colour), 128) << x << "," << y;
            for (int channel : {qRed(colour), qGreen(colour), qBlue(colour)})
                ASSERT_GE(channel, 240) << x << "," << y;
        }
    }
    EXPECT_GT(spotPixels, 400);

    // Refining the edges keeps them too: they lie inside the wing, away from the white around
    // it, so nothing takes them for a glow of the backdrop.
    QImage refined = network.copy();
    refineMaskEdges(refined, photo, 0.5);
    double spotCover = 0;
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            if (inSpot(x, y))
                spotCover += maskAt(refined, x, y) / 65535.0;
    EXPECT_GE(spotCover / spotPixels, 0.45);
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

TEST(EdgeTreatmentTest, RefinementLaysNoGlowOfThePlainBackdropAroundTheSubject)
{
    // A subject whose right part has the backdrop's own colour (a white cup's rim over white)
    // and a network mask that spreads 8 pixels past its true edge, as the network's masks do.
    // Where the photo shows nothing but the backdrop, the refined mask must not cover it: over
    // a darker new background that cover shows as a glow of the old backdrop's colour.
    struct Backdrop {
        const char* name;
        QRgb colour;
    };
    for (const Backdrop& backdrop : {Backdrop{"white", qRgb(255, 255, 255)}, Backdrop{"black", qRgb(0, 0, 0)},
                                     Backdrop{"green", qRgb(0, 255, 0)}}) {
        const auto subject = [&](int x, int y) { return x > 125 ? backdrop.colour : ScreenScene::smoothSubject(x, y); };
        const ScreenScene scene([&](int, int) { return backdrop.colour; }, subject);
        const QImage network = maskFrom(scene.size, [](int x, int y) { return (63.0 - std::hypot(x - 100.0, y - 80.0)) / 16.0; });
        QImage refined = network.copy();
        refineMaskEdges(refined, scene.photo, 0.5);

        double coverBefore = 0;
        double coverAfter = 0;
        int backdropPixels = 0;
        for (int y = 0; y < scene.size.height(); ++y) {
            for (int x = 0; x < scene.size.width(); ++x) {
                if (maskAt(scene.alpha, x, y) != 0 || maskAt(network, x, y) == 0)
                    continue;
                coverBefore += maskAt(network, x, y) / 65535.0;
                coverAfter += maskAt(refined, x, y) / 65535.0;
                ++backdropPixels;
            }
        }
        ASSERT_GT(backdropPixels, 1000) << backdrop.name;
        coverBefore /= backdropPixels;
        coverAfter /= backdropPixels;
        EXPECT_GT(coverBefore, 0.05) << backdrop.name;
        EXPECT_LT(coverAfter, 0.1 * coverBefore) << backdrop.name << ": backdrop covered " << coverBefore << " -> " << coverAfter;

        // The subject itself stays: its inside opaque, its own colours' rim still covered.
        EXPECT_EQ(maskAt(refined, 100, 80), 65535) << backdrop.name;
        EXPECT_GT(maskAt(refined, 100, 40), 60000) << backdrop.name;
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
    EXPECT_EQ(storedRemovalOptions(state.appState), (RemovalOptions{ProcessingQuality::balanced, 0.5, true, true, true, true}));

    UserPreferences preferences = state.appState.userPreferences();
    preferences.processingQuality = ProcessingQuality::fast;
    preferences.edgeRefinement = 0.75;
    preferences.preserveFineDetails = false;
    preferences.autoDetectSubjects = false;
    preferences.processInBackground = false;
    preferences.useGPUAcceleration = false;
    state.appState.setUserPreferences(preferences);

    RemovalOptions seenByWorker;
    std::thread worker([&] { seenByWorker = storedRemovalOptions(state.appState); });
    worker.join();
    EXPECT_EQ(seenByWorker, (RemovalOptions{ProcessingQuality::fast, 0.75, false, false, false, false}));
}

// The network may use an accelerated provider only with both acceleration switches on.
TEST(RemovalOptionsTest, AccelerationNeedsBothSwitches)
{
    const std::array<std::array<bool, 3>, 4> cases{{
        // hardware, GPU, accelerated
        {true, true, true},
        {true, false, false},
        {false, true, false},
        {false, false, false},
    }};
    for (const auto& [hardware, gpu, accelerated] : cases) {
        UserPreferences preferences;
        preferences.useHardwareAcceleration = hardware;
        preferences.useGPUAcceleration = gpu;
        EXPECT_EQ(removalOptionsFromPreferences(preferences).accelerated, accelerated) << hardware << gpu;
    }
}
