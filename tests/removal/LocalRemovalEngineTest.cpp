// The local engine against the real segmentation network (label "model": needs tools/setup.sh).

#include "removal/engine/ForegroundSegmenter.h"
#include "removal/engine/LocalRemovalEngine.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <thread>

using namespace kivo;

namespace {

QImage loadTestImage(const QString& name)
{
    QImage image(test::testDataPath(name));
    EXPECT_FALSE(image.isNull()) << qPrintable(name);
    return image;
}

// Mean mask value (0 … 1) over a rectangle.
double meanMask(const ForegroundMask& mask, const QRect& area)
{
    double sum = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const auto* row = reinterpret_cast<const quint16*>(mask.values.constScanLine(y));
        for (int x = area.left(); x <= area.right(); ++x)
            sum += row[x] / 65535.0;
    }
    return sum / (area.width() * area.height());
}

int meanAlpha(const QImage& image, const QRect& area)
{
    long sum = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            sum += qAlpha(image.pixel(x, y));
    return int(sum / (area.width() * area.height()));
}

// The blend's contract: alpha = mask × input alpha, colour kept, transparent black at alpha 0.
void expectBlend(const QImage& cutout, const ForegroundMask& mask, const QImage& input)
{
    ASSERT_EQ(cutout.size(), input.size());
    int mismatches = 0;
    for (int y = 0; y < input.height(); ++y) {
        const auto* weight = reinterpret_cast<const quint16*>(mask.values.constScanLine(y));
        for (int x = 0; x < input.width(); ++x) {
            const QRgb in = input.pixel(x, y);
            const QRgb out = cutout.pixel(x, y);
            const int alpha = int(std::lround(weight[x] / 65535.0 * qAlpha(in)));
            const bool ok = qAlpha(out) == alpha && (alpha == 0 ? out == 0 : (out & 0xffffff) == (in & 0xffffff));
            mismatches += ok ? 0 : 1;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

// Loads the network once per test process, so that a failing set-up shows as one clear message.
class LocalRemovalEngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_loadError = ForegroundSegmenter::shared().load(); }
    void SetUp() override { ASSERT_TRUE(s_loadError.isEmpty()) << qPrintable(s_loadError); }

    static inline QString s_loadError;
};

} // namespace

TEST_F(LocalRemovalEngineTest, SubjectGetsASoftMaskAndTheCutoutFollowsIt)
{
    const QImage input = loadTestImage(QStringLiteral("astronaut.jpg"));
    const std::optional<WorkingImage> working = makeWorkingImage(input);
    ASSERT_TRUE(working);
    const std::optional<ForegroundMask> mask = generateForegroundMask(*working);
    ASSERT_TRUE(mask);
    ASSERT_EQ(mask->values.size(), input.size());
    ASSERT_EQ(mask->values.format(), QImage::Format_Grayscale16);
    EXPECT_GE(mask->instanceCount, 1);

    EXPECT_GT(meanMask(*mask, QRect(125, 60, 30, 40)), 0.95);  // the face
    EXPECT_LT(meanMask(*mask, QRect(250, 10, 60, 50)), 0.05);  // the backdrop, top right

    // A soft mask: a band of intermediate values along the outline, not a hard cut.
    int soft = 0;
    for (int y = 0; y < input.height(); ++y) {
        const auto* row = reinterpret_cast<const quint16*>(mask->values.constScanLine(y));
        soft += int(std::count_if(row, row + input.width(), [](quint16 v) { return v > 3000 && v < 62000; }));
    }
    EXPECT_GT(soft, 100);
    EXPECT_LT(soft, input.width() * input.height() / 5);

    const std::optional<CompositedImage> composited = applyForegroundMask(*mask, *working);
    ASSERT_TRUE(composited);
    const std::optional<QImage> cutout = renderCutout(*composited);
    ASSERT_TRUE(cutout);
    EXPECT_EQ(cutout->format(), QImage::Format_ARGB32);
    expectBlend(*cutout, *mask, working->pixels);

    // The one-call form gives the same pixels.
    const std::optional<QImage> direct = removeBackgroundLocally(input);
    ASSERT_TRUE(direct);
    EXPECT_EQ(*direct, *cutout);
}

