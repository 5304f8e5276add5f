// Benchmark of the local engine on this machine: network inference, the 12-megapixel pipeline
// step by step, peak memory of kivopro-remove, and the same inference by the reference runtime
// (ONNX Runtime from Node.js), alternated with ours. Run through bench/run.sh.

#include "BenchSupport.h"

#include "core/PngEncoder.h"

#include "removal/engine/ForegroundSegmenter.h"
#include "removal/engine/LocalRemovalEngine.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

using kivo::ForegroundSegmenter;
using namespace kivo::bench;

constexpr double networkGflop = 320.0;  // multiply-adds × 2 of one 1024 × 1024 inference

struct Options : CommonOptions {
    QString reference;
};

std::vector<float> inferOrDie(std::span<const float> input)
{
    ForegroundSegmenter::Result result = ForegroundSegmenter::shared().segment(input);
    if (result.probabilities.empty()) {
        say(QStringLiteral("inference failed: ") + result.error);
        std::exit(1);
    }
    return std::move(result.probabilities);
}

// (d) The reference runtime in its own long-lived process, one inference at a time, alternating
// with ours so that both see the same machine state.
void compareWithReference(const Options& options, std::span<const float> input, const std::vector<double>& oursEarlier)
{
    const QString inputPath = QDir(options.work).filePath(QStringLiteral("input.f32"));
    const QString outputPath = QDir(options.work).filePath(QStringLiteral("reference-output.f32"));
    writeFile(inputPath, QByteArray(reinterpret_cast<const char*>(input.data()), qsizetype(input.size_bytes())));

    QProcess node;
    node.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    node.start(QStringLiteral("node"),
               {options.reference, QStandardPaths::locate(QStandardPaths::GenericDataLocation, ForegroundSegmenter::modelRelativePath()),
                inputPath, outputPath, QString::number(QThread::idealThreadCount())});
    auto readLine = [&node]() -> QString {
        while (!node.canReadLine()) {
            if (!node.waitForReadyRead(300000))
                return {};
        }
        return QString::fromUtf8(node.readLine()).trimmed();
    };
    const QStringList ready = readLine().split(QLatin1Char(' '));
    if (ready.size() < 3 || ready[0] != QLatin1String("ready")) {
        say(QStringLiteral("(d) reference runtime did not start; skipped"));
        return;
    }

    std::vector<double> ours;
    std::vector<double> reference;
    std::vector<float> ourOutput;
    for (int i = 0; i < options.runs; ++i) {
        ours.push_back(milliseconds([&] { ourOutput = inferOrDie(input); }));
        node.write("run\n");
        reference.push_back(readLine().toDouble());
    }
    node.write("quit\n");
    node.waitForFinished(60000);

    QFile file(outputPath);
    double difference = -1;
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        if (size_t(bytes.size()) == ourOutput.size() * sizeof(float)) {
            const auto* theirs = reinterpret_cast<const float*>(bytes.constData());
            difference = 0;
            for (size_t i = 0; i < ourOutput.size(); ++i)
                difference = std::max(difference, double(std::abs(ourOutput[i] - theirs[i])));
        }
    }

    const double ratio = median(ours) / median(reference);
    say(QStringLiteral("(d) same inference, alternating with the reference (onnxruntime-node %1, CPU, %2 intra-op threads, optimisation \"all\", no memory pattern)")
            .arg(ready[2]).arg(QThread::idealThreadCount()));
    say(QStringLiteral("    ours                        %1 %2").arg(ms(median(ours)), spread(ours)));
    say(QStringLiteral("    reference                   %1 %2, session load %3 ms")
            .arg(ms(median(reference)), spread(reference), ready[1]));
    say(QStringLiteral("    ratio ours/reference        %1   (target <= 1.00) %2")
            .arg(ratio, 0, 'f', 3).arg(ratio <= 1.0 ? QStringLiteral("met") : QStringLiteral("MISSED")));
    say(QStringLiteral("    largest mask difference     %1").arg(difference, 0, 'g', 3));
    std::vector<double> all = oursEarlier;
    all.insert(all.end(), ours.begin(), ours.end());
    say(QStringLiteral("    ours, all single inferences %1 = %2 GFLOP/s").arg(ms(median(all))).arg(networkGflop / (median(all) / 1000), 0, 'f', 0));
}

