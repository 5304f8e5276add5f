#include "ForegroundColours.h"

#include "ReducedScale.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace kivo {

namespace {

// The estimate's weights (the paper's defaults): a small pull towards the neighbours'
// colours everywhere, a strong one where the mask changes.
constexpr float regularisation = 1e-5f;
constexpr float gradientWeight = 1.0f;
// Levels up to this size are cheap and get many iterations; the larger ones start from a good
// guess and need few.
constexpr int smallLevelSide = 32;
constexpr int smallLevelIterations = 10;
constexpr int largeLevelIterations = 2;
// The estimates are solved on a grid of at most this side: half the network's, which costs a
// quarter and loses nothing visible, because the final correction below works on the
// full-resolution photo and mask.
constexpr int estimateGridSide = 512;

struct ColourEstimates {
    cv::Mat foreground; // CV_32FC3, 0 … 1
    cv::Mat background; // CV_32FC3, 0 … 1
};

// One sweep over all pixels: each solves photo = α F + (1 − α) B in the least-squares sense
// together with the pull towards its four neighbours' estimates. Every pixel reads the previous
// sweep's estimates, so rows run in parallel.
ColourEstimates sweep(const ColourEstimates& previous, const cv::Mat& photo, const cv::Mat& alpha)
{
    ColourEstimates next{cv::Mat(photo.size(), CV_32FC3), cv::Mat(photo.size(), CV_32FC3)};
    const int width = photo.cols;
    const int height = photo.rows;
    cv::parallel_for_(cv::Range(0, height), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            for (int x = 0; x < width; ++x) {
                const float a0 = alpha.at<float>(y, x);
                const float a1 = 1.0f - a0;
                float a00 = a0 * a0;
                const float a01 = a0 * a1;
                float a11 = a1 * a1;
                const cv::Vec3f colour = photo.at<cv::Vec3f>(y, x);
                cv::Vec3f b0 = a0 * colour;
                cv::Vec3f b1 = a1 * colour;
                // Past the border a pixel is its own neighbour, which also keeps the system
                // solvable on a one-pixel level.
                const std::array<cv::Point, 4> neighbours{{{std::max(x - 1, 0), y},
                                                           {std::min(x + 1, width - 1), y},
                                                           {x, std::max(y - 1, 0)},
                                                           {x, std::min(y + 1, height - 1)}}};
                for (const cv::Point& n : neighbours) {
                    const float weight = regularisation + gradientWeight * std::abs(a0 - alpha.at<float>(n));
                    a00 += weight;
                    a11 += weight;
                    b0 += weight * previous.foreground.at<cv::Vec3f>(n);
                    b1 += weight * previous.background.at<cv::Vec3f>(n);
                }
                const float inverse = 1.0f / (a00 * a11 - a01 * a01);
                cv::Vec3f f = inverse * (a11 * b0 - a01 * b1);
                cv::Vec3f b = inverse * (a00 * b1 - a01 * b0);
                for (int c = 0; c < 3; ++c) {
                    f[c] = std::clamp(f[c], 0.0f, 1.0f);
                    b[c] = std::clamp(b[c], 0.0f, 1.0f);
                }
                next.foreground.at<cv::Vec3f>(y, x) = f;
                next.background.at<cv::Vec3f>(y, x) = b;
            }
        }
    });
    return next;
}

// Germer, Uelwer, Conrad and Harmeling, "Fast Multi-Level Foreground Estimation" (2020): the
// estimates are solved on a pyramid from one pixel up to the full grid, each level starting
// from the one below, so that colours travel far at little cost.
ColourEstimates estimateForegroundAndBackground(const cv::Mat& photo, const cv::Mat& alpha)
{
    const int longer = std::max(photo.cols, photo.rows);
    const int levels = std::max(1, int(std::ceil(std::log2(longer))));
    ColourEstimates estimates{cv::Mat(1, 1, CV_32FC3, cv::Scalar::all(0)), cv::Mat(1, 1, CV_32FC3, cv::Scalar::all(0))};
    for (int level = 0; level <= levels; ++level) {
        const double fraction = double(level) / levels;
        const cv::Size size(int(std::lround(std::pow(photo.cols, fraction))), int(std::lround(std::pow(photo.rows, fraction))));
        const auto nearest = [&size](const cv::Mat& values) {
            cv::Mat resized;
            cv::resize(values, resized, size, 0, 0, cv::INTER_NEAREST);
            return resized;
        };
        const cv::Mat levelPhoto = nearest(photo);
        const cv::Mat levelAlpha = nearest(alpha);
        estimates = ColourEstimates{nearest(estimates.foreground), nearest(estimates.background)};
        const bool small = size.width <= smallLevelSide && size.height <= smallLevelSide;
        for (int i = 0; i < (small ? smallLevelIterations : largeLevelIterations); ++i)
            estimates = sweep(estimates, levelPhoto, levelAlpha);
    }
    return estimates;
}

} // namespace

void decontaminateEdgeColours(QImage& cutout, const QImage& photo, const QImage& mask)
{
    if (cutout.isNull())
        return;
    const ReducedScale grid(mask.size(), estimateGridSide);
    const cv::Mat colours = grid.reducePhoto(photo);
    const cv::Mat alpha = grid.reduceMask(mask);
    const ColourEstimates local = estimateForegroundAndBackground(colours, alpha);

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
                const float a = weights[x] / 65535.0f;
                const cv::Vec3f f = grid.sample<3>(local.foreground, x, y);
                const cv::Vec3f b = grid.sample<3>(local.background, x, y);
                const QRgb pixel = source[x];
                const cv::Vec3f observed(qBlue(pixel) / 255.0f, qGreen(pixel) / 255.0f, qRed(pixel) / 255.0f);
                const cv::Vec3f estimate = f + a * (observed - a * f - (1.0f - a) * b);
                auto channel = [&](int c) { return int(std::clamp(estimate[c], 0.0f, 1.0f) * 255.0f + 0.5f); };
                target[x] = qRgba(channel(2), channel(1), channel(0), shownAlpha);
            }
        }
    });
}

} // namespace kivo