TEST_F(LocalRemovalEngineTest, OutputKeepsTheInputsPixelSizeAtPixelRatioOne)
{
    QImage input = loadTestImage(QStringLiteral("coffee.jpg"));
    ASSERT_EQ(input.size(), QSize(300, 200));
    input.setDevicePixelRatio(2.0);

    const std::optional<QImage> cutout = removeBackgroundLocally(input);
    ASSERT_TRUE(cutout);
    EXPECT_EQ(cutout->size(), QSize(300, 200));
    EXPECT_EQ(cutout->devicePixelRatio(), 1.0);
    EXPECT_EQ(cutout->deviceIndependentSize(), QSizeF(300, 200));
    EXPECT_GT(meanAlpha(*cutout, QRect(130, 60, 40, 40)), 245);  // the cup
    EXPECT_LT(meanAlpha(*cutout, QRect(5, 5, 35, 35)), 10);      // the table, top left
    EXPECT_LT(meanAlpha(*cutout, QRect(260, 5, 35, 35)), 10);    // the table, top right

    // A working image made from an opaque photo shares its pixels and must keep them alive
    // after the photo itself is gone.
    const std::optional<WorkingImage> orphan = makeWorkingImage(loadTestImage(QStringLiteral("coffee.jpg")).copy());
    ASSERT_TRUE(orphan);
    EXPECT_EQ(orphan->pixels.format(), QImage::Format_ARGB32);
    EXPECT_EQ(orphan->pixels, input.convertToFormat(QImage::Format_ARGB32));
}

TEST_F(LocalRemovalEngineTest, InputTransparencyStaysAndIsMultipliedByTheMask)
{
    QImage input = loadTestImage(QStringLiteral("astronaut.jpg")).convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < input.height(); ++y) {
        for (int x = 0; x < input.width(); ++x) {
            const QRgb pixel = input.pixel(x, y);
            if (x < 100)  // fully transparent left part, through the suit
                input.setPixel(x, y, qRgba(qRed(pixel), qGreen(pixel), qBlue(pixel), 0));
            else if (y >= 60 && y < 100)  // half-transparent band across the face
                input.setPixel(x, y, qRgba(qRed(pixel), qGreen(pixel), qBlue(pixel), 128));
        }
    }

    const std::optional<WorkingImage> working = makeWorkingImage(input);
    ASSERT_TRUE(working);
    const std::optional<ForegroundMask> mask = generateForegroundMask(*working);
    ASSERT_TRUE(mask);
    const std::optional<CompositedImage> composited = applyForegroundMask(*mask, *working);
    ASSERT_TRUE(composited);
    const std::optional<QImage> cutout = renderCutout(*composited);
    ASSERT_TRUE(cutout);

    EXPECT_EQ(meanAlpha(*cutout, QRect(0, 0, 100, input.height())), 0);
    const int faceAlpha = meanAlpha(*cutout, QRect(125, 65, 30, 30));
    EXPECT_GE(faceAlpha, 115);
    EXPECT_LE(faceAlpha, 128);
    expectBlend(*cutout, *mask, working->pixels);
}

TEST_F(LocalRemovalEngineTest, TextureOrEmptyCanvasHasNoSubject)
{
    const QImage grass = loadTestImage(QStringLiteral("grass.jpg"));
    // The texture stays far from the threshold, not just under it.
    const std::optional<WorkingImage> grassWorking = makeWorkingImage(grass);
    ASSERT_TRUE(grassWorking);
    const ForegroundSegmenter::Result network =
        ForegroundSegmenter::shared().segment(makeNetworkInput(grassWorking->pixels));
    ASSERT_FALSE(network.probabilities.empty()) << qPrintable(network.error);
    EXPECT_LT(*std::max_element(network.probabilities.begin(), network.probabilities.end()), 0.25f);

    QImage canvas(320, 240, QImage::Format_RGB32);
    canvas.fill(QColor(200, 180, 160));
    for (const QImage& image : {grass, canvas}) {
        test::StdoutCapture capture;
        EXPECT_FALSE(removeBackgroundLocally(image));
        EXPECT_EQ(capture.text(), QStringLiteral("No foreground objects detected in the image\n"));
    }
}

