// kivopro-remove: the local engine on the command line.
//
//   kivopro-remove [-o OUTDIR] [--mask] [--quality fast|balanced|high] [--refine STRENGTH]
//                  [--hard-edges] INPUT...
//
// Writes NAME_no_bg.png (or NAME_mask.png with --mask) for every input, beside the input or
// into OUTDIR; two inputs that would give the same name get NAME_no_bg-2.png and so on, as
// "Download All" does. Prints one line per input with the time it took: results on standard
// output, failures (and the engine's diagnostics) on standard error, with control characters in
// names escaped so that every input stays one line. Exits with 1 when any input failed, 2 for a
// usage error or an output folder that cannot be written (found before any image is processed).
// Without the processing options the output is the engine's plain one: Balanced, no refinement,
// the soft edge kept.

#include "core/AtomicFile.h"
#include "core/ImageFileLoader.h"
#include "core/Log.h"
#include "core/PngEncoder.h"
#include "removal/batch/CutoutFiles.h"

#include "removal/engine/ForegroundSegmenter.h"
#include "removal/engine/LocalRemovalEngine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTemporaryFile>

#include <cstdio>
#include <optional>

namespace {

struct Options {
    QString outputDirectory;
    bool writeMask = false;
    kivo::RemovalOptions removal;
    QStringList inputs;
};

void printLine(std::FILE* stream, const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stream);
    std::fflush(stream);
}

QString seconds(const QElapsedTimer& timer)
{
    return QString::number(double(timer.elapsed()) / 1000.0, 'f', 2) + QStringLiteral(" s");
}

// A name as one line of output: backslashes, line breaks and other control characters escaped.
QString printable(const QString& name)
{
    QString text;
    for (const QChar c : name) {
        if (c == u'\\')
            text += QStringLiteral("\\\\");
        else if (c == u'\n')
            text += QStringLiteral("\\n");
        else if (c == u'\r')
            text += QStringLiteral("\\r");
        else if (c == u'\t')
            text += QStringLiteral("\\t");
        else if (c.category() == QChar::Other_Control)
            text += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            text += c;
    }
    return text;
}

bool writePng(const QImage& image, const QString& path, QString* error)
{
    const QByteArray png = kivo::encodePNG(image).value_or(QByteArray());
    if (png.isEmpty()) {
        *error = QStringLiteral("PNG encoding failed");
        return false;
    }
    if (const auto failure = kivo::writeFileAtomically(path, png)) {
        *error = QStringLiteral("cannot write %1: %2").arg(printable(QDir::toNativeSeparators(path)), *failure);
        return false;
    }
    return true;
}

// Whether a file can be made in the folder: tried, as permissions alone do not tell (a
// read-only file system, a name that is a file).
std::optional<QString> unwritableFolder(const QString& directory)
{
    const QFileInfo info(directory);
    if (!info.exists())
        return QStringLiteral("the folder %1 does not exist").arg(printable(QDir::toNativeSeparators(directory)));
    if (!info.isDir())
        return QStringLiteral("%1 is not a folder").arg(printable(QDir::toNativeSeparators(directory)));
    QTemporaryFile probe(QDir(directory).filePath(QStringLiteral(".kivopro-remove-XXXXXX")));
    if (!probe.open())
        return QStringLiteral("cannot write into the folder %1 (%2)")
            .arg(printable(QDir::toNativeSeparators(directory)), probe.errorString());
    return std::nullopt;
}

class Remover {
public:
    explicit Remover(Options options) : m_options(std::move(options)) {}

    // False when the input failed; the reason is printed.
    bool process(const QString& input);

    // Set when the network cannot be loaded; nothing else can succeed then.
    bool networkUnavailable() const { return m_networkUnavailable; }

private:
    bool fail(const QString& input, const QString& reason, const QElapsedTimer& timer)
    {
        printLine(stderr, QStringLiteral("kivopro-remove: %1: %2 (%3)").arg(printable(input), reason, seconds(timer)));
        return false;
    }

    // The output folder's names already written in this run, for the "-2" rule.
    QHash<QString, QSet<QString>> m_takenNames;
    Options m_options;
    bool m_networkChecked = false;
    bool m_networkUnavailable = false;
};

