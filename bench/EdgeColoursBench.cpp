// Benchmark of the edge treatment's colours on composites with a known answer: photos cut out by
// a known alpha, laid over pure green, white, black and busy photo backgrounds, then cut out
// again by the engine, plain and with refinement 0.5 (as `--refine 0.5` does). Per case it
// prints, over the edge band (known alpha 0.1 to 0.9, on edges at most 8 px across), the mean
// colour error against the known foreground colours and the signed background excess (how far
// the colours lean towards the backdrop's colour; negative is a fringe of the opposite colour).
// Then the edge steps' time on the 12 MP photo against Balanced's engine time. Run through
// bench/run.sh edges.

#include "BenchSupport.h"

#include "removal/engine/EdgeRefinement.h"
#include "removal/engine/ForegroundSegmenter.h"
#include "removal/engine/LocalRemovalEngine.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QThread>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

using namespace kivo;
using namespace kivo::bench;

// A photo whose subject is cut out by its known alpha; `heldOut` subjects were not looked at
// while the estimate's constants were chosen.
struct Subject {
    QString name;
    QString file;
    QString kind;
    bool heldOut;
};

// A plain colour, or a part of a photo (in fractions of its size) scaled to cover the subject's.
struct Backdrop {
    QString name;
    QRgb colour;
    QString file;
    QRectF part;
    bool heldOut;
};

struct Options : CommonOptions {
    QString photos;  // the folder of the sample photos
    QString cache;   // the network's masks of the composites, kept between runs
    QString crops;   // where zoomed crops of the edges go (none when empty)
    // The known colours' soft edge filled from the subject's fully covered pixels, instead of the
    // photo's own edge colours (which still hold the original photo's background): "1" ring by
    // ring (smooth), "nearest" each pixel from its nearest covered pixel (the texture runs on).
    QString cleanEdges;
    // Per case, the refined cut-out's error by how far its alpha is off the known alpha.
    bool byAlphaError = false;
    // The widest soft edge measured, in pixels from its covered to its uncovered side; 0 measures
    // every soft pixel of the known alpha (the first figures were taken so).
    int widestEdge = 8;
    // Per case, what an estimate could reach that knew the exact alpha and the backdrop's own
    // mean around each pixel (which no cut-out can see): a bound on the targets.
    bool backdropOracle = false;
};

QList<Subject> subjects()
{
    return {
        {QStringLiteral("astronaut"), QStringLiteral("astronaut.png"), QStringLiteral("hair, white suit"), false},
        {QStringLiteral("coffee"), QStringLiteral("coffee.png"), QStringLiteral("smooth edge, white cup"), false},
        {QStringLiteral("chelsea"), QStringLiteral("chelsea.png"), QStringLiteral("fur, white whiskers"), true},
        {QStringLiteral("rocket"), QStringLiteral("rocket.jpg"), QStringLiteral("thin structures, white rocket"), true},
    };
}

QList<Backdrop> backdrops()
{
    return {
        {QStringLiteral("green"), qRgb(0, 255, 0), {}, {}, false},
        {QStringLiteral("white"), qRgb(255, 255, 255), {}, {}, false},
        {QStringLiteral("black"), qRgb(0, 0, 0), {}, {}, false},
        // Stained tissue under a microscope: fine blue and brown detail everywhere.
        {QStringLiteral("tissue"), 0, QStringLiteral("ihc.png"), QRectF(0, 0, 1, 1), false},
        // The flag behind the astronaut: red and white stripes, white stars on blue.
        {QStringLiteral("flag"), 0, QStringLiteral("astronaut.png"), QRectF(0, 0, 0.2, 0.6), true},
    };
}

double alphaAt(const QImage& mask, int x, int y)
{
    return reinterpret_cast<const quint16*>(mask.constScanLine(y))[x] / 65535.0;
}

