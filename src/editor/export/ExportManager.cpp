#include "ExportManager.h"

#include "ImageEncoders.h"

#include "core/AtomicFile.h"
#include "core/ExportFolders.h"
#include "core/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kivo {

namespace {

QString baseName(const QString& name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) : name;
}

// The extensions a format's files are known by.
QStringList extensionsOf(ExportFormat format)
{
    switch (format) {
    case ExportFormat::png: return {QStringLiteral("png")};
    case ExportFormat::jpeg: return {QStringLiteral("jpg"), QStringLiteral("jpeg")};
    case ExportFormat::tiff: return {QStringLiteral("tiff"), QStringLiteral("tif")};
    case ExportFormat::pdf: return {QStringLiteral("pdf")};
    case ExportFormat::heic: return {QStringLiteral("heic"), QStringLiteral("heif")};
    }
    return {};
}

// Which bitmap is encoded, as the log has always told it. Every QImage is a bitmap; formats
// the encoders do not take directly are drawn into a new 32-bit one first.
QImage bitmapToEncode(const QImage& image)
{
    switch (image.format()) {
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGB32:
    case QImage::Format_RGBA8888:
    case QImage::Format_RGBA8888_Premultiplied:
    case QImage::Format_RGBX8888:
    case QImage::Format_RGB888:
    case QImage::Format_Grayscale8:
        logLine(QStringLiteral("[Export] Using existing NSBitmapImageRep: %1x%2").arg(image.width()).arg(image.height()));
        return image;
    default: break;
    }
    const QImage drawn = image.convertToFormat(QImage::Format_ARGB32);
    if (!drawn.isNull())
        logLine(QStringLiteral("[Export] Drew NSImage into new bitmap: %1x%2").arg(drawn.width()).arg(drawn.height()));
    return drawn;
}

ExportManager::TemporaryFile writeTemporaryFile(const QImage& image, ExportFormat format, double quality,
                                                const QColor& background)
{
    const QImage bitmap = image.isNull() ? QImage() : bitmapToEncode(image);
    if (bitmap.isNull())
        return {{}, ExportError(ExportError::Kind::invalidImage)};
    auto encoded = encodeImage(bitmap, format, quality, background);
    if (auto* error = std::get_if<ExportError>(&encoded))
        return {{}, *error};
    const EncodedImage& file = std::get<EncodedImage>(encoded);

    const QString path = QDir(QDir::tempPath())
                             .filePath(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QLatin1Char('.')
                                       + file.extension);
    if (const auto failure = writeFileAtomically(path, file.bytes))
        return {{}, ExportError::fileSystem(*failure)};
    logLine(QStringLiteral("[Export] Wrote %1 bytes to: %2").arg(file.bytes.size()).arg(QFileInfo(path).fileName()));
    return {path, std::nullopt};
}

// Copies through a temporary file in the destination's folder, which then replaces the
// destination in one step: used where a rename cannot cross file systems.
std::optional<ExportError> copyInto(const QString& source, const QString& destination)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return ExportError::fileSystem(in.errorString());
    const QByteArray bytes = in.readAll();
    if (in.error() != QFileDevice::NoError)
        return ExportError::fileSystem(in.errorString());
    if (const auto failure = writeFileAtomically(destination, bytes))
        return ExportError::fileSystem(*failure);
    return std::nullopt;
}

ExportManager::Placement place(const QString& temporaryPath, const QString& chosen)
{
    QString destination = chosen;
    const QString extension = QFileInfo(temporaryPath).suffix();
    if (QFileInfo(chosen).suffix().compare(extension, Qt::CaseInsensitive) != 0)
        destination = QFileInfo(chosen).dir().filePath(baseName(QFileInfo(chosen).fileName()) + QLatin1Char('.') + extension);

    std::optional<ExportError> error;
    if (std::rename(QFile::encodeName(temporaryPath).constData(), QFile::encodeName(destination).constData()) != 0) {
        // rename() replaces an existing file in one step; across file systems it cannot work.
        const int reason = errno;
        if (reason == EXDEV)
            error = copyInto(temporaryPath, destination);
        else
            error = ExportError::fileSystem(QString::fromLocal8Bit(std::strerror(reason)));
    }
    QFile::remove(temporaryPath);
    return {destination, error};
}

} // namespace

QString ExportError::description() const
{
    switch (kind) {
    case Kind::fileSystemError: return QStringLiteral("File system error: ") + underlying;
    case Kind::invalidImage: return QStringLiteral("Invalid image data");
    case Kind::exportFailed: return QStringLiteral("Export operation failed");
    case Kind::unsupportedFormat: return QStringLiteral("Unsupported export format");
    }
    return {};
}

ExportManager& ExportManager::shared()
{
    static ExportManager manager;
    return manager;
}

