#include "LocalColours.h"

#include "ReducedScale.h"

#include <opencv2/imgproc.hpp>

#include <array>
#include <cmath>
#include <vector>

namespace kivo {

namespace {

// Mask values at or below this are sure background, at or above the next sure subject. The
// background's next pixel to the soft edge is left out too, because its area average may still
// hold some of the subject's faintest strands; the subject's is kept, or thin structures would
// have no sure pixels of their own.
constexpr float sureBackground = 1.0f / 255.0f;
constexpr float sureForeground = 0.95f;
// Windows (grid radii) for the nearby colours, the nearest that holds enough sure pixels
// winning smoothly over the wider ones.
constexpr std::array<int, 5> reaches{64, 24, 8, 3, 1};
constexpr float enoughSureShare = 0.03f;

// The mean of the `sure` pixels' `values` near each pixel (normalised convolution): from the
// widest window to the narrowest, each takes over as far as it holds enough sure pixels, so a
// pixel gets the values of its nearest sure neighbours without seams.
cv::Mat nearbyMean(const cv::Mat& values, const cv::Mat& sure)
{
    const double total = cv::sum(sure)[0];
    cv::Mat result(values.size(), CV_32FC3, total > 0 ? cv::mean(values, sure > 0) : cv::Scalar::all(0.5));
    cv::Mat weighted;
    cv::Mat sure3;
    cv::merge(std::vector<cv::Mat>{sure, sure, sure}, sure3);
    cv::multiply(values, sure3, weighted);
    for (const int reach : reaches) {
        const cv::Mat sum = boxMean(weighted, reach);
        const cv::Mat share = boxMean(sure, reach);
        cv::parallel_for_(cv::Range(0, values.rows), [&](const cv::Range& rows) {
            for (int y = rows.start; y < rows.end; ++y) {
                for (int x = 0; x < values.cols; ++x) {
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

} // namespace

LocalColours estimateLocalColours(const cv::Mat& colours, const cv::Mat& mask, bool withSpread)
{
    cv::Mat background;
    cv::erode(mask <= sureBackground, background, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
    const cv::Mat foreground = mask >= sureForeground;
    if (cv::countNonZero(background) == 0 || cv::countNonZero(foreground) == 0)
        return {};
    cv::Mat backgroundWeight;
    background.convertTo(backgroundWeight, CV_32F, 1.0 / 255.0);
    cv::Mat foregroundWeight;
    foreground.convertTo(foregroundWeight, CV_32F, 1.0 / 255.0);
    LocalColours local{nearbyMean(colours, foregroundWeight), nearbyMean(colours, backgroundWeight), {}, true};
    if (withSpread) {
        cv::Mat variance = nearbyMean(colours.mul(colours), backgroundWeight) - local.background.mul(local.background);
        cv::Mat channels[3];
        cv::split(cv::max(variance, 0.0), channels);
        cv::sqrt(channels[0] + channels[1] + channels[2], local.backgroundSpread);
    }
    return local;
}

} // namespace kivo