QByteArray encodePng(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// The engine's plain Balanced mask of an image, from the cache when this very image was seen
// before (the network takes seconds on a shared machine; tuning reruns the rest many times).
QImage networkMask(const Options& options, const QString& name, const QImage& image)
{
    const QByteArray key = QCryptographicHash::hash(
        QByteArrayView(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes()), QCryptographicHash::Sha1);
    const QString path = QDir(options.cache).filePath(name + QLatin1Char('-') + QString::fromLatin1(key.toHex().left(16)) + QStringLiteral(".png"));
    QImage cached(path);
    if (!cached.isNull() && cached.size() == image.size())
        return cached.convertToFormat(QImage::Format_Grayscale16);
    const std::optional<ForegroundMask> mask = generateForegroundMask(WorkingImage{image});
    if (!mask)
        return {};
    writeFile(path, encodePng(mask->values));
    return mask->values;
}

QImage backdropFor(const Options& options, const Backdrop& backdrop, QSize size)
{
    QImage result(size, QImage::Format_ARGB32);
    if (backdrop.file.isEmpty()) {
        result.fill(backdrop.colour);
        return result;
    }
    QImage photo = decode(QDir(options.photos).filePath(backdrop.file));
    if (photo.isNull())
        return {};
    photo = photo.copy(QRectF(backdrop.part.x() * photo.width(), backdrop.part.y() * photo.height(),
                              backdrop.part.width() * photo.width(), backdrop.part.height() * photo.height())
                           .toRect());
    const QImage scaled = photo.scaled(size, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    return scaled.copy(QRect(QPoint((scaled.width() - size.width()) / 2, (scaled.height() - size.height()) / 2), size))
        .convertToFormat(QImage::Format_ARGB32);
}

// The subject's colours with its soft edge filled from the nearest fully covered pixels, growing
// outwards one ring at a time: a subject without the original photo's background in its edge.
QImage cleanEdgeColours(const QImage& photo, const QImage& alpha)
{
    const int w = photo.width();
    const int h = photo.height();
    std::vector<char> known(size_t(w) * h);
    QImage result = photo.copy();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            known[size_t(y) * w + x] = alphaAt(alpha, x, y) >= 0.98;
    for (bool grew = true; grew;) {
        grew = false;
        std::vector<char> next = known;
        const QImage current = result.copy();
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                // Uncovered pixels never show and are not filled.
                if (known[size_t(y) * w + x] || alphaAt(alpha, x, y) == 0)
                    continue;
                int sum[3] = {0, 0, 0};
                int count = 0;
                for (int ny = std::max(y - 1, 0); ny <= std::min(y + 1, h - 1); ++ny) {
                    for (int nx = std::max(x - 1, 0); nx <= std::min(x + 1, w - 1); ++nx) {
                        if (!known[size_t(ny) * w + nx])
                            continue;
                        const QRgb c = current.pixel(nx, ny);
                        sum[0] += qRed(c);
                        sum[1] += qGreen(c);
                        sum[2] += qBlue(c);
                        ++count;
                    }
                }
                if (count > 0) {
                    result.setPixel(x, y, qRgb(sum[0] / count, sum[1] / count, sum[2] / count));
                    next[size_t(y) * w + x] = 1;
                    grew = true;
                }
            }
        }
        known.swap(next);
    }
    return result;
}

// The subject's colours with each soft-edge pixel taken from its nearest fully covered pixel (a
// breadth-first walk outwards): the interior's texture runs on into the edge as strands would.
QImage nearestEdgeColours(const QImage& photo, const QImage& alpha)
{
    const int w = photo.width();
    const int h = photo.height();
    std::vector<int> source(size_t(w) * h, -1);
    std::vector<int> queue;
    queue.reserve(source.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (alphaAt(alpha, x, y) >= 0.98) {
                source[size_t(y) * w + x] = y * w + x;
                queue.push_back(y * w + x);
            }
        }
    }
    for (size_t next = 0; next < queue.size(); ++next) {
        const int at = queue[next];
        const int x = at % w;
        const int y = at / w;
        for (int ny = std::max(y - 1, 0); ny <= std::min(y + 1, h - 1); ++ny) {
            for (int nx = std::max(x - 1, 0); nx <= std::min(x + 1, w - 1); ++nx) {
                const size_t index = size_t(ny) * w + nx;
                if (source[index] >= 0 || alphaAt(alpha, nx, ny) == 0)
                    continue;
                source[index] = source[size_t(at)];
                queue.push_back(int(index));
            }
        }
    }
    QImage result = photo.copy();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (const int from = source[size_t(y) * w + x]; from >= 0)
                result.setPixel(x, y, photo.pixel(from % w, from / w));
    return result;
}

