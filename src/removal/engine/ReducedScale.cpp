#include "ReducedScale.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace kivo {

ReducedScale::ReducedScale(QSize full, int maximumSide)
{
    // A whole factor: area reduction by a whole factor is several times faster than by any other.
    const int longer = std::max(full.width(), full.height());
    const int factor = std::max(1, (longer + maximumSide - 1) / maximumSide);
    m_reduced = cv::Size(std::max(1, (full.width() + factor - 1) / factor), std::max(1, (full.height() + factor - 1) / factor));
    m_columns = taps(full.width(), m_reduced.width);
    m_rows = taps(full.height(), m_reduced.height);
}

std::vector<ReducedScale::Tap> ReducedScale::taps(int full, int reduced)
{
    // Pixel centres line up as in cv::resize: (x + 0.5) × reduced / full − 0.5.
    std::vector<Tap> result(size_t(std::max(full, 0)));
    const double scale = double(reduced) / full;
    for (int x = 0; x < full; ++x) {
        const double position = std::clamp((x + 0.5) * scale - 0.5, 0.0, double(reduced - 1));
        const int first = int(position);
        result[size_t(x)] = Tap{first, std::min(first + 1, reduced - 1), float(position - first)};
    }
    return result;
}

cv::Mat ReducedScale::reducePhoto(const QImage& photo) const
{
    const cv::Mat pixels(photo.height(), photo.width(), CV_8UC4, const_cast<uchar*>(photo.constBits()),
                         size_t(photo.bytesPerLine()));
    cv::Mat reduced;
    cv::resize(pixels, reduced, m_reduced, 0, 0, cv::INTER_AREA);
    cv::Mat colour;
    cv::cvtColor(reduced, colour, cv::COLOR_BGRA2BGR);
    cv::Mat result;
    colour.convertTo(result, CV_32FC3, 1.0 / 255.0);
    return result;
}

cv::Mat ReducedScale::reduceMask(const QImage& mask) const
{
    const cv::Mat values(mask.height(), mask.width(), CV_16U, const_cast<uchar*>(mask.constBits()),
                         size_t(mask.bytesPerLine()));
    cv::Mat reduced;
    cv::resize(values, reduced, m_reduced, 0, 0, cv::INTER_AREA);
    cv::Mat result;
    reduced.convertTo(result, CV_32F, 1.0 / 65535.0);
    return result;
}

cv::Mat boxMean(const cv::Mat& values, int radius)
{
    cv::Mat result;
    cv::boxFilter(values, result, CV_32F, cv::Size(2 * radius + 1, 2 * radius + 1), cv::Point(-1, -1), true,
                  cv::BORDER_REFLECT);
    return result;
}

} // namespace kivo
