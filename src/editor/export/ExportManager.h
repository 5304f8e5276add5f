#pragma once

#include "ExportError.h"

#include "core/DomainModel.h"
#include "core/UserPreferences.h"

#include <QColor>
#include <QDateTime>
#include <QFuture>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

namespace kivo {

// Writes images to files: encoding into a temporary file off the window's thread, the naming
// of proposed file names, and putting the finished file in its place. Holds no state between
// calls; several exports may run at once.
class ExportManager {
public:
    static ExportManager& shared();

    struct TemporaryFile {
        QString path;
        std::optional<ExportError> error;
    };
    // Encodes the image into a new file in the temporary folder named by a fresh UUID, on a
    // worker thread. `metadata` is accepted for callers' sake; no encoder reads it. A format
    // without alpha is flattened onto `background` (white where it is transparent).
    QFuture<TemporaryFile> exportImage(const QImage& image, ExportFormat format, double quality,
                                       const QVariantMap& metadata = {},
                                       const QColor& background = QColor(Qt::transparent)) const;

    struct Placement {
        QString destination;
        std::optional<ExportError> error;
    };
    // The export flow after the save dialog, on a worker thread: exportImage with the
    // preferences' format and JPEG quality, then the temporary file moves to the path the user
    // chose, replacing a file already there (the save dialog asked). Where the temporary
    // file's extension differs (PNG standing in for HEIC) the destination takes that
    // extension. No temporary file is left behind, whatever failed. Logs "Image exported
    // successfully to: …" or "Export failed: …"; the result names the failure, if any.
    QFuture<Placement> exportTo(const QImage& image, const QString& destination, const UserPreferences& preferences,
                                const QColor& background = QColor(Qt::transparent)) const;

    // The proposed name: the source's base name (without its last extension) shaped by the
    // naming pattern ("original_suffix", "timestamp", "custom"; anything else keeps the base),
    // then "." and the format's extension. A "/" would make the name a path: it becomes "-".
    static QString generateFileName(const QString& sourceName, ExportFormat format, const QString& namingPattern,
                                     const QString& customPattern, const QString& suffix,
                                     const QDateTime& now = QDateTime::currentDateTime());

    // How the save dialog opens for an image export.
    struct SaveDialogSetup {
        QString proposedName;
        // The preferences' format, selected among all of them.
        QString nameFilter;
        QStringList nameFilters;
        // The folder it opens in: the default export location, else the fallback given.
        QString directory;
    };
    // The format a file name asks for by its extension; nothing for another extension.
    static std::optional<ExportFormat> formatOfFileName(const QString& fileName);
    // The save dialog's filter for a format and back.
    static QString nameFilter(ExportFormat format);
    static std::optional<ExportFormat> formatOfNameFilter(const QString& filter);
    // The path a save dialog's answer means: the extension typed wins; without one of ours, the
    // chosen filter's format is appended.
    static QString pathWithFormat(const QString& chosen, const QString& selectedFilter);

    static SaveDialogSetup saveDialogSetup(const std::optional<QString>& suggestedName, const UserPreferences& preferences,
                                           const QString& fallbackDirectory = {});
};

} // namespace kivo
