#include "ForegroundColours.h"

#include "ReducedScale.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace kivo {

namespace {

// The local colours are estimated on a grid of at most this side: they vary slowly, and the
// correction itself works on the full-resolution photo and mask.
constexpr int estimateGridSide = 512;
// Reduced-grid mask values at or below this are sure background, at or above the next sure
// foreground. The background's next reduced pixel to the soft edge is left out too, because its
// area average may still hold some of the subject's faintest strands; the subject's is kept,
// or thin structures would have no sure pixels of their own.
constexpr float sureBackground = 1.0f / 255.0f;
constexpr float sureForeground = 0.95f;
// Windows (reduced-grid radii) for the nearby colours, the nearest that holds enough sure
// pixels winning smoothly over the wider ones.
constexpr std::array<int, 5> reaches{64, 24, 8, 3, 1};
constexpr float enoughSureShare = 0.03f;

// How far apart (0 … √3, RGB in 0 … 1) the nearby foreground and background colours must be for
// the pixel's colour to say how much of each it holds; closer than the first, the estimate is
// unsure and the pixel keeps the photo's colour.
constexpr float unsureSeparation = 0.06f;
constexpr float sureSeparation = 0.2f;
// Where the network's alpha is higher than the colours show (the old background would stay
// in the estimate), the alpha moves this part of the way towards the colours' own.
constexpr float towardsColourAlpha = 0.5f;
// The alpha the correction divides by never goes below this: near 0 the pixel holds too
// little of the subject to tell its colour, and any error of the background estimate would be
// multiplied.
constexpr float lowestAlpha = 0.2f;
// Below this alpha the correction fades out: the faintest haze of a mask is mostly the
// network's noise, and brightened or darkened it would show as a veil.
constexpr float faintAlpha = 0.04f;
// Colours this close to the nearby background's (RGB distance, 0 … 1) keep the photo's colour,
// colours further than the second get the full correction.
constexpr float nearBackground = 0.02f;
constexpr float clearOfBackground = 0.08f;
// A background with at least this much colour (distance from its own grey, RGB in 0 … 1) has a
// hue that the correction takes out of the edge, never beyond neutral.
constexpr float colouredBackground = 0.1f;

struct LocalColours {
    cv::Mat foreground; // CV_32FC3, 0 … 1
    cv::Mat background; // CV_32FC3, 0 … 1
    bool found = false;
};

// The mean colour of the `sure` pixels near each pixel (normalised convolution): from the widest
// window to the narrowest, each takes over as far as it holds enough sure pixels, so a pixel
// gets the colours of its nearest sure neighbours without seams.
cv::Mat nearbyMean(const cv::Mat& colours, const cv::Mat& sure)
{
    const double total = cv::sum(sure)[0];
    cv::Mat result(colours.size(), CV_32FC3, total > 0 ? cv::mean(colours, sure > 0) : cv::Scalar::all(0.5));
    cv::Mat weighted;
    cv::Mat sure3;
    cv::merge(std::vector<cv::Mat>{sure, sure, sure}, sure3);
    cv::multiply(colours, sure3, weighted);
    for (const int reach : reaches) {
        const cv::Mat sum = boxMean(weighted, reach);
        const cv::Mat share = boxMean(sure, reach);
        cv::parallel_for_(cv::Range(0, colours.rows), [&](const cv::Range& rows) {
            for (int y = rows.start; y < rows.end; ++y) {
                for (int x = 0; x < colours.cols; ++x) {
                    const float s = share.at<float>(y, x);
                    if (s <= 0)
                        continue;
                    const float takeOver = std::min(s / enoughSureShare, 1.0f);
                    cv::Vec3f& value = result.at<cv::Vec3f>(y, x);
                    value += takeOver * (sum.at<cv::Vec3f>(y, x) / s - value);
                }
            }
        });
    }
    return result;
}

LocalColours estimateLocalColours(const cv::Mat& colours, const cv::Mat& alpha)
{
    cv::Mat background;
    cv::erode(alpha <= sureBackground, background, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
    const cv::Mat foreground = alpha >= sureForeground;
    if (cv::countNonZero(background) == 0 || cv::countNonZero(foreground) == 0)
        return {};
    cv::Mat backgroundWeight;
    background.convertTo(backgroundWeight, CV_32F, 1.0 / 255.0);
    cv::Mat foregroundWeight;
    foreground.convertTo(foregroundWeight, CV_32F, 1.0 / 255.0);
    return {nearbyMean(colours, foregroundWeight), nearbyMean(colours, backgroundWeight), true};
}

float grey(const cv::Vec3f& colour)
{
    return (colour[0] + colour[1] + colour[2]) / 3.0f;
}

// The colour of the subject at one edge pixel. The photo shows I = α F + (1 − α) B; with the
// nearby background B, F = I + (1 − α) / α · (I − B): the colour moves straight away from the
// background, never across to another hue. The network's α is only an estimate, and dividing by
// an α that is too low pushes the colour past the subject's into the opposite of the
// background's (a magenta fringe over green). So the α used is never lower than the share the
// pixel's colour itself shows on the line from the nearby background to the nearby subject
// colour, it meets the colours half way where the network's is higher, and the move stays
// inside the colour cube instead of clipping channels one by one.
cv::Vec3f foregroundColour(const cv::Vec3f& observed, float alpha, const cv::Vec3f& nearbyForeground,
                           const cv::Vec3f& nearbyBackground)
{
    const cv::Vec3f across = nearbyForeground - nearbyBackground;
    const float separation = float(cv::norm(across));
    const float confidence = smoothStep(unsureSeparation, sureSeparation, separation) * smoothStep(0.0f, faintAlpha, alpha);
    if (confidence <= 0)
        return observed;
    const cv::Vec3f fromBackground = observed - nearbyBackground;
    // A colour all but the background's is either nearly all background or a part of the
    // subject in the background's colour (white spots over white): either way it stays, since
    // amplifying its small difference would only amplify noise.
    const float backgroundLike = smoothStep(nearBackground, clearOfBackground, float(cv::norm(fromBackground)));
    const float colourAlpha = std::clamp(fromBackground.dot(across) / (separation * separation), 0.0f, 1.0f);
    float used = alpha < colourAlpha ? colourAlpha : alpha - towardsColourAlpha * (alpha - colourAlpha);
    used = std::max(used, lowestAlpha);
    float step = confidence * backgroundLike * (1.0f - used) / used;
    // Over a coloured background the edge loses that colour's tint only down to neutral grey,
    // or to the nearby subject's own tint where that lies beyond: a step further would turn the
    // fringe into the opposite hue.
    const cv::Vec3f tint = nearbyBackground - cv::Vec3f::all(grey(nearbyBackground));
    const float tintStrength = float(cv::norm(tint));
    if (tintStrength >= colouredBackground) {
        auto tintOf = [&](const cv::Vec3f& colour) { return (colour - cv::Vec3f::all(grey(colour))).dot(tint) / tintStrength; };
        const float observedTint = tintOf(observed);
        const float floor = std::min(0.0f, tintOf(nearbyForeground));
        step = observedTint <= floor ? 0.0f : std::min(step, (observedTint - floor) / (tintStrength - observedTint));
    }
    for (int c = 0; c < 3; ++c) {
        if (fromBackground[c] > 0)
            step = std::min(step, (1.0f - observed[c]) / fromBackground[c]);
        else if (fromBackground[c] < 0)
            step = std::min(step, observed[c] / -fromBackground[c]);
    }
    return observed + std::max(step, 0.0f) * fromBackground;
}

} // namespace

void decontaminateEdgeColours(QImage& cutout, const QImage& photo, const QImage& mask)
{
    if (cutout.isNull())
        return;
    const ReducedScale grid(mask.size(), estimateGridSide);
    const LocalColours local = estimateLocalColours(grid.reducePhoto(photo), grid.reduceMask(mask));
    // With no sure background (or no sure subject) anywhere there is nothing to tell the
    // colours apart by: the edge keeps the photo's.
    if (!local.found)
        return;

    uchar* const cutoutBits = cutout.bits();
    const qsizetype cutoutStride = cutout.bytesPerLine();
    const int width = cutout.width();
    cv::parallel_for_(cv::Range(0, cutout.height()), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            auto* target = reinterpret_cast<QRgb*>(cutoutBits + y * cutoutStride);
            const auto* source = reinterpret_cast<const QRgb*>(photo.constScanLine(y));
            const auto* weights = reinterpret_cast<const quint16*>(mask.constScanLine(y));
            for (int x = 0; x < width; ++x) {
                // Only what shows as partly transparent: most of a photo's mask is a hair's
                // breadth from 0 or 1, and its alpha is 0 or 255 all the same.
                const int shownAlpha = qAlpha(target[x]);
                if (shownAlpha == 0 || shownAlpha == 255)
                    continue;
                const QRgb pixel = source[x];
                const cv::Vec3f observed(qBlue(pixel) / 255.0f, qGreen(pixel) / 255.0f, qRed(pixel) / 255.0f);
                const cv::Vec3f estimate = foregroundColour(observed, weights[x] / 65535.0f,
                                                            grid.sample<3>(local.foreground, x, y),
                                                            grid.sample<3>(local.background, x, y));
                auto channel = [&](int c) { return int(std::clamp(estimate[c], 0.0f, 1.0f) * 255.0f + 0.5f); };
                target[x] = qRgba(channel(2), channel(1), channel(0), shownAlpha);
            }
        }
    });
}

} // namespace kivo