// foreground × alpha + backdrop × (1 − alpha), rounded to 8 bits as a photo would be.
QImage composite(const QImage& foreground, const QImage& alpha, const QImage& backdrop)
{
    QImage result(foreground.size(), QImage::Format_ARGB32);
    for (int y = 0; y < result.height(); ++y) {
        for (int x = 0; x < result.width(); ++x) {
            const double a = alphaAt(alpha, x, y);
            const QRgb f = foreground.pixel(x, y);
            const QRgb b = backdrop.pixel(x, y);
            auto mix = [a](int fc, int bc) { return int(std::lround(a * fc + (1 - a) * bc)); };
            result.setPixel(x, y, qRgb(mix(qRed(f), qRed(b)), mix(qGreen(f), qGreen(b)), mix(qBlue(f), qBlue(b))));
        }
    }
    return result;
}

QImage cutout(const QImage& photo, QImage mask, bool refined)
{
    if (refined)
        refineMaskEdges(mask, photo, 0.5);
    const auto composited = applyForegroundMask(ForegroundMask{mask, 1, refined}, WorkingImage{photo});
    return composited ? composited->pixels : QImage();
}

struct EdgeFigures {
    double colourError = 0;      // mean over the band of |R − R'| + |G − G'| + |B − B'|
    double backgroundExcess = 0; // mean of (colour − known colour) towards the backdrop, in levels
    double alphaError = 0;       // mean |alpha − known alpha| × 255
    double opaqueShare = 0;      // the band's share shown fully opaque, whose colours stay the photo's
    // The colour error and excess over the band pixels that the refined cut-out shows partly
    // transparent: the ones whose colours decontamination may change.
    double softColourError = 0;
    double softExcess = 0;
    // The share of the band's pixels (where the direction means anything) whose colour leans
    // past the known colour, away from the backdrop, by more than `visiblyPast` levels: single
    // pixels of the opposite fringe, which the mean excess does not show.
    double pastShare = 0;
};

constexpr double visiblyPast = 24;

// The known alpha's soft pixels (0.1 to 0.9) that lie on an edge: where the soft part is at most
// `widest` pixels across, from a covered pixel (0.9 or more) to an uncovered one (0.1 or less).
// The network's soft mask of a photo holds its doubt as well as the subject's partial cover: it
// leaves chelsea's blurred ear, some 40 px across, half covered as a whole, and most of that
// photo's soft pixels lie in such patches. Edges, strands and whiskers are a few pixels across
// (a strongly blurred edge, wider, is then not measured).
cv::Mat edgeBand(const QImage& alpha, int widest)
{
    cv::Mat notCovered(alpha.height(), alpha.width(), CV_8U);
    cv::Mat notClear(alpha.height(), alpha.width(), CV_8U);
    for (int y = 0; y < alpha.height(); ++y) {
        for (int x = 0; x < alpha.width(); ++x) {
            const double a = alphaAt(alpha, x, y);
            notCovered.at<uchar>(y, x) = a >= 0.9 ? 0 : 255;
            notClear.at<uchar>(y, x) = a <= 0.1 ? 0 : 255;
        }
    }
    cv::Mat toCovered;
    cv::Mat toClear;
    cv::distanceTransform(notCovered, toCovered, cv::DIST_L2, cv::DIST_MASK_PRECISE);
    cv::distanceTransform(notClear, toClear, cv::DIST_L2, cv::DIST_MASK_PRECISE);
    cv::Mat band = notCovered & notClear;
    if (widest > 0)
        band &= (toCovered + toClear) <= widest;
    return band;
}

// One cut-out pixel against its known colour: |ΔR| + |ΔG| + |ΔB|, and the signed error along the
// direction from the known colour to the backdrop's (`distinct` when the two lie far enough apart
// for that direction to mean anything).
struct PixelError {
    double colourError;
    double excess;
    bool distinct;
};

PixelError pixelError(QRgb shown, QRgb known, QRgb backdrop)
{
    const double towards[3] = {double(qRed(backdrop) - qRed(known)), double(qGreen(backdrop) - qGreen(known)),
                               double(qBlue(backdrop) - qBlue(known))};
    const double distance = std::sqrt(towards[0] * towards[0] + towards[1] * towards[1] + towards[2] * towards[2]);
    const double error[3] = {double(qRed(shown) - qRed(known)), double(qGreen(shown) - qGreen(known)),
                             double(qBlue(shown) - qBlue(known))};
    // Where the subject has the backdrop's own colour there is no direction to lean in.
    const bool distinct = distance >= 48;
    return {std::abs(error[0]) + std::abs(error[1]) + std::abs(error[2]),
            distinct ? (error[0] * towards[0] + error[1] * towards[1] + error[2] * towards[2]) / distance : 0.0, distinct};
}