// (c) Peak resident memory of kivopro-remove, from the kernel's accounting of the child; run
// first, while the benchmark itself is small (see runMeasured).
void measureRemoveTool(const Options& options, const QString& photo)
{
    const QString outputDir = QDir(options.work).filePath(QStringLiteral("out"));
    const QString second = QDir(options.work).filePath(QStringLiteral("photo-12mp-again.jpg"));
    QFile::remove(second);
    QFile::copy(photo, second);
    const auto run = runMeasured(options.removeTool, {photo, second, QStringLiteral("-o"), outputDir},
                                 QDir(options.work).filePath(QStringLiteral("kivopro-remove.log")));
    if (!run) {
        say(QStringLiteral("(c) cannot start %1; skipped").arg(options.removeTool));
        return;
    }
    QStringList times;
    const QRegularExpression secondsPattern(QStringLiteral("\\(([0-9.]+) s\\)$"));
    for (const QString& line : run->output.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = secondsPattern.match(line);
        if (match.hasMatch())
            times << match.captured(1) + QStringLiteral(" s");
    }
    say(QStringLiteral("(c) kivopro-remove on the 12 MP photo twice (exit %1, %2 s in all)")
            .arg(run->exitCode).arg(run->wallSeconds, 0, 'f', 2));
    say(QStringLiteral("    peak resident memory        %1 MiB   (target < 1536 MiB) %2")
            .arg(run->peakMiB, 0, 'f', 0).arg(run->peakMiB < 1536 ? QStringLiteral("met") : QStringLiteral("MISSED")));
    say(QStringLiteral("    per image (first loads the network) %1").arg(times.join(QStringLiteral(", "))));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Options options{parseCommonOptions(app.arguments()), {}};
    options.reference = options.named.value(QStringLiteral("--reference"));
    const QString photo = prepareWork(
        options, QStringLiteral("kivo_local_engine_bench --source PHOTO --work DIR [--runs N] [--remove-tool PATH] [--reference infer.cjs]"));
    if (photo.isEmpty())
        return 2;

    say(QStringLiteral("KIVOPRO local engine: %1 cores, ONNX Runtime %2, medians of %3 runs after 2 warm-ups")
            .arg(QThread::idealThreadCount()).arg(QString::fromStdString(Ort::GetVersionString())).arg(options.runs));
    if (!options.removeTool.isEmpty())
        measureRemoveTool(options, photo);

    QString loadError;
    const double loadMs = milliseconds([&] { loadError = ForegroundSegmenter::shared().load(); });
    if (!loadError.isEmpty()) {
        say(loadError);
        return 1;
    }
    say(QStringLiteral("    network load                %1 (once per process)").arg(ms(loadMs)));

    const std::optional<kivo::WorkingImage> photoWorking = kivo::makeWorkingImage(decode(photo));
    if (!photoWorking) {
        say(QStringLiteral("cannot decode %1").arg(photo));
        return 1;
    }
    const std::vector<float> input = kivo::makeNetworkInput(photoWorking->pixels);
    std::vector<double> warmUps;
    for (int i = 0; i < 2; ++i)
        warmUps.push_back(milliseconds([&] { inferOrDie(input); }));
    say(QStringLiteral("    warm-up inferences          %1 ms, %2 ms").arg(warmUps[0], 0, 'f', 0).arg(warmUps[1], 0, 'f', 0));

    // (a)
    std::vector<double> inference;
    for (int i = 0; i < options.runs; ++i)
        inference.push_back(milliseconds([&] { inferOrDie(input); }));
    say(QStringLiteral("(a) one inference, 1024 x 1024  %1 %2 = %3 GFLOP/s")
            .arg(ms(median(inference)), spread(inference)).arg(networkGflop / (median(inference) / 1000), 0, 'f', 0));

    // (b)
    std::vector<double> tDecode, tWorking, tInput, tInfer, tMask, tComposite, tEncode, tWrite, tTotal;
    qsizetype pngBytes = 0;
    QImage lastCutout;
    for (int i = 0; i < options.runs; ++i) {
        QImage image;
        std::optional<kivo::WorkingImage> working;
        std::vector<float> networkInput;
        std::vector<float> probabilities;
        std::optional<QImage> mask;
        std::optional<QImage> cutout;
        QByteArray png;
        tDecode.push_back(milliseconds([&] { image = decode(photo); }));
        tWorking.push_back(milliseconds([&] { working = kivo::makeWorkingImage(image); }));
        tInput.push_back(milliseconds([&] { networkInput = kivo::makeNetworkInput(working->pixels); }));
        tInfer.push_back(milliseconds([&] { probabilities = inferOrDie(networkInput); }));
        tMask.push_back(milliseconds([&] { mask = kivo::scaleNetworkMask(probabilities, ForegroundSegmenter::defaultInputSide, working->pixels.size(), nullptr); }));
        tComposite.push_back(milliseconds([&] {
            const auto composited = kivo::applyForegroundMask(kivo::ForegroundMask{*mask, 1}, *working);
            cutout = kivo::renderCutout(*composited);
        }));
        tEncode.push_back(milliseconds([&] { png = kivo::encodePNG(*cutout).value_or(QByteArray()); }));
        tWrite.push_back(milliseconds([&] { writeFile(QDir(options.work).filePath(QStringLiteral("photo-12mp_no_bg.png")), png); }));
        pngBytes = png.size();
        lastCutout = *cutout;
        tTotal.push_back(tDecode.back() + tWorking.back() + tInput.back() + tInfer.back() + tMask.back()
                         + tComposite.back() + tEncode.back() + tWrite.back());
    }
    const double total = median(tTotal);
    const double network = median(tInfer);
    std::vector<double> nonNetworkShares;
    for (size_t i = 0; i < tTotal.size(); ++i)
        nonNetworkShares.push_back(100.0 * (tTotal[i] - tInfer[i]) / tTotal[i]);
    const double engineSteps = median(tInput) + median(tMask) + median(tComposite);
    say(QStringLiteral("(b) 12 MP photo (4000 x 3000 JPEG), whole pipeline"));
    say(QStringLiteral("    decode                      %1").arg(ms(median(tDecode))));
    say(QStringLiteral("    working image (ARGB32)      %1").arg(ms(median(tWorking))));
    say(QStringLiteral("    resize in + normalise       %1").arg(ms(median(tInput))));
    say(QStringLiteral("    inference                   %1 %2").arg(ms(network), spread(tInfer)));
    say(QStringLiteral("    mask resize (full size)     %1").arg(ms(median(tMask))));
    say(QStringLiteral("    composite + render          %1").arg(ms(median(tComposite))));
    say(QStringLiteral("    PNG encode                  %1 (%2 MB)").arg(ms(median(tEncode))).arg(double(pngBytes) / 1e6, 0, 'f', 1));
    say(QStringLiteral("    file write                  %1").arg(ms(median(tWrite))));
    say(QStringLiteral("    total                       %1").arg(ms(total)));
    const double share = median(nonNetworkShares);
    say(QStringLiteral("    non-network share           %1 %   (target < 15 %) %2; engine steps alone (resize in, mask, composite) %3 %")
            .arg(share, 0, 'f', 1).arg(share < 15 ? QStringLiteral("met") : QStringLiteral("MISSED"))
            .arg(100.0 * engineSteps / (engineSteps + network), 0, 'f', 1));

    // The engine's own mask step in one piece (adds the foreground check and region count).
    std::vector<double> wholeMask;
    for (int i = 0; i < options.runs; ++i)
        wholeMask.push_back(milliseconds([&] { kivo::generateForegroundMask(*photoWorking); }));
    say(QStringLiteral("    generateForegroundMask      %1 (resize in + inference + mask resize + checks)").arg(ms(median(wholeMask))));

    // Qt's own PNG encoder on the same cut-out, for comparison.
    QByteArray qtPng;
    const double qtEncode = milliseconds([&] {
        QBuffer buffer(&qtPng);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter(&buffer, "png").write(lastCutout);
    });
    say(QStringLiteral("    (Qt's PNG encoder instead   %1, %2 MB)").arg(ms(qtEncode)).arg(double(qtPng.size()) / 1e6, 0, 'f', 1));

    if (!options.reference.isEmpty())
        compareWithReference(options, input, inference);
    return 0;
}
