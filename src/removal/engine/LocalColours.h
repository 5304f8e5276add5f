#pragma once

#include <opencv2/core.hpp>

namespace kivo {

// The colours of the subject and of the background near each pixel of a reduced grid, from the
// sure pixels of a soft mask around it: what an edge pixel mixes, I = α · F + (1 − α) · B.
struct LocalColours {
    cv::Mat foreground; // CV_32FC3, 0 … 1
    cv::Mat background; // CV_32FC3, 0 … 1
    // How much the nearby background's colours scatter around their mean (root of the summed
    // channel variances, CV_32F): large over a busy background. Empty unless asked for.
    cv::Mat backgroundSpread;
    bool found = false;
};

// From `colours` (CV_32FC3, 0 … 1) and `mask` (CV_32F, 0 … 1) of the same reduced grid. Not
// `found` when the mask has no sure background or no sure subject anywhere.
LocalColours estimateLocalColours(const cv::Mat& colours, const cv::Mat& mask, bool withSpread = false);

} // namespace kivo
