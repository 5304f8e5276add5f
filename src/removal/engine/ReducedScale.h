#pragma once

#include <QImage>
#include <QSize>

#include <opencv2/core.hpp>

#include <algorithm>
#include <vector>

namespace kivo {

// A coarser grid over a photo for filters whose results vary slowly (local means, linear
// coefficients, colour estimates): computed on the reduced grid, read back at full resolution by
// bilinear interpolation. The network's mask carries no finer detail than its own input, so
// the reduced grid never needs more than that: its longer side is at most `maximumSide`, the
// photo's divided by a whole factor.
class ReducedScale {
public:
    ReducedScale(QSize full, int maximumSide);

    cv::Size size() const { return m_reduced; }

    // Area-averaged reductions: a Format_ARGB32 photo to 3-channel float (B, G, R in 0 … 1), a
    // Format_Grayscale16 mask to 1-channel float (0 … 1).
    cv::Mat reducePhoto(const QImage& photo) const;
    cv::Mat reduceMask(const QImage& mask) const;

    // The reduced-grid value of a CV_32FC(N) map at the full-resolution pixel (x, y).
    template <int N>
    cv::Vec<float, N> sample(const cv::Mat& map, int x, int y) const
    {
        const Tap& column = m_columns[size_t(x)];
        const Tap& row = m_rows[size_t(y)];
        const auto* upper = map.ptr<cv::Vec<float, N>>(row.first);
        const auto* lower = map.ptr<cv::Vec<float, N>>(row.second);
        const cv::Vec<float, N> top = upper[column.first] * (1 - column.weight) + upper[column.second] * column.weight;
        const cv::Vec<float, N> bottom = lower[column.first] * (1 - column.weight) + lower[column.second] * column.weight;
        return top * (1 - row.weight) + bottom * row.weight;
    }

    // The reduced pixel nearest to the full-resolution pixel (x, y).
    cv::Point nearest(int x, int y) const
    {
        const Tap& column = m_columns[size_t(x)];
        const Tap& row = m_rows[size_t(y)];
        return {column.weight < 0.5f ? column.first : column.second, row.weight < 0.5f ? row.first : row.second};
    }

private:
    // The two reduced pixels around one full-resolution coordinate and the second one's weight.
    struct Tap {
        int first = 0;
        int second = 0;
        float weight = 0;
    };
    static std::vector<Tap> taps(int full, int reduced);

    cv::Size m_reduced;
    std::vector<Tap> m_columns;
    std::vector<Tap> m_rows;
};

// A box mean of `radius` with mirrored borders, the building block of the filters on the grid.
cv::Mat boxMean(const cv::Mat& values, int radius);

// 0 below `from`, 1 above `to`, and a smooth S-curve between.
inline float smoothStep(float from, float to, float value)
{
    const float t = std::clamp((value - from) / (to - from), 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

} // namespace kivo
