#pragma once

#include "AppConstants.h"
#include "DomainModel.h"

#include <QByteArray>
#include <QJsonObject>
#include <QRectF>
#include <QString>
#include <QUrl>

#include <optional>

namespace kivo {

// The user's settings, persisted as one JSON document whose keys are the field names.
struct UserPreferences {
    bool showWelcomeScreen = true;
    bool autoSaveSessions = true;
    bool showProcessingNotifications = true;
    bool openProcessedInEditor = true;
    bool confirmBeforeClosing = true;
    bool enableDragAndDrop = true;
    bool useHardwareAcceleration = true;
    ProcessingQuality processingQuality = ProcessingQuality::balanced;
    qint64 maxConcurrentProcesses = 4;
    bool processInBackground = true;
    bool showProgressInDock = true;
    bool playSoundOnCompletion = true;
    ExportFormat defaultExportFormat = ExportFormat::png;
    double jpegQuality = 0.9;
    std::optional<QUrl> defaultExportLocation;
    bool createExportSubfolder = false;
    QString exportSubfolderName = QStringLiteral("kivo_exports");
    QString exportNamingPattern = QStringLiteral("original_suffix");
    QString customExportPattern = QStringLiteral("{original}_kivo_{date}_{time}");
    QString exportSuffix = QStringLiteral("_kivo");
    bool autoDetectSubjects = true;
    bool refineEdges = true;
    double edgeRefinement = 0.5;
    bool preserveFineDetails = true;
    bool batchSimilarProcessing = false;
    bool useGPUAcceleration = true;
    MemoryUsage memoryUsage = MemoryUsage::balanced;
    bool showToolsPanel = true;
    bool showLayersPanel = true;
    double zoomLevel = 1.0;
    QRectF windowFrame{0, 0, 0, 0};
    double sidebarWidth = 250.0;
    double defaultBrushSize = 2.0;
    double defaultBrushColorRed = 0.0;
    double defaultBrushColorGreen = 0.0;
    double defaultBrushColorBlue = 0.0;
    double defaultBrushOpacity = 1.0;
    bool enablePressureSensitivity = true;
    double smoothingLevel = 0.5;
    std::optional<QString> accountEmail;
    std::optional<QString> accountName;
    QString backendBaseURLString = QString(kDefaultWebsiteBaseURL);
    bool triggerEnabled = false;
    std::optional<QString> triggerFolderPath;
    QString triggerAIModel = QStringLiteral("localFree");

    friend bool operator==(const UserPreferences&, const UserPreferences&) = default;

    QJsonObject toJson() const;
    QByteArray toJsonBytes() const;

    // Strict: every non-optional member must be present with the right type and enumerations
    // must hold one of their raw values, or the whole record fails. Optional members may be
    // missing or null; unknown members are ignored. On failure `failure`, when given, receives
    // a sentence naming the first member at fault.
    static std::optional<UserPreferences> fromJson(const QJsonObject& object, QString* failure = nullptr);
    static std::optional<UserPreferences> fromJsonBytes(const QByteArray& bytes, QString* failure = nullptr);
};

} // namespace kivo

Q_DECLARE_METATYPE(kivo::UserPreferences)
