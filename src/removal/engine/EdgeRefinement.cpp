#include "EdgeRefinement.h"

#include "ForegroundSegmenter.h"
#include "ReducedScale.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace kivo {

namespace {

// Reduced-grid mask values strictly between these belong to the soft edge.
constexpr float sureBackground = 1.0f / 255.0f;
constexpr float sureForeground = 1.0f - 1.0f / 255.0f;
// Refined values this close to 0 or 1 become 0 or 1.
constexpr float faintest = 0.02f;
// A pixel that the network leaves more background than subject, whose colour is that of the
// sure background around it, is background: the linear model cannot tell a white cup's rim from
// the white backdrop beside it and would lay a glow of the backdrop's colour around the subject.
// Colours closer than the first distance (RGB in 0 … 1) to the nearby background's lose the
// refined alpha, further than the second keep it; a window needs this share of sure background
// for its mean to count.
constexpr float networkMostlySubject = 0.5f;
constexpr float backgroundColourDistance = 0.02f;
constexpr float ownColourDistance = 0.08f;
constexpr float enoughBackgroundShare = 0.05f;
// Crisp edges: mask values this close to 0 or 65535 (under one step of an 8-bit alpha) snap
// without looking at the slope.
constexpr int nearlyTransparent = 257;

// The guided filter's linear model of the mask on the photo, averaged over the windows that
// cover each pixel: mask ≈ a · colour + b (He, Sun and Tang, "Guided Image Filtering", with the
// colour guide of their section 3.5). a and b vary slowly, so they are fitted on the reduced
// grid and applied to the photo's full-resolution colours ("Fast Guided Filter", He and Sun).
struct LinearModel {
    cv::Mat a; // CV_32FC3
    cv::Mat b; // CV_32F
};

LinearModel fitGuidedFilter(const cv::Mat& guide, const cv::Mat& mask, int radius, float regularisation)
{
    std::array<cv::Mat, 3> colour;
    cv::split(guide, colour.data());
    const cv::Mat meanColour = boxMean(guide, radius);
    const cv::Mat meanMask = boxMean(mask, radius);
    std::array<cv::Mat, 3> meanColourMask;
    for (int c = 0; c < 3; ++c)
        meanColourMask[size_t(c)] = boxMean(colour[size_t(c)].mul(mask), radius);
    // The colour's second moments: rr, rg, rb, gg, gb, bb.
    constexpr std::array<std::pair<int, int>, 6> pairs{{{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}}};
    std::array<cv::Mat, 6> moments;
    for (size_t k = 0; k < pairs.size(); ++k)
        moments[k] = boxMean(colour[size_t(pairs[k].first)].mul(colour[size_t(pairs[k].second)]), radius);

    cv::Mat a(mask.size(), CV_32FC3);
    cv::Mat b(mask.size(), CV_32F);
    cv::parallel_for_(cv::Range(0, mask.rows), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            for (int x = 0; x < mask.cols; ++x) {
                const cv::Vec3f mean = meanColour.at<cv::Vec3f>(y, x);
                const float p = meanMask.at<float>(y, x);
                const cv::Vec3d covariance(meanColourMask[0].at<float>(y, x) - mean[0] * p,
                                           meanColourMask[1].at<float>(y, x) - mean[1] * p,
                                           meanColourMask[2].at<float>(y, x) - mean[2] * p);
                auto moment = [&](size_t k) { return double(moments[k].at<float>(y, x)); };
                const double s00 = moment(0) - mean[0] * mean[0] + regularisation;
                const double s01 = moment(1) - mean[0] * mean[1];
                const double s02 = moment(2) - mean[0] * mean[2];
                const double s11 = moment(3) - mean[1] * mean[1] + regularisation;
                const double s12 = moment(4) - mean[1] * mean[2];
                const double s22 = moment(5) - mean[2] * mean[2] + regularisation;
                // The inverse of the symmetric 3 × 3 matrix by its cofactors; the regularisation
                // keeps it positive definite.
                const double c00 = s11 * s22 - s12 * s12;
                const double c01 = s02 * s12 - s01 * s22;
                const double c02 = s01 * s12 - s02 * s11;
                const double c11 = s00 * s22 - s02 * s02;
                const double c12 = s01 * s02 - s00 * s12;
                const double c22 = s00 * s11 - s01 * s01;
                const double determinant = s00 * c00 + s01 * c01 + s02 * c02;
                const cv::Vec3d slope = cv::Vec3d(c00 * covariance[0] + c01 * covariance[1] + c02 * covariance[2],
                                                  c01 * covariance[0] + c11 * covariance[1] + c12 * covariance[2],
                                                  c02 * covariance[0] + c12 * covariance[1] + c22 * covariance[2])
                    / determinant;
                a.at<cv::Vec3f>(y, x) = cv::Vec3f(slope);
                b.at<float>(y, x) = float(p - slope.dot(cv::Vec3d(mean)));
            }
        }
    });
    return {boxMean(a, radius), boxMean(b, radius)};
}

