#pragma once

// The records and enumerations shared across the application. Records are plain values;
// images are QImage, which is implicitly shared and never changed in place, except a removal
// task's images, which are kept encoded on disk (CachedImage) so that batches of hundreds of
// photos fit in memory.

#include "DocumentHistory.h"
#include "ImageCache.h"
#include "RawValueEnum.h"

#include <QColor>
#include <QDateTime>
#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSizeF>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <optional>

namespace kivo {

enum class BlendMode { normal, multiply, screen, overlay, softLight, hardLight };
constexpr RawValueTable<BlendMode, 6> rawValueTable(BlendMode)
{
    return {{{BlendMode::normal, "Normal"},
             {BlendMode::multiply, "Multiply"},
             {BlendMode::screen, "Screen"},
             {BlendMode::overlay, "Overlay"},
             {BlendMode::softLight, "Soft Light"},
             {BlendMode::hardLight, "Hard Light"}}};
}

enum class CanvasBackground { transparent, white, black, custom };
constexpr RawValueTable<CanvasBackground, 4> rawValueTable(CanvasBackground)
{
    return {{{CanvasBackground::transparent, "Transparent"},
             {CanvasBackground::white, "White"},
             {CanvasBackground::black, "Black"},
             {CanvasBackground::custom, "Custom"}}};
}

enum class ExportFormat { png, jpeg, tiff, pdf, heic };
constexpr RawValueTable<ExportFormat, 5> rawValueTable(ExportFormat)
{
    return {{{ExportFormat::png, "PNG"},
             {ExportFormat::jpeg, "JPEG"},
             {ExportFormat::tiff, "TIFF"},
             {ExportFormat::pdf, "PDF"},
             {ExportFormat::heic, "HEIC"}}};
}
// The file-name extension an export in this format gets ("jpg" for JPEG).
QString fileExtension(ExportFormat format);

enum class ProcessingQuality { fast, balanced, highQuality };
constexpr RawValueTable<ProcessingQuality, 3> rawValueTable(ProcessingQuality)
{
    return {{{ProcessingQuality::fast, "Fast"},
             {ProcessingQuality::balanced, "Balanced"},
             {ProcessingQuality::highQuality, "High Quality"}}};
}

enum class MemoryUsage { conservative, balanced, aggressive };
constexpr RawValueTable<MemoryUsage, 3> rawValueTable(MemoryUsage)
{
    return {{{MemoryUsage::conservative, "Conservative"},
             {MemoryUsage::balanced, "Balanced"},
             {MemoryUsage::aggressive, "Aggressive"}}};
}

// `error`: the folder cannot be watched (the reason is published beside the status).
enum class TriggerStatus { idle, monitoring, processing, error };
constexpr RawValueTable<TriggerStatus, 4> rawValueTable(TriggerStatus)
{
    return {{{TriggerStatus::idle, "Idle"},
             {TriggerStatus::monitoring, "Monitoring"},
             {TriggerStatus::processing, "Processing"},
             {TriggerStatus::error, "Error"}}};
}

enum class TriggerActivityStatus { processing, completed, failed };
constexpr RawValueTable<TriggerActivityStatus, 3> rawValueTable(TriggerActivityStatus)
{
    return {{{TriggerActivityStatus::processing, "Processing"},
             {TriggerActivityStatus::completed, "Completed"},
             {TriggerActivityStatus::failed, "Failed"}}};
}

// No raw values: these never leave memory.
enum class ProcessingStatus { pending, processing, completed, failed };
enum class AppTab { backgroundRemoval, imageEditor, transactions, trigger };

struct ImageLayer {
    QUuid id = QUuid::createUuid();
    QString name;
    QImage image;
    double opacity = 1.0;
    BlendMode blendMode = BlendMode::normal;
    bool isVisible = true;
    bool isLocked = false;
    bool isBaseLayer = false;

    friend bool operator==(const ImageLayer&, const ImageLayer&) = default;
};

// What one step of an editor document holds: the layer stack bottom first, each layer with its
// pixels and properties, the canvas background and the enabled filters.
struct DocumentState {
    QList<ImageLayer> layers;
    CanvasBackground canvasBackground = CanvasBackground::transparent;
    QColor customBackgroundColor = Qt::white;
    QSet<QString> enabledFilterNames;