// Over the edge band where both cut-outs show the pixel (a transparent pixel has no colour to
// compare).
std::pair<EdgeFigures, EdgeFigures> measure(const QImage& plain, const QImage& refined, const QImage& foreground,
                                            const cv::Mat& band, const QImage& alpha, const QImage& backdrop, int* bandPixels)
{
    EdgeFigures sums[2];
    int count = 0;
    int excessCount = 0;
    int softCount = 0;
    int softExcessCount = 0;
    for (int y = 0; y < alpha.height(); ++y) {
        for (int x = 0; x < alpha.width(); ++x) {
            if (!band.at<uchar>(y, x) || qAlpha(plain.pixel(x, y)) == 0 || qAlpha(refined.pixel(x, y)) == 0)
                continue;
            const double a = alphaAt(alpha, x, y);
            const PixelError errors[2] = {pixelError(plain.pixel(x, y), foreground.pixel(x, y), backdrop.pixel(x, y)),
                                          pixelError(refined.pixel(x, y), foreground.pixel(x, y), backdrop.pixel(x, y))};
            const bool distinct = errors[0].distinct;
            const bool soft = qAlpha(refined.pixel(x, y)) < 255;
            ++count;
            excessCount += distinct;
            softCount += soft;
            softExcessCount += soft && distinct;
            for (int k : {0, 1}) {
                const int shownAlpha = qAlpha((k == 0 ? plain : refined).pixel(x, y));
                sums[k].colourError += errors[k].colourError;
                sums[k].backgroundExcess += errors[k].excess;
                if (soft) {
                    sums[k].softColourError += errors[k].colourError;
                    sums[k].softExcess += errors[k].excess;
                }
                sums[k].alphaError += std::abs(shownAlpha - a * 255);
                sums[k].opaqueShare += shownAlpha == 255;
                sums[k].pastShare += errors[k].distinct && errors[k].excess < -visiblyPast;
            }
        }
    }
    *bandPixels = count;
    for (EdgeFigures& figures : sums) {
        figures.colourError /= std::max(count, 1);
        figures.alphaError /= std::max(count, 1);
        figures.opaqueShare /= std::max(count, 1);
        figures.pastShare /= std::max(excessCount, 1);
        figures.backgroundExcess /= std::max(excessCount, 1);
        figures.softColourError /= std::max(softCount, 1);
        figures.softExcess /= std::max(softExcessCount, 1);
    }
    return {sums[0], sums[1]};
}

QString signedLevels(double value)
{
    return QStringLiteral("%1%2").arg(value >= 0 ? QStringLiteral("+") : QString()).arg(value, 0, 'f', 1);
}

// The plain formula F = B + (I − B) / α over the band, given the exact alpha and, for B, the
// backdrop's own mean over the (2r + 1)² pixels centred on each pixel: more than any estimate
// sees, since the backdrop under the subject is hidden. Over a plain backdrop it is exact at any
// radius; over a textured one it shows what the texture alone leaves at each reach.
QString backdropOracle(const QImage& input, const QImage& shown, const QImage& foreground, const cv::Mat& band,
                       const QImage& alpha, const QImage& backdrop)
{
    cv::Mat behind(backdrop.height(), backdrop.width(), CV_32FC3);
    for (int y = 0; y < backdrop.height(); ++y)
        for (int x = 0; x < backdrop.width(); ++x) {
            const QRgb b = backdrop.pixel(x, y);
            behind.at<cv::Vec3f>(y, x) = cv::Vec3f(qRed(b), qGreen(b), qBlue(b));
        }
    QStringList figures;
    for (int radius : {2, 5, 10}) {
        cv::Mat mean;
        cv::boxFilter(behind, mean, -1, cv::Size(2 * radius + 1, 2 * radius + 1));
        QImage estimate = shown.copy();
        for (int y = 0; y < estimate.height(); ++y) {
            for (int x = 0; x < estimate.width(); ++x) {
                const double a = alphaAt(alpha, x, y);
                if (!band.at<uchar>(y, x) || a <= 0)
                    continue;
                const QRgb i = input.pixel(x, y);
                const cv::Vec3f b = mean.at<cv::Vec3f>(y, x);
                auto solve = [a](int ic, float bc) { return int(std::lround(std::clamp(bc + (ic - bc) / a, 0.0, 255.0))); };
                estimate.setPixel(x, y, qRgba(solve(qRed(i), b[0]), solve(qGreen(i), b[1]), solve(qBlue(i), b[2]), qAlpha(shown.pixel(x, y))));
            }
        }
        int bandPixels = 0;
        const auto [before, after] = measure(shown, estimate, foreground, band, alpha, backdrop, &bandPixels);
        figures << QStringLiteral("%1 px: %2 %, %3, past %4 %")
                       .arg(2 * radius + 1)
                       .arg(100.0 * (after.colourError - before.colourError) / std::max(before.colourError, 1e-9), 0, 'f', 0)
                       .arg(signedLevels(after.backgroundExcess))
                       .arg(100 * after.pastShare, 0, 'f', 1);
    }
    return figures.join(QStringLiteral("; "));
}