// The reduced-grid pixels whose full-resolution pixels the filter may change: the soft edge and
// everything within the filter's reach of it.
cv::Mat softEdgeBand(const cv::Mat& mask, int reach)
{
    cv::Mat soft = (mask > sureBackground) & (mask < sureForeground);
    cv::Mat band;
    cv::dilate(soft, band, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * reach + 1, 2 * reach + 1)));
    return band;
}

// The mean colour of the sure background pixels within `reach` of each reduced pixel and their
// share of the window, as one CV_32FC4 map: B, G, R, share.
cv::Mat nearbyBackground(const cv::Mat& guide, const cv::Mat& mask, int reach)
{
    auto meanOf = [&](const auto& weightAt) {
        cv::Mat weighted(guide.size(), CV_32FC4);
        cv::parallel_for_(cv::Range(0, guide.rows), [&](const cv::Range& rows) {
            for (int y = rows.start; y < rows.end; ++y) {
                for (int x = 0; x < guide.cols; ++x) {
                    const float weight = weightAt(x, y);
                    const cv::Vec3f& colour = guide.at<cv::Vec3f>(y, x);
                    weighted.at<cv::Vec4f>(y, x) = {colour[0] * weight, colour[1] * weight, colour[2] * weight, weight};
                }
            }
        });
        cv::Mat sums = boxMean(weighted, reach);
        sums.forEach<cv::Vec4f>([](cv::Vec4f& value, const int*) {
            const float share = std::max(value[3], 1e-6f);
            value = {value[0] / share, value[1] / share, value[2] / share, value[3]};
        });
        return sums;
    };
    const cv::Mat first = meanOf([&](int x, int y) { return mask.at<float>(y, x) <= sureBackground ? 1.0f : 0.0f; });
    // Strands the network missed lie in its sure background too: the mean is taken again
    // without the colours far from the first one.
    return meanOf([&](int x, int y) {
        if (mask.at<float>(y, x) > sureBackground)
            return 0.0f;
        const cv::Vec4f& mean = first.at<cv::Vec4f>(y, x);
        const cv::Vec3f& colour = guide.at<cv::Vec3f>(y, x);
        return cv::norm(colour - cv::Vec3f(mean[0], mean[1], mean[2])) < ownColourDistance ? 1.0f : 0.0f;
    });
}

} // namespace