QFuture<ExportManager::TemporaryFile> ExportManager::exportImage(const QImage& image, ExportFormat format,
                                                                 double quality, const QVariantMap&,
                                                                 const QColor& background) const
{
    return QtConcurrent::run(QThreadPool::globalInstance(), [image, format, quality, background] {
        return writeTemporaryFile(image, format, quality, background);
    });
}

QFuture<ExportManager::Placement> ExportManager::exportTo(const QImage& image, const QString& destination,
                                                          const UserPreferences& preferences,
                                                          const QColor& background) const
{
    const ExportFormat format = preferences.defaultExportFormat;
    const double quality = preferences.jpegQuality;
    // "Create subfolder for exports": the file goes into the subfolder of the chosen folder,
    // made on first use (the chosen folder itself is never made).
    const QString target = exportPathFor(destination, preferences);
    const bool intoSubfolder = target != destination;
    return QtConcurrent::run(QThreadPool::globalInstance(), [image, destination = target, intoSubfolder, format, quality, background] {
        if (intoSubfolder && QFileInfo(QFileInfo(destination).path()).dir().exists())
            QDir().mkpath(QFileInfo(destination).path());
        const TemporaryFile file = writeTemporaryFile(image, format, quality, background);
        Placement placement = file.error ? Placement{destination, file.error} : place(file.path, destination);
        if (placement.error)
            logLine(QStringLiteral("Export failed: ") + placement.error->description());
        else
            logLine(QStringLiteral("Image exported successfully to: ") + placement.destination);
        return placement;
    });
}

QString ExportManager::generateFileName(const QString& sourceName, ExportFormat format, const QString& namingPattern,
                                        const QString& customPattern, const QString& suffix, const QDateTime& now)
{
    const QString base = baseName(sourceName);
    const QString date = now.toString(QStringLiteral("yyyyMMdd"));
    const QString time = now.toString(QStringLiteral("HHmmss"));

    QString name;
    if (namingPattern == u"original_suffix") {
        name = base + suffix;
    } else if (namingPattern == u"timestamp") {
        name = base + QLatin1Char('_') + date + QLatin1Char('_') + time;
    } else if (namingPattern == u"custom") {
        name = customPattern;
        name.replace(QStringLiteral("{original}"), base);
        name.replace(QStringLiteral("{date}"), date);
        name.replace(QStringLiteral("{time}"), time);
    } else {
        name = base;
    }
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    return name + QLatin1Char('.') + fileExtension(format);
}

QString ExportManager::nameFilter(ExportFormat format)
{
    switch (format) {
    case ExportFormat::png: return QStringLiteral("PNG Image (*.png)");
    case ExportFormat::jpeg: return QStringLiteral("JPEG Image (*.jpg *.jpeg)");
    case ExportFormat::tiff: return QStringLiteral("TIFF Image (*.tiff *.tif)");
    case ExportFormat::pdf: return QStringLiteral("PDF Document (*.pdf)");
    case ExportFormat::heic: return QStringLiteral("HEIC Image (*.heic *.heif)");
    }
    return {};
}

std::optional<ExportFormat> ExportManager::formatOfNameFilter(const QString& filter)
{
    for (ExportFormat format : allCases<ExportFormat>())
        if (nameFilter(format) == filter)
            return format;
    return std::nullopt;
}

std::optional<ExportFormat> ExportManager::formatOfFileName(const QString& fileName)
{
    const QString extension = QFileInfo(fileName).suffix().toLower();
    for (ExportFormat format : allCases<ExportFormat>())
        if (extensionsOf(format).contains(extension))
            return format;
    return std::nullopt;
}

QString ExportManager::pathWithFormat(const QString& chosen, const QString& selectedFilter)
{
    if (formatOfFileName(chosen))
        return chosen;
    const ExportFormat format = formatOfNameFilter(selectedFilter).value_or(ExportFormat::png);
    return chosen + QLatin1Char('.') + fileExtension(format);
}

ExportManager::SaveDialogSetup ExportManager::saveDialogSetup(const std::optional<QString>& suggestedName,
                                                              const UserPreferences& preferences,
                                                              const QString& fallbackDirectory)
{
    SaveDialogSetup setup;
    setup.proposedName = generateFileName(suggestedName.value_or(QStringLiteral("image")),
                                          preferences.defaultExportFormat, preferences.exportNamingPattern,
                                          preferences.customExportPattern, preferences.exportSuffix);
    setup.nameFilter = nameFilter(preferences.defaultExportFormat);
    for (ExportFormat format : allCases<ExportFormat>())
        setup.nameFilters << nameFilter(format);
    setup.directory = defaultExportDirectory(preferences);
    if (setup.directory.isEmpty())
        setup.directory = fallbackDirectory;
    return setup;
}

} // namespace kivo