bool Remover::process(const QString& input)
{
    QElapsedTimer timer;
    timer.start();

    const QFileInfo source(input);
    const QString directory = m_options.outputDirectory.isEmpty() ? source.absolutePath() : m_options.outputDirectory;
    // Before any work: a result that cannot be written is not worth computing.
    if (const auto unwritable = unwritableFolder(directory))
        return fail(input, *unwritable, timer);

    const kivo::ImageLoadResult loaded = kivo::readImageFile(input);
    if (!loaded.error.isEmpty())
        return fail(input, loaded.error, timer);
    const std::optional<kivo::WorkingImage> working = kivo::makeWorkingImage(loaded.image);
    if (!working)
        return fail(input, QStringLiteral("Failed to process image"), timer);

    // A missing or damaged model fails every image the same way; say so once, clearly.
    if (!m_networkChecked) {
        m_networkChecked = true;
        const QString loadError =
            kivo::ForegroundSegmenter::shared().load(kivo::networkInputSide(m_options.removal.quality));
        if (!loadError.isEmpty()) {
            m_networkUnavailable = true;
            return fail(input, loadError, timer);
        }
    }
    const std::optional<kivo::ForegroundMask> mask = kivo::generateForegroundMask(*working, m_options.removal);
    // With the network loaded, the engine fails only for lack of a subject (or memory); its
    // own log line above gives the exact reason.
    if (!mask)
        return fail(input, QStringLiteral("no subject found, nothing written"), timer);

    QImage result;
    QString suffix;
    if (m_options.writeMask) {
        result = mask->values;
        suffix = QStringLiteral("_mask.png");
    } else {
        const std::optional<kivo::CompositedImage> composited = kivo::applyForegroundMask(*mask, *working);
        const std::optional<QImage> cutout = composited ? kivo::renderCutout(*composited) : std::nullopt;
        if (!cutout)
            return fail(input, QStringLiteral("the cut-out could not be rendered"), timer);
        result = *cutout;
        suffix = QStringLiteral("_no_bg.png");
    }

    const QString output = kivo::distinctPathInFolder(directory, source.completeBaseName() + suffix,
                                                      m_takenNames[QDir(directory).absolutePath()]);
    QString error;
    if (!writePng(result, output, &error))
        return fail(input, error, timer);

    printLine(stdout, QStringLiteral("%1 -> %2 (%3)")
                          .arg(printable(input), printable(QDir::toNativeSeparators(output)), seconds(timer)));
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kivopro-remove"));
    kivo::setLogStream(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Removes the background of images with the local segmentation network and writes "
        "NAME_no_bg.png for each input.\nExit status: 0 when every input succeeded, 1 when any failed, 2 for a usage error "
        "or an output folder that cannot be written."));
    parser.addHelpOption();
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")},
                                          QStringLiteral("Write the results into <dir> (default: beside each input)."),
                                          QStringLiteral("dir"));
    const QCommandLineOption maskOption(QStringLiteral("mask"),
                                        QStringLiteral("Write the soft mask as a grey PNG (NAME_mask.png) instead."));
    const QCommandLineOption qualityOption(QStringLiteral("quality"),
                                           QStringLiteral("Processing quality: fast, balanced (default) or high."),
                                           QStringLiteral("quality"), QStringLiteral("balanced"));
    const QCommandLineOption refineOption(QStringLiteral("refine"),
                                          QStringLiteral("Refine the edges with this strength, 0 to 1 (default 0)."),
                                          QStringLiteral("strength"), QStringLiteral("0"));
    const QCommandLineOption hardEdgesOption(QStringLiteral("hard-edges"),
                                             QStringLiteral("Snap the mask to crisp edges instead of keeping fine details."));
    parser.addOption(outputOption);
    parser.addOption(maskOption);
    parser.addOption(qualityOption);
    parser.addOption(refineOption);
    parser.addOption(hardEdgesOption);
    parser.addPositionalArgument(QStringLiteral("INPUT"), QStringLiteral("Image files."), QStringLiteral("INPUT..."));
    // Usage errors exit with 2, as the help says (QCommandLineParser::process would exit with 1).
    if (!parser.parse(QCoreApplication::arguments())) {
        printLine(stderr, QStringLiteral("kivopro-remove: %1\n").arg(parser.errorText()) + parser.helpText());
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        printLine(stdout, parser.helpText());
        return 0;
    }

    Options options;
    options.outputDirectory = parser.value(outputOption);
    options.writeMask = parser.isSet(maskOption);
    options.inputs = parser.positionalArguments();
    const std::optional<kivo::ProcessingQuality> quality = kivo::qualityFromName(parser.value(qualityOption));
    bool refineIsNumber = false;
    const double refine = parser.value(refineOption).toDouble(&refineIsNumber);
    if (!quality || !refineIsNumber || !(refine >= 0 && refine <= 1)) {
        printLine(stderr, QStringLiteral("kivopro-remove: --quality takes fast, balanced or high; --refine a number from 0 to 1\n")
                              + parser.helpText());
        return 2;
    }
    options.removal = kivo::RemovalOptions{*quality, refine, !parser.isSet(hardEdgesOption)};
    if (options.inputs.isEmpty()) {
        printLine(stderr, QStringLiteral("kivopro-remove: no input files\n") + parser.helpText());
        return 2;
    }
    if (!options.outputDirectory.isEmpty()) {
        if (!QDir().mkpath(options.outputDirectory)) {
            printLine(stderr, QStringLiteral("kivopro-remove: cannot create the folder %1").arg(printable(options.outputDirectory)));
            return 2;
        }
        if (const auto unwritable = unwritableFolder(options.outputDirectory)) {
            printLine(stderr, QStringLiteral("kivopro-remove: ") + *unwritable);
            return 2;
        }
    }

    Remover remover(options);
    int failures = 0;
    for (const QString& input : options.inputs) {
        if (remover.networkUnavailable()) {
            printLine(stderr, QStringLiteral("kivopro-remove: %1: skipped").arg(printable(input)));
            ++failures;
        } else if (!remover.process(input)) {
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