void refineMaskEdges(QImage& mask, const QImage& photo, double strength)
{
    strength = std::clamp(strength, 0.0, 1.0);
    if (strength == 0.0 || mask.isNull())
        return;
    const ReducedScale grid(mask.size(), ForegroundSegmenter::defaultInputSide);
    const cv::Mat guide = grid.reducePhoto(photo);
    const cv::Mat reducedMask = grid.reduceMask(mask);

    // On the reduced grid, about the network's own resolution: a stronger setting reaches
    // further from the network's edge and follows finer changes of colour.
    const int radius = 1 + int(std::lround(7.0 * strength));
    const float regularisation = float(std::pow(10.0, -2.0 - 2.0 * strength));
    const LinearModel model = fitGuidedFilter(guide, reducedMask, radius, regularisation);
    const cv::Mat band = softEdgeBand(reducedMask, 2 * radius);
    // The background's colour varies slowly: a grid of half the side holds it.
    const ReducedScale backgroundGrid(mask.size(), ForegroundSegmenter::defaultInputSide / 2);
    cv::Mat backgroundGuide;
    cv::Mat backgroundMask;
    cv::resize(guide, backgroundGuide, backgroundGrid.size(), 0, 0, cv::INTER_AREA);
    cv::resize(reducedMask, backgroundMask, backgroundGrid.size(), 0, 0, cv::INTER_AREA);
    const cv::Mat background = nearbyBackground(backgroundGuide, backgroundMask, 2 * radius);

    uchar* const maskBits = mask.bits();
    const qsizetype maskStride = mask.bytesPerLine();
    const int width = mask.width();
    cv::parallel_for_(cv::Range(0, mask.height()), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            auto* values = reinterpret_cast<quint16*>(maskBits + y * maskStride);
            const auto* colours = reinterpret_cast<const QRgb*>(photo.constScanLine(y));
            for (int x = 0; x < width; ++x) {
                if (!band.at<uchar>(grid.nearest(x, y)))
                    continue;
                const cv::Vec3f a = grid.sample<3>(model.a, x, y);
                const float b = grid.sample<1>(model.b, x, y)[0];
                const QRgb colour = colours[x];
                const float refined =
                    a[0] * qBlue(colour) / 255.0f + a[1] * qGreen(colour) / 255.0f + a[2] * qRed(colour) / 255.0f + b;
                // The faintest and the nearly full values of the linear model are its noise,
                // not the subject: stretched to 0 and 1.
                float stretched = std::clamp((refined - faintest) / (1.0f - 2.0f * faintest), 0.0f, 1.0f);
                if (stretched > 0 && values[x] < networkMostlySubject * 65535.0f) {
                    const cv::Vec4f nearby = backgroundGrid.sample<4>(background, x, y);
                    if (nearby[3] > 0) {
                        const cv::Vec3f own(qBlue(colour) / 255.0f, qGreen(colour) / 255.0f, qRed(colour) / 255.0f);
                        const float distance = float(cv::norm(own - cv::Vec3f(nearby[0], nearby[1], nearby[2])));
                        const float backgroundLike = std::min(nearby[3] / enoughBackgroundShare, 1.0f)
                            * (1.0f - smoothStep(backgroundColourDistance, ownColourDistance, distance));
                        stretched *= 1.0f - backgroundLike;
                    }
                }
                values[x] = quint16(stretched * 65535.0f + 0.5f);
            }
        }
    });
}

void snapMaskToCrispEdges(QImage& mask)
{
    if (mask.isNull())
        return;
    // The slope is read from the mask as it was, not from rows already snapped.
    const QImage source = mask.copy();
    if (source.isNull())
        throw std::bad_alloc();
    const int width = mask.width();
    const int height = mask.height();
    uchar* const maskBits = mask.bits();
    const qsizetype maskStride = mask.bytesPerLine();
    cv::parallel_for_(cv::Range(0, height), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const int up = std::max(y - 1, 0);
            const int down = std::min(y + 1, height - 1);
            const auto* above = reinterpret_cast<const quint16*>(source.constScanLine(up));
            const auto* row = reinterpret_cast<const quint16*>(source.constScanLine(y));
            const auto* below = reinterpret_cast<const quint16*>(source.constScanLine(down));
            auto* target = reinterpret_cast<quint16*>(maskBits + y * maskStride);
            for (int x = 0; x < width; ++x) {
                const int value = row[x];
                if (value < nearlyTransparent || value > 65535 - nearlyTransparent) {
                    target[x] = value < nearlyTransparent ? 0 : 65535;
                    continue;
                }
                const int left = std::max(x - 1, 0);
                const int right = std::min(x + 1, width - 1);
                const double dx = double(row[right] - row[left]) / std::max(right - left, 1);
                const double dy = double(below[x] - above[x]) / std::max(down - up, 1);
                // The mask's distance in pixels from its half-way line, from the local slope;
                // one pixel of soft transition centred on that line.
                const double slope = std::max(std::sqrt(dx * dx + dy * dy), 1e-3);
                const double distance = (value - 32767.5) / slope;
                target[x] = quint16(std::clamp(distance + 0.5, 0.0, 1.0) * 65535.0 + 0.5);
            }
        }
    });
}

} // namespace kivo