TEST_F(LocalRemovalEngineTest, ConcurrentCallsEachGetTheirOwnResult)
{
    const QImage astronaut = loadTestImage(QStringLiteral("astronaut.jpg"));
    const QImage coffee = loadTestImage(QStringLiteral("coffee.jpg"));
    const std::optional<QImage> astronautAlone = removeBackgroundLocally(astronaut);
    const std::optional<QImage> coffeeAlone = removeBackgroundLocally(coffee);
    ASSERT_TRUE(astronautAlone && coffeeAlone);

    std::optional<QImage> astronautTogether;
    std::optional<QImage> coffeeTogether;
    std::thread first([&] { astronautTogether = removeBackgroundLocally(astronaut); });
    std::thread second([&] { coffeeTogether = removeBackgroundLocally(coffee); });
    first.join();
    second.join();
    ASSERT_TRUE(astronautTogether && coffeeTogether);
    EXPECT_EQ(*astronautTogether, *astronautAlone);
    EXPECT_EQ(*coffeeTogether, *coffeeAlone);
}

namespace {

// The float32 network as converted before it took other sizes, run as the engine used to run it.
std::vector<float> originalNetworkOutput(std::span<const float> input)
{
    const QString path = QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                                QStringLiteral("kivopro/models/isnet-general-use-fp32.onnx"));
    EXPECT_FALSE(path.isEmpty()) << "run tools/setup.sh";
    if (path.isEmpty())
        return {};
    Ort::Env env(ORT_LOGGING_LEVEL_ERROR, "kivopro-test");
    Ort::SessionOptions options;
    options.SetIntraOpNumThreads(QThread::idealThreadCount());
    options.SetInterOpNumThreads(1);
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    options.DisableMemPattern();
    Ort::Session session(env, QFile::encodeName(path).constData(), options);
    const std::array<int64_t, 4> shape{1, 3, 1024, 1024};
    const auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::Value tensor = Ort::Value::CreateTensor<float>(memory, const_cast<float*>(input.data()), input.size(),
                                                        shape.data(), shape.size());
    Ort::AllocatorWithDefaultOptions allocator;
    const auto inputName = session.GetInputNameAllocated(0, allocator);
    const auto outputName = session.GetOutputNameAllocated(0, allocator);
    const char* inputs[] = {inputName.get()};
    const char* outputs[] = {outputName.get()};
    std::vector<Ort::Value> result = session.Run(Ort::RunOptions{nullptr}, inputs, &tensor, 1, outputs, 1);
    const float* data = result[0].GetTensorData<float>();
    return std::vector<float>(data, data + result[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

} // namespace

TEST_F(LocalRemovalEngineTest, AnySizeNetworkComputesWhatTheOriginalDidAndTakesSmallerInputs)
{
    const QImage input = loadTestImage(QStringLiteral("astronaut.jpg"));
    const std::optional<WorkingImage> working = makeWorkingImage(input);
    ASSERT_TRUE(working);
    const std::vector<float> networkInput = makeNetworkInput(working->pixels);
    const std::vector<float> original = originalNetworkOutput(networkInput);
    ASSERT_EQ(original.size(), size_t(1024 * 1024));

    // Balanced: the same network output bit for bit, so the same mask.
    const ForegroundSegmenter::Result rewritten = ForegroundSegmenter::shared().segment(networkInput);
    ASSERT_FALSE(rewritten.probabilities.empty()) << qPrintable(rewritten.error);
    EXPECT_TRUE(rewritten.probabilities == original);
    const std::optional<ForegroundMask> balanced = generateForegroundMask(*working);
    ASSERT_TRUE(balanced);
    EXPECT_EQ(balanced->values, scaleNetworkMask(original, 1024, input.size(), nullptr).value_or(QImage()));
    EXPECT_FALSE(balanced->decontaminateColours);

    const int side = 640;
    const ForegroundSegmenter::Result small = ForegroundSegmenter::shared().segment(makeNetworkInput(working->pixels, side), side);
    ASSERT_EQ(small.probabilities.size(), size_t(side * side)) << qPrintable(small.error);
    const std::optional<QImage> smallMask = scaleNetworkMask(small.probabilities, side, input.size(), nullptr);
    ASSERT_TRUE(smallMask);
    EXPECT_GT(meanMask(ForegroundMask{*smallMask}, QRect(125, 60, 30, 40)), 0.95); // the face
    EXPECT_LT(meanMask(ForegroundMask{*smallMask}, QRect(250, 10, 60, 50)), 0.05); // the backdrop

    // A size the network cannot take is an error, not a crash.
    EXPECT_FALSE(ForegroundSegmenter::shared().load(1000).isEmpty());
    EXPECT_TRUE(ForegroundSegmenter::shared().segment(std::vector<float>(3 * 100 * 100), 100).probabilities.empty());
}

TEST_F(LocalRemovalEngineTest, ProcessingModesOnAPhoto)
{
    // One clear subject: the network finds the same one at every input size.
    const QImage input = loadTestImage(QStringLiteral("coffee.jpg"));
    const std::optional<WorkingImage> working = makeWorkingImage(input);
    ASSERT_TRUE(working);
    const auto cutoutFor = [&](const RemovalOptions& options) {
        const std::optional<QImage> cutout = removeBackgroundLocally(input, options);
        EXPECT_TRUE(cutout) << int(options.quality);
        return cutout.value_or(QImage());
    };
    const QImage fast = cutoutFor({ProcessingQuality::fast, 0, true});
    const QImage crisp = cutoutFor({ProcessingQuality::fast, 0.5, false});
    const QImage balanced = cutoutFor({});
    const QImage high = cutoutFor({ProcessingQuality::highQuality, 0, true});
    for (const QImage* cutout : {&fast, &crisp, &high})
        ASSERT_EQ(cutout->size(), input.size());

    // Fast finds the same subject.
    qint64 both = 0;
    qint64 either = 0;
    for (int y = 0; y < input.height(); ++y) {
        for (int x = 0; x < input.width(); ++x) {
            const bool inFast = qAlpha(fast.pixel(x, y)) >= 128;
            const bool inBalanced = qAlpha(balanced.pixel(x, y)) >= 128;
            both += inFast && inBalanced;
            either += inFast || inBalanced;
        }
    }
    EXPECT_GE(double(both) / double(either), 0.95);

    // High Quality changes the edge only: deep inside the subject and the background the alpha
    // stays, and opaque pixels keep the photo's colours.
    cv::Mat opaque(input.height(), input.width(), CV_8U);
    cv::Mat clear(input.height(), input.width(), CV_8U);
    for (int y = 0; y < input.height(); ++y) {
        for (int x = 0; x < input.width(); ++x) {
            opaque.at<uchar>(y, x) = qAlpha(balanced.pixel(x, y)) == 255;
            clear.at<uchar>(y, x) = qAlpha(balanced.pixel(x, y)) == 0;
        }
    }
    const cv::Mat reach = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(41, 41));
    cv::erode(opaque, opaque, reach);
    cv::erode(clear, clear, reach);
    int interior = 0;
    int changedEdge = 0;
    for (int y = 0; y < input.height(); ++y) {
        for (int x = 0; x < input.width(); ++x) {
            const QRgb refined = high.pixel(x, y);
            if (opaque.at<uchar>(y, x) || clear.at<uchar>(y, x)) {
                ++interior;
                ASSERT_EQ(qAlpha(refined), qAlpha(balanced.pixel(x, y))) << x << "," << y;
            } else {
                changedEdge += qAlpha(refined) != qAlpha(balanced.pixel(x, y));
            }
            if (qAlpha(refined) == 255) {
                ASSERT_EQ(refined, working->pixels.pixel(x, y)) << x << "," << y;
            }
        }
    }
    EXPECT_GT(interior, input.width() * input.height() / 4);
    EXPECT_GT(changedEdge, 100);

    // Crisp edges: a partly transparent pixel always has both sides within two pixels.
    for (int y = 2; y < input.height() - 2; ++y) {
        for (int x = 2; x < input.width() - 2; ++x) {
            const int alpha = qAlpha(crisp.pixel(x, y));
            if (alpha == 0 || alpha == 255)
                continue;
            bool inside = false;
            bool outside = false;
            for (int dy = -2; dy <= 2; ++dy) {
                for (int dx = -2; dx <= 2; ++dx) {
                    const int neighbour = qAlpha(crisp.pixel(x + dx, y + dy));
                    inside |= neighbour >= 128;
                    outside |= neighbour < 128;
                }
            }
            ASSERT_TRUE(inside && outside) << x << "," << y << " alpha " << alpha;
        }
    }
}

TEST(ForegroundSegmenterTest, MissingOrDamagedModelIsAClearErrorNamingTheSetUp)
{
    QTemporaryDir folder;
    ForegroundSegmenter missing(folder.filePath(QStringLiteral("absent.onnx")));
    const ForegroundSegmenter::Result none = missing.segment(std::vector<float>(3 * 1024 * 1024, 0.0f));
    EXPECT_TRUE(none.probabilities.empty());
    EXPECT_TRUE(none.error.contains(QStringLiteral("not found"))) << qPrintable(none.error);
    EXPECT_TRUE(none.error.contains(QStringLiteral("tools/setup.sh"))) << qPrintable(none.error);

    QFile truncated(folder.filePath(QStringLiteral("truncated.onnx")));
    ASSERT_TRUE(truncated.open(QIODevice::WriteOnly));
    truncated.write(QByteArray(4096, '\x08'));
    truncated.close();
    const QString truncatedError = ForegroundSegmenter(truncated.fileName()).load();
    EXPECT_TRUE(truncatedError.contains(QStringLiteral("damaged"))) << qPrintable(truncatedError);
    EXPECT_TRUE(truncatedError.contains(QStringLiteral("tools/setup.sh"))) << qPrintable(truncatedError);

    // Right size, wrong content: ONNX Runtime refuses it and the message still says what to do.
    QFile garbage(folder.filePath(QStringLiteral("garbage.onnx")));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write("not a model");
    ASSERT_TRUE(garbage.resize(ForegroundSegmenter::expectedModelSize));
    garbage.close();
    const QString garbageError = ForegroundSegmenter(garbage.fileName()).load();
    EXPECT_TRUE(garbageError.contains(QStringLiteral("could not be loaded"))) << qPrintable(garbageError);
    EXPECT_TRUE(garbageError.contains(QStringLiteral("tools/setup.sh"))) << qPrintable(garbageError);
}

namespace {

struct ToolRun {
    int exitCode = -1;
    QString out;
    QString err;
};

ToolRun runRemoveTool(const QStringList& arguments, const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(KIVO_REMOVE_TOOL), arguments);
    if (!process.waitForFinished(300000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

} // namespace

TEST(KivoproRemoveTest, WritesCutoutsAndMasksAndReportsEachFailure)
{
    QTemporaryDir folder;
    const QString notAnImage = folder.filePath(QStringLiteral("notes.png"));
    QFile text(notAnImage);
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("these are not pixels\n");
    text.close();
    const QString results = folder.filePath(QStringLiteral("results"));

    // Options may follow the inputs.
    const ToolRun run = runRemoveTool({test::testDataPath(QStringLiteral("coffee.jpg")), notAnImage,
                                   folder.filePath(QStringLiteral("missing.jpg")),
                                   test::testDataPath(QStringLiteral("grass.jpg")), QStringLiteral("-o"), results});
    EXPECT_EQ(run.exitCode, 1) << qPrintable(run.err);
    EXPECT_TRUE(run.out.contains(QStringLiteral("coffee_no_bg.png ("))) << qPrintable(run.out);
    // The engine's own diagnostics go with the failures, not among the results.
    EXPECT_TRUE(run.err.contains(QStringLiteral("No foreground objects detected in the image"))) << qPrintable(run.err);
    EXPECT_EQ(run.out.count(u'\n'), 1) << qPrintable(run.out);
    EXPECT_TRUE(run.err.contains(QStringLiteral("notes.png: not an image"))) << qPrintable(run.err);
    EXPECT_TRUE(run.err.contains(QStringLiteral("missing.jpg: no such file"))) << qPrintable(run.err);
    EXPECT_TRUE(run.err.contains(QStringLiteral("grass.jpg: no subject found"))) << qPrintable(run.err);
    EXPECT_FALSE(QFile::exists(results + QStringLiteral("/grass_no_bg.png")));
    EXPECT_FALSE(QFile::exists(results + QStringLiteral("/notes_no_bg.png")));

    const QImage cutout(results + QStringLiteral("/coffee_no_bg.png"));
    ASSERT_FALSE(cutout.isNull());
    EXPECT_EQ(cutout.size(), QSize(300, 200));
    EXPECT_TRUE(cutout.hasAlphaChannel());
    EXPECT_LT(meanAlpha(cutout, QRect(5, 5, 35, 35)), 10);
    EXPECT_GT(meanAlpha(cutout, QRect(130, 60, 40, 40)), 245);

    const ToolRun maskRun = runRemoveTool({test::testDataPath(QStringLiteral("coffee.jpg")), QStringLiteral("--mask"),
                                       QStringLiteral("-o"), results});
    EXPECT_EQ(maskRun.exitCode, 0) << qPrintable(maskRun.err);
    const QImage mask(results + QStringLiteral("/coffee_mask.png"));
    ASSERT_FALSE(mask.isNull());
    EXPECT_TRUE(mask.isGrayscale());
    EXPECT_EQ(mask.size(), QSize(300, 200));
    EXPECT_GT(qGray(mask.pixel(150, 80)), 245);
    EXPECT_LT(qGray(mask.pixel(10, 10)), 10);
}

TEST(KivoproRemoveTest, SameNamesGetDistinctFilesAndEveryInputIsOneLine)
{
    QTemporaryDir folder;
    ASSERT_TRUE(QDir(folder.path()).mkpath(QStringLiteral("a")));
    ASSERT_TRUE(QDir(folder.path()).mkpath(QStringLiteral("b")));
    const QImage coffee(test::testDataPath(QStringLiteral("coffee.jpg")));
    QFile jpeg(test::testDataPath(QStringLiteral("coffee.jpg")));
    ASSERT_TRUE(jpeg.open(QIODevice::ReadOnly));
    const QByteArray jpegBytes = jpeg.readAll();
    const auto write = [&](const QString& name, const QByteArray& bytes) {
        QFile file(folder.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    };
    const QString first = write(QStringLiteral("a/coffee.jpg"), jpegBytes);
    ASSERT_TRUE(coffee.save(folder.filePath(QStringLiteral("b/coffee.png"))));
    const QString second = folder.filePath(QStringLiteral("b/coffee.png"));
    const QString heic = write(QStringLiteral("new\nline.heic"), test::encodeHeic(coffee));
    const QString truncated = write(QStringLiteral("cut\nshort.jpg"), jpegBytes.left(jpegBytes.size() / 2));
    const QString results = folder.filePath(QStringLiteral("out"));

    const ToolRun run = runRemoveTool({QStringLiteral("-o"), results, first, second, heic, truncated});
    EXPECT_EQ(run.exitCode, 1) << qPrintable(run.err);
    const QStringList lines = run.out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << qPrintable(run.out);
    EXPECT_TRUE(lines[0].contains(QStringLiteral("/out/coffee_no_bg.png ("))) << qPrintable(lines[0]);
    EXPECT_TRUE(lines[1].contains(QStringLiteral("/out/coffee_no_bg-2.png ("))) << qPrintable(lines[1]);
    EXPECT_TRUE(lines[2].contains(QStringLiteral("new\\nline.heic -> "))) << qPrintable(lines[2]);
    EXPECT_TRUE(run.err.contains(QStringLiteral("cut\\nshort.jpg: the image is truncated"))) << qPrintable(run.err);

    for (const QString& name : {QStringLiteral("coffee_no_bg.png"), QStringLiteral("coffee_no_bg-2.png"),
                                QStringLiteral("new\nline_no_bg.png")})
        EXPECT_EQ(QImage(results + u'/' + name).size(), coffee.size()) << qPrintable(name);
    EXPECT_FALSE(QFile::exists(results + QStringLiteral("/cut\nshort_no_bg.png")));
}

TEST(KivoproRemoveTest, MissingModelIsAClearErrorNamingTheSetUp)
{
    QTemporaryDir empty;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), empty.path());
    environment.insert(QStringLiteral("XDG_DATA_DIRS"), empty.path());

    const ToolRun run = runRemoveTool({test::testDataPath(QStringLiteral("coffee.jpg")),
                                   test::testDataPath(QStringLiteral("astronaut.jpg")), QStringLiteral("-o"), empty.path()},
                                  environment);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains(QStringLiteral("tools/setup.sh"))) << qPrintable(run.err);
    EXPECT_TRUE(run.err.contains(QStringLiteral("astronaut.jpg: skipped"))) << qPrintable(run.err);
    EXPECT_FALSE(QFile::exists(empty.filePath(QStringLiteral("coffee_no_bg.png"))));
}

TEST(KivoproRemoveTest, ProcessingFlagsReachTheEngineAndNoFlagsGiveThePlainCutout)
{
    QTemporaryDir folder;
    const QImage input = loadTestImage(QStringLiteral("coffee.jpg"));
    struct Case {
        QStringList flags;
        RemovalOptions options;
    };
    const Case cases[] = {
        {{}, RemovalOptions{}},
        {{QStringLiteral("--quality"), QStringLiteral("fast"), QStringLiteral("--refine"), QStringLiteral("0.5"),
          QStringLiteral("--hard-edges")},
         RemovalOptions{ProcessingQuality::fast, 0.5, false}},
        {{QStringLiteral("--quality"), QStringLiteral("high")}, RemovalOptions{ProcessingQuality::highQuality, 0, true}},
    };
    for (const Case& c : cases) {
        const QString output = folder.filePath(c.flags.join(QString()));
        const ToolRun run = runRemoveTool(c.flags + QStringList{test::testDataPath(QStringLiteral("coffee.jpg")),
                                                                QStringLiteral("-o"), output});
        ASSERT_EQ(run.exitCode, 0) << qPrintable(run.err);
        const QImage written = QImage(output + QStringLiteral("/coffee_no_bg.png")).convertToFormat(QImage::Format_ARGB32);
        const std::optional<QImage> expected = removeBackgroundLocally(input, c.options);
        ASSERT_TRUE(expected);
        EXPECT_EQ(written, *expected) << qPrintable(c.flags.join(u' '));
    }

    const QStringList wrongFlags[] = {{QStringLiteral("--quality"), QStringLiteral("ultra")},
                                      {QStringLiteral("--refine"), QStringLiteral("2")},
                                      {QStringLiteral("--refine"), QStringLiteral("strong")}};
    for (const QStringList& flags : wrongFlags) {
        const ToolRun run = runRemoveTool(flags + QStringList{test::testDataPath(QStringLiteral("coffee.jpg")),
                                                              QStringLiteral("-o"), folder.path()});
        EXPECT_EQ(run.exitCode, 2) << qPrintable(flags.join(u' '));
        EXPECT_TRUE(run.err.contains(QStringLiteral("--quality takes fast, balanced or high"))) << qPrintable(run.err);
    }
}

namespace {

// The nice value of each of this process's threads, read from /proc.
QList<int> threadNiceness()
{
    QList<int> values;
    for (const QString& tid : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // The fields after the command name, which may hold spaces, start at the third.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 16)
            values << fields.at(16).toInt();
    }
    return values;
}

int threadsAt(int niceness)
{
    const QList<int> values = threadNiceness();
    return int(std::count(values.begin(), values.end(), niceness));
}

} // namespace

TEST_F(LocalRemovalEngineTest, WithoutAutoDetectionATextureKeepsTheNetworksMask)
{
    const QImage grass = loadTestImage(QStringLiteral("grass.jpg"));
    RemovalOptions options;
    options.requireSubject = false;
    test::StdoutCapture capture;
    const std::optional<QImage> cutout = removeBackgroundLocally(grass, options);
    ASSERT_TRUE(cutout);
    EXPECT_TRUE(capture.text().isEmpty()) << qPrintable(capture.text());
    EXPECT_EQ(cutout->size(), grass.size());
    // The mask as the network made it: faint everywhere, below the subject threshold.
    int maximumAlpha = 0;
    for (int y = 0; y < cutout->height(); y += 7)
        for (int x = 0; x < cutout->width(); x += 7)
            maximumAlpha = std::max(maximumAlpha, qAlpha(cutout->pixel(x, y)));
    EXPECT_LT(maximumAlpha, 128);
}

TEST_F(LocalRemovalEngineTest, BackgroundPriorityRunsTheInferenceThreadsNicer)
{
    constexpr int side = 320;
    const QImage astronaut = loadTestImage(QStringLiteral("astronaut.jpg"));
    const std::vector<float> input = makeNetworkInput(astronaut.convertToFormat(QImage::Format_ARGB32), side);
    const int nice = ForegroundSegmenter::backgroundNiceness;
    const int before = threadsAt(nice);

    // While the inference runs, every thread computing it is at the raised nice value.
    std::atomic_bool done{false};
    int mostAtNice = 0;
    std::thread caller([&] {
        ForegroundSegmenter::shared().segment(input, side, ForegroundSegmenter::Priority::background);
        done = true;
    });
    while (!done) {
        mostAtNice = std::max(mostAtNice, threadsAt(nice) - before);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    caller.join();
    EXPECT_GE(mostAtNice, QThread::idealThreadCount()) << "the runtime's workers and the runner";
    // The runtime's own workers stay with the session; the caller kept its priority.
    EXPECT_EQ(threadsAt(nice) - before, QThread::idealThreadCount() - 1);

    // Back to normal: a new session with workers at normal priority, none left raised.
    const ForegroundSegmenter::Result normal = ForegroundSegmenter::shared().segment(input, side);
    ASSERT_FALSE(normal.probabilities.empty()) << qPrintable(normal.error);
    EXPECT_EQ(threadsAt(nice), before);
}

TEST(ExecutionProviders, AcceleratedOnesTheEngineCanSetUpAreAppendedWhenWanted)
{
    struct Case {
        QStringList available;
        bool accelerated;
        QStringList expected;
    };
    const QString cpu = QStringLiteral("CPUExecutionProvider");
    const QString cuda = QStringLiteral("CUDAExecutionProvider");
    const QString rocm = QStringLiteral("ROCMExecutionProvider");
    const QString openVino = QStringLiteral("OpenVINOExecutionProvider");
    const QString tensorRt = QStringLiteral("TensorrtExecutionProvider");
    const Case cases[] = {
        {{cpu}, true, {}},
        {{}, true, {}},
        {{cuda, cpu}, true, {cuda}},
        {{cuda, cpu}, false, {}},
        {{tensorRt, cuda, cpu}, true, {cuda}},  // TensorRT needs options of its own: left out
        {{rocm, cpu}, true, {rocm}},
        {{openVino, cuda, cpu}, true, {openVino, cuda}},
        {{openVino, cuda, cpu}, false, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(executionProvidersToAppend(c.available, c.accelerated), c.expected)
            << c.available.join(u',').toStdString() << ' ' << c.accelerated;
}

// Our runtime has only the CPU provider: wanting acceleration changes nothing in the cut-out.
TEST_F(LocalRemovalEngineTest, AccelerationWantedWithoutAProviderGivesTheCpuCutOut)
{
    ASSERT_TRUE(acceleratedExecutionProviders().isEmpty());
    const QImage photo = loadTestImage(QStringLiteral("coffee.jpg"));
    RemovalOptions options{ProcessingQuality::fast};
    const auto plain = removeBackgroundLocally(photo, options);
    options.accelerated = true;
    const auto accelerated = removeBackgroundLocally(photo, options);
    ASSERT_TRUE(plain && accelerated);
    EXPECT_EQ(*accelerated, *plain);
}