// How much of the backdrop the cut-outs still cover where the known alpha is 0 (a glow or haze
// around the subject, or a stray patch): their alpha summed there, per soft pixel of the known
// alpha (0.1 to 0.9, of any width).
std::pair<double, double> coverOutside(const QImage& plain, const QImage& refined, const QImage& alpha, int softPixels)
{
    double cover[2] = {0, 0};
    for (int y = 0; y < alpha.height(); ++y) {
        for (int x = 0; x < alpha.width(); ++x) {
            if (alphaAt(alpha, x, y) > 0)
                continue;
            cover[0] += qAlpha(plain.pixel(x, y)) / 255.0;
            cover[1] += qAlpha(refined.pixel(x, y)) / 255.0;
        }
    }
    return {cover[0] / std::max(softPixels, 1), cover[1] / std::max(softPixels, 1)};
}

// Where the refined cut-out's colour error lies: the band's pixels by how far the alpha shown is
// off the known alpha, each group's share, mean colour error and mean background excess. Shows
// how much of the residual the alpha leaves to the colour estimate.
QString errorByAlphaError(const QImage& cutout, const QImage& foreground, const cv::Mat& band, const QImage& alpha,
                          const QImage& backdrop)
{
    struct Group {
        const char* name;
        double below; // alpha shown − known alpha below this (opaque pixels apart)
        int pixels = 0;
        double colourError = 0;
        double excess = 0;
        int excessPixels = 0;
    };
    std::array<Group, 8> groups{{{"< -0.25", -0.25}, {"-0.25..-0.1", -0.1}, {"-0.1..-0.03", -0.03}, {"within 0.03", 0.03},
                                 {"0.03..0.1", 0.1}, {"0.1..0.25", 0.25}, {"> 0.25", 2}, {"opaque", 2}}};
    int total = 0;
    for (int y = 0; y < alpha.height(); ++y) {
        for (int x = 0; x < alpha.width(); ++x) {
            const QRgb c = cutout.pixel(x, y);
            if (!band.at<uchar>(y, x) || qAlpha(c) == 0)
                continue;
            const double a = alphaAt(alpha, x, y);
            const double off = qAlpha(c) / 255.0 - a;
            Group& group = qAlpha(c) == 255 ? groups.back()
                                            : *std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return off < g.below; });
            const PixelError error = pixelError(c, foreground.pixel(x, y), backdrop.pixel(x, y));
            group.colourError += error.colourError;
            group.excess += error.excess;
            group.excessPixels += error.distinct;
            ++group.pixels;
            ++total;
        }
    }
    QStringList parts;
    for (const Group& group : groups) {
        if (group.pixels == 0)
            continue;
        parts << QStringLiteral("%1: %2 %, %3, %4")
                     .arg(QString::fromLatin1(group.name))
                     .arg(100.0 * group.pixels / std::max(total, 1), 0, 'f', 0)
                     .arg(group.colourError / group.pixels, 0, 'f', 0)
                     .arg(signedLevels(group.excessPixels ? group.excess / group.excessPixels : 0));
    }
    return parts.join(QStringLiteral("; "));
}

