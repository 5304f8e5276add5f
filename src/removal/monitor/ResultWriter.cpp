#include "ResultWriter.h"

#include "FolderMonitorRules.h"

#include "core/AtomicFile.h"
#include "core/Log.h"
#include "core/PngEncoder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMutex>
#include <QUrl>

#include <array>
#include <filesystem>
#include <system_error>

namespace kivo {

namespace {

constexpr QLatin1StringView sourceKey{"Source"};

quint32 crc32(const QByteArray& bytes)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> entries{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
        return entries;
    }();
    quint32 c = 0xffffffffu;
    for (const char byte : bytes)
        c = table[(c ^ quint8(byte)) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

QByteArray bigEndian(quint32 value)
{
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    return QByteArray(bytes, 4);
}

// Text chunks hold Latin-1; a file name is any UTF-8, so it is stored percent-encoded.
QByteArray sourceText(const QString& sourcePath)
{
    return QUrl::toPercentEncoding(QFileInfo(sourcePath).fileName());
}

ResultNameUse nameUse(const QString& folder, const QString& name, const QString& sourceName)
{
    const QString path = folder + u'/' + name;
    if (!QFileInfo::exists(path))
        return ResultNameUse::free;
    return resultSourceName(path) == sourceName ? ResultNameUse::sameSource : ResultNameUse::otherSource;
}

} // namespace

QByteArray withPngText(const QByteArray& png, const QByteArray& keyword, const QByteArray& text)
{
    // Signature (8) + IHDR: length (4), type (4), data (13), CRC (4).
    constexpr qsizetype headerEnd = 8 + 4 + 4 + 13 + 4;
    if (png.size() < headerEnd || !png.startsWith("\x89PNG\r\n\x1a\n") || png.mid(12, 4) != "IHDR")
        return png;
    const QByteArray body = QByteArray("tEXt") + keyword + '\0' + text;
    const QByteArray chunk = bigEndian(quint32(body.size() - 4)) + body + bigEndian(crc32(body));
    return png.left(headerEnd) + chunk + png.mid(headerEnd);
}

QString resultSourceName(const QString& resultPath)
{
    QImageReader reader(resultPath, "png");
    return QUrl::fromPercentEncoding(reader.text(sourceKey).toLatin1());
}

bool hasMonitorResult(const QString& sourcePath)
{
    const QString name = QFileInfo(sourcePath).fileName();
    const QDir results(processedFolderPath(sourcePath));
    const QStringList pngs = results.entryList({QStringLiteral("*.png"), QStringLiteral("*.PNG")}, QDir::Files);
    return std::any_of(pngs.begin(), pngs.end(),
                       [&](const QString& png) { return resultSourceName(results.filePath(png)) == name; });
}

SaveOutcome saveMonitorResult(const QImage& cutout, const QString& sourcePath, const UserPreferences& preferences,
                              const QDateTime& localNow)
{
    const auto failed = [](const QString& description) {
        logLine(QStringLiteral("[AppState] Failed to save processed image: ") + description);
        return SaveOutcome{{}, description};
    };

    const QString folder = processedFolderPath(sourcePath);
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(folder).toStdString()), error);
    if (error)
        return failed(QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(error.message()), folder));

    const std::optional<QString> name = processedFileName(sourcePath, preferences, localNow);
    if (!name)
        return failed(QStringLiteral("the naming preferences give no usable file name"));
    const std::optional<QByteArray> png = encodePNG(cutout);
    if (!png)
        return failed(QStringLiteral("the result could not be encoded as PNG"));
    const QString sourceName = QFileInfo(sourcePath).fileName();
    const QByteArray bytes = withPngText(*png, QByteArray(sourceKey.latin1()), sourceText(sourcePath));

    static QMutex naming;
    const QMutexLocker lock(&naming);
    const QString chosen = freeResultName(*name, [&](const QString& candidate) {
        return nameUse(folder, candidate, sourceName);
    });
    const QString path = folder + u'/' + chosen;
    if (const std::optional<QString> failure = writeFileAtomically(path, bytes))
        return failed(QStringLiteral("%1 (%2)").arg(*failure, path));
    logLine(QStringLiteral("[AppState] Saved processed image to subfolder: ") + path);
    return {path, {}};
}

} // namespace kivo