    friend bool operator==(const DocumentState&, const DocumentState&) = default;
};

struct HistoryItem {
    QUuid id = QUuid::createUuid();
    QString action;
    QDateTime timestamp = QDateTime::currentDateTimeUtc();

    friend bool operator==(const HistoryItem&, const HistoryItem&) = default;
};

struct EditorSession {
    QUuid id = QUuid::createUuid();
    QString name;
    std::optional<QImage> currentImage;
    QList<ImageLayer> layers;
    QList<HistoryItem> history;
    // The current step of documentHistory.
    int currentHistoryIndex = -1;
    DocumentHistory documentHistory;
    std::optional<ImageLayer> selectedLayer;
    QColor customBackgroundColor = Qt::white;
    CanvasBackground canvasBackground = CanvasBackground::transparent;
    QSizeF canvasOffset{0, 0};
    double zoomLevel = 1.0;
    QSet<QString> enabledFilterNames;

    // A session is identified by its id alone.
    friend bool operator==(const EditorSession& a, const EditorSession& b) { return a.id == b.id; }

    // A session holding one image as its base layer, which is also the selected layer.
    static EditorSession fromImage(const QString& name, const QImage& image);
};
inline size_t qHash(const EditorSession& session, size_t seed = 0) { return qHash(session.id, seed); }

struct ImageProcessingTask {
    QUuid id = QUuid::createUuid();
    // The file's bytes as they were read when the task was made.
    CachedImage originalImage;
    QUrl originalURL;
    // The cut-out as PNG.
    std::optional<CachedImage> processedImage;
    ProcessingStatus status = ProcessingStatus::pending;
    std::optional<QString> error;
    std::optional<QDateTime> completedAt;

    friend bool operator==(const ImageProcessingTask&, const ImageProcessingTask&) = default;
};

// One row of the folder monitor's activity list: an object with identity that views observe.
// Lives on the window's thread only.
class TriggerActivity : public QObject {
    Q_OBJECT
public:
    explicit TriggerActivity(QString filename, QObject* parent = nullptr);

    QUuid id() const { return m_id; }
    QString filename() const { return m_filename; }
    QDateTime timestamp() const { return m_timestamp; }
    TriggerActivityStatus status() const { return m_status; }
    std::optional<QString> error() const { return m_error; }
    QString errorText() const { return m_error.value_or(QString()); }
    // The full path of the file it came from, and of its result once saved.
    QString sourcePath() const { return m_sourcePath; }
    QString resultPath() const { return m_resultPath; }

    void setStatus(TriggerActivityStatus status);
    void setError(std::optional<QString> error);
    void setSourcePath(const QString& path) { m_sourcePath = path; }
    void setResultPath(const QString& path);

signals:
    void statusChanged();
    void errorChanged();
    void resultPathChanged();

private:
    const QUuid m_id = QUuid::createUuid();
    const QString m_filename;
    const QDateTime m_timestamp = QDateTime::currentDateTimeUtc();
    TriggerActivityStatus m_status = TriggerActivityStatus::processing;
    std::optional<QString> m_error;
    QString m_sourcePath;
    QString m_resultPath;
};

struct AccountInfo {
    std::optional<qint64> id;
    std::optional<QString> name;
    std::optional<QString> email;
    std::optional<QString> imageURL;
    std::optional<QString> apiKey;
    std::optional<qint64> credits;
    std::optional<QString> latestVersion;

    friend bool operator==(const AccountInfo&, const AccountInfo&) = default;

    // Absent fields are left out; missing or null keys read as absent; other keys are ignored.
    QJsonObject toJson() const;
    static std::optional<AccountInfo> fromJson(const QByteArray& bytes);
    static std::optional<AccountInfo> fromJson(const QJsonObject& object);
};

} // namespace kivo

Q_DECLARE_METATYPE(kivo::ImageProcessingTask)
Q_DECLARE_METATYPE(kivo::EditorSession)
Q_DECLARE_METATYPE(kivo::AccountInfo)