// The square with the most edge-band pixels in the top third of the photo: the hair of a head,
// the ears of a cat.
QRect busiestEdge(const cv::Mat& band, int side)
{
    QRect best(0, 0, side, side);
    int most = -1;
    for (int top = 0; top + side <= std::max(band.rows / 3, side); top += side / 4) {
        for (int left = 0; left + side <= band.cols; left += side / 4) {
            const int count = cv::countNonZero(band(cv::Rect(left, top, side, side)));
            if (count > most) {
                most = count;
                best = QRect(left, top, side, side);
            }
        }
    }
    return best;
}

// Plain, refined and the known answer over mid grey, side by side, enlarged without smoothing.
void writeCrop(const Options& options, const QString& name, const QRect& area, const QList<QImage>& cutouts)
{
    constexpr int zoom = 5;
    constexpr int gap = 8;
    QImage sheet(cutouts.size() * (area.width() * zoom + gap) - gap, area.height() * zoom, QImage::Format_ARGB32);
    sheet.fill(Qt::white);
    QPainter painter(&sheet);
    for (qsizetype i = 0; i < cutouts.size(); ++i) {
        QImage tile(area.size(), QImage::Format_ARGB32);
        tile.fill(qRgb(128, 128, 128));
        QPainter grey(&tile);
        grey.drawImage(0, 0, cutouts[i].copy(area));
        grey.end();
        painter.drawImage(QPoint(int(i) * (area.width() * zoom + gap), 0),
                          tile.scaled(area.size() * zoom, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    }
    painter.end();
    writeFile(QDir(options.crops).filePath(name + QStringLiteral(".png")), encodePng(sheet));
}

struct Summary {
    int cases = 0;
    int errorMet = 0;
    int excessMet = 0;
    int neverWorse = 0;
    int coverNotMore = 0;
};

void runComposites(const Options& options)
{
    say(QStringLiteral("case                    set       band px  alpha err  opaque  colour error plain -> refined      bg excess plain -> refined"
                       "   soft only: error, excess plain -> refined"));
    Summary summaries[2];
    for (const Subject& subject : subjects()) {
        QImage photo = decode(QDir(options.photos).filePath(subject.file)).convertToFormat(QImage::Format_ARGB32);
        if (photo.isNull()) {
            say(QStringLiteral("cannot read %1; left out").arg(subject.file));
            continue;
        }
        // The known alpha is the network's own soft mask of the original photo, its middle half
        // stretched to 0 … 1 (what it leaves half covered inside a subject is the subject); the
        // known colours are the photo's. Over a new backdrop the network answers differently,
        // as it does on any real photo.
        QImage alpha = networkMask(options, subject.name + QStringLiteral("-truth"), photo);
        for (int y = 0; y < alpha.height(); ++y) {
            auto* row = reinterpret_cast<quint16*>(alpha.scanLine(y));
            for (int x = 0; x < alpha.width(); ++x)
                row[x] = quint16(std::lround(std::clamp((row[x] / 65535.0 - 0.25) / 0.5, 0.0, 1.0) * 65535));
        }
        if (alpha.isNull()) {
            say(QStringLiteral("no mask for %1; left out").arg(subject.name));
            continue;
        }
        if (options.cleanEdges == QLatin1String("nearest"))
            photo = nearestEdgeColours(photo, alpha);
        else if (!options.cleanEdges.isEmpty())
            photo = cleanEdgeColours(photo, alpha);
        const cv::Mat band = edgeBand(alpha, options.widestEdge);
        const int softPixels = cv::countNonZero(edgeBand(alpha, 0));
        const QRect crop = busiestEdge(band, 64);
        for (const Backdrop& backdrop : backdrops()) {
            const QImage behind = backdropFor(options, backdrop, photo.size());
            if (behind.isNull()) {
                say(QStringLiteral("cannot read %1; left out").arg(backdrop.file));
                continue;
            }
            const QImage input = composite(photo, alpha, behind);
            const QString name = subject.name + QLatin1Char('-') + backdrop.name;
            const QImage mask = networkMask(options, name, input);
            if (mask.isNull()) {
                say(QStringLiteral("%1: the network found no subject; left out").arg(name));
                continue;
            }
            const QImage plain = cutout(input, mask, false);
            const QImage refined = cutout(input, mask, true);
            int bandPixels = 0;
            const auto [before, after] = measure(plain, refined, photo, band, alpha, behind, &bandPixels);
            const bool heldOut = subject.heldOut || backdrop.heldOut;
            const double change = 100.0 * (after.colourError - before.colourError) / std::max(before.colourError, 1e-9);
            say(QStringLiteral("%1 %2 %3 %4 -> %5 %11 % %6 -> %7 (%8 %)   %9 -> %10   %12 -> %13, %14 -> %15")
                    .arg(name, -23)
                    .arg(heldOut ? QStringLiteral("held out") : QStringLiteral("tuned"), -9)
                    .arg(bandPixels, 7)
                    .arg(before.alphaError, 5, 'f', 1)
                    .arg(after.alphaError, 5, 'f', 1)
                    .arg(before.colourError, 14, 'f', 1)
                    .arg(after.colourError, 6, 'f', 1)
                    .arg(change, 4, 'f', 0)
                    .arg(signedLevels(before.backgroundExcess), 13)
                    .arg(signedLevels(after.backgroundExcess), 6)
                    .arg(100 * after.opaqueShare, 4, 'f', 0)
                    .arg(before.softColourError, 6, 'f', 1)
                    .arg(after.softColourError, 5, 'f', 1)
                    .arg(signedLevels(before.softExcess), 6)
                    .arg(signedLevels(after.softExcess), 6));
            const auto [plainCover, refinedCover] = coverOutside(plain, refined, alpha, softPixels);
            say(QStringLiteral("    visibly past the known colour: plain %1 %, refined %2 %")
                    .arg(100 * before.pastShare, 0, 'f', 1)
                    .arg(100 * after.pastShare, 0, 'f', 1));
            say(QStringLiteral("    cover outside the subject: plain %1, refined %2")
                    .arg(plainCover, 0, 'f', 3)
                    .arg(refinedCover, 0, 'f', 3));
            if (options.byAlphaError)
                say(QStringLiteral("    by alpha shown - known: ") + errorByAlphaError(refined, photo, band, alpha, behind));
            // The same decontamination given the known alpha instead of the network's: what
            // the colour estimate alone leaves, apart from the alpha's errors.
            const auto knownPlain = applyForegroundMask(ForegroundMask{alpha, 1, false}, WorkingImage{input});
            const auto knownClean = applyForegroundMask(ForegroundMask{alpha, 1, true}, WorkingImage{input});
            if (knownPlain && knownClean) {
                int knownBand = 0;
                const auto [knownBefore, knownAfter] =
                    measure(knownPlain->pixels, knownClean->pixels, photo, band, alpha, behind, &knownBand);
                const double knownChange =
                    100.0 * (knownAfter.colourError - knownBefore.colourError) / std::max(knownBefore.colourError, 1e-9);
                say(QStringLiteral("    with the known alpha: colour error %1 -> %2 (%3 %), bg excess %4")
                        .arg(knownBefore.colourError, 0, 'f', 1)
                        .arg(knownAfter.colourError, 0, 'f', 1)
                        .arg(knownChange, 0, 'f', 0)
                        .arg(signedLevels(knownAfter.backgroundExcess)));
            }
            if (options.backdropOracle && knownPlain)
                say(QStringLiteral("    known alpha and the backdrop's own mean, window: ") +
                    backdropOracle(input, knownPlain->pixels, photo, band, alpha, behind));
            Summary& summary = summaries[heldOut];
            ++summary.cases;
            summary.errorMet += after.colourError <= 0.6 * before.colourError;
            summary.excessMet += std::abs(after.backgroundExcess) <= 10;
            summary.neverWorse += after.colourError <= before.colourError;
            summary.coverNotMore += refinedCover <= plainCover;
            if (!options.crops.isEmpty() && (subject.kind.contains(QStringLiteral("hair")) || subject.kind.contains(QStringLiteral("fur")))) {
                QImage known(photo.size(), QImage::Format_ARGB32);
                for (int y = 0; y < known.height(); ++y)
                    for (int x = 0; x < known.width(); ++x)
                        known.setPixel(x, y, (quint32(std::lround(alphaAt(alpha, x, y) * 255)) << 24) | (photo.pixel(x, y) & 0xffffff));
                writeCrop(options, name, crop, {plain, refined, known});
            }
        }
    }
    for (int heldOut : {0, 1}) {
        const Summary& s = summaries[heldOut];
        say(QStringLiteral("%1: %2 cases; colour error down >= 40 %: %3; |bg excess| <= 10: %4; refined never worse: %5; "
                           "refined covers no more outside: %6")
                .arg(heldOut ? QStringLiteral("held out") : QStringLiteral("tuned"))
                .arg(s.cases)
                .arg(s.errorMet)
                .arg(s.excessMet)
                .arg(s.neverWorse)
                .arg(s.coverNotMore));
    }
}

// Refinement and decontamination on the 12 MP photo against Balanced's whole engine time
// (network, mask, composite), in turns.
void measureEdgeSteps(const Options& options, const QString& photoPath)
{
    const std::optional<WorkingImage> photo = makeWorkingImage(decode(photoPath));
    if (!photo)
        return;
    const std::optional<ForegroundMask> warm = generateForegroundMask(*photo);
    generateForegroundMask(*photo);
    if (!warm) {
        say(QStringLiteral("no mask for the 12 MP photo; timing skipped"));
        return;
    }
    std::vector<double> engine, refine, plain, decontaminated;
    for (int i = 0; i < options.runs; ++i) {
        engine.push_back(milliseconds([&] {
            const auto mask = generateForegroundMask(*photo);
            applyForegroundMask(*mask, *photo);
        }));
        QImage values = warm->values.copy();
        refine.push_back(milliseconds([&] { refineMaskEdges(values, photo->pixels, 0.5); }));
        plain.push_back(milliseconds([&] { applyForegroundMask(ForegroundMask{values, 1, false}, *photo); }));
        decontaminated.push_back(milliseconds([&] { applyForegroundMask(ForegroundMask{values, 1, true}, *photo); }));
    }
    const double edgeSteps = median(refine) + median(decontaminated) - median(plain);
    const double share = 100.0 * edgeSteps / median(engine);
    say(QStringLiteral("12 MP photo: Balanced engine %1 %2; refine 0.5 %3, decontamination %4 (composite with it %5, without %6)")
            .arg(ms(median(engine)), spread(engine), ms(median(refine)), ms(median(decontaminated) - median(plain)),
                 ms(median(decontaminated)), ms(median(plain))));
    say(QStringLiteral("edge steps %1 = %2 % of Balanced's engine time (target <= 15 %) %3")
            .arg(ms(edgeSteps))
            .arg(share, 0, 'f', 1)
            .arg(share <= 15 ? QStringLiteral("met") : QStringLiteral("MISSED")));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Options options{parseCommonOptions(app.arguments()), {}, {}, {}, {}, false, 8};
    options.photos = options.named.value(QStringLiteral("--photos"));
    options.cache = options.named.value(QStringLiteral("--cache"));
    options.crops = options.named.value(QStringLiteral("--crops"));
    options.cleanEdges = options.named.value(QStringLiteral("--clean-edges"));
    options.byAlphaError = !options.named.value(QStringLiteral("--by-alpha-error")).isEmpty();
    options.backdropOracle = !options.named.value(QStringLiteral("--backdrop-oracle")).isEmpty();
    if (options.named.contains(QStringLiteral("--widest-edge")))
        options.widestEdge = options.named.value(QStringLiteral("--widest-edge")).toInt();
    const QString usage = QStringLiteral(
        "kivo_edge_colours_bench --source PHOTO --work DIR --photos DIR --cache DIR [--crops DIR] "
        "[--clean-edges 1|nearest] [--by-alpha-error 1] [--backdrop-oracle 1] [--widest-edge PX] [--runs N] [--no-timing 1]");
    const QString photoPath = prepareWork(options, usage);
    if (photoPath.isEmpty())
        return 2;
    if (options.photos.isEmpty() || options.cache.isEmpty()) {
        say(QStringLiteral("usage: ") + usage);
        return 2;
    }
    QDir().mkpath(options.cache);
    if (!options.crops.isEmpty())
        QDir().mkpath(options.crops);
    say(QStringLiteral("KIVOPRO edge colours: %1 cores, load averages at the start %2").arg(QThread::idealThreadCount()).arg(loadAverages()));
    runComposites(options);
    if (options.named.value(QStringLiteral("--no-timing")).isEmpty())
        measureEdgeSteps(options, photoPath);
    say(QStringLiteral("load averages at the end %1").arg(loadAverages()));
    return 0;
}
