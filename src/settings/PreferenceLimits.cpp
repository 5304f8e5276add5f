#include "PreferenceLimits.h"

#include "core/WebAddress.h"

#include <QDir>
#include <QStringList>

#include <cmath>
#include <functional>

namespace kivo {

namespace {

struct Check {
    const char* key;
    std::function<std::optional<QString>(const UserPreferences&)> fault; // the rule the value breaks
};

QString quoted(const QString& text)
{
    return u'“' + text + u'”';
}

std::optional<QString> outside(double value, double minimum, double maximum)
{
    if (std::isfinite(value) && value >= minimum && value <= maximum)
        return std::nullopt;
    return QStringLiteral("is %1; it must be between %2 and %3")
        .arg(QString::number(value), QString::number(minimum), QString::number(maximum));
}

std::optional<QString> notPositive(double value)
{
    if (std::isfinite(value) && value > 0)
        return std::nullopt;
    return QStringLiteral("is %1; it must be a number above 0").arg(QString::number(value));
}

std::optional<QString> notAmong(const QString& value, const QStringList& offered)
{
    if (offered.contains(value))
        return std::nullopt;
    return QStringLiteral("is %1; it must be one of %2").arg(quoted(value), offered.join(QStringLiteral(", ")));
}

// The settings window's ranges; a file may not go beyond what its controls offer.
const Check checks[] = {
    {"maxConcurrentProcesses", [](const UserPreferences& p) { return outside(double(p.maxConcurrentProcesses), 1, 8); }},
    {"defaultExportFormat",
     [](const UserPreferences& p) {
         // The picker leaves out PDF.
         QStringList offered;
         for (ExportFormat format : {ExportFormat::png, ExportFormat::jpeg, ExportFormat::tiff, ExportFormat::heic})
             offered << rawValue(format);
         return notAmong(rawValue(p.defaultExportFormat), offered);
     }},
    {"jpegQuality", [](const UserPreferences& p) { return outside(p.jpegQuality, 0.1, 1.0); }},
    {"defaultExportLocation",
     [](const UserPreferences& p) -> std::optional<QString> {
         if (!p.defaultExportLocation || p.defaultExportLocation->isLocalFile())
             return std::nullopt;
         return QStringLiteral("is %1; it must be a folder on this computer (file:///…)")
             .arg(quoted(p.defaultExportLocation->toString()));
     }},
    {"exportNamingPattern",
     [](const UserPreferences& p) {
         return notAmong(p.exportNamingPattern, {QStringLiteral("original"), QStringLiteral("original_suffix"),
                                                 QStringLiteral("timestamp"), QStringLiteral("custom")});
     }},
    {"edgeRefinement", [](const UserPreferences& p) { return outside(p.edgeRefinement, 0.0, 1.0); }},
    {"zoomLevel", [](const UserPreferences& p) { return notPositive(p.zoomLevel); }},
    {"windowFrame",
     [](const UserPreferences& p) -> std::optional<QString> {
         const QRectF& r = p.windowFrame;
         if (std::isfinite(r.x()) && std::isfinite(r.y()) && std::isfinite(r.width()) && std::isfinite(r.height())
             && r.width() >= 0 && r.height() >= 0)
             return std::nullopt;
         return QStringLiteral("must hold finite numbers and a size that is not negative");
     }},
    {"sidebarWidth",
     [](const UserPreferences& p) { return outside(p.sidebarWidth, 0.0, 10000.0); }},
    {"defaultBrushSize", [](const UserPreferences& p) { return notPositive(p.defaultBrushSize); }},
    {"defaultBrushColorRed", [](const UserPreferences& p) { return outside(p.defaultBrushColorRed, 0.0, 1.0); }},
    {"defaultBrushColorGreen", [](const UserPreferences& p) { return outside(p.defaultBrushColorGreen, 0.0, 1.0); }},
    {"defaultBrushColorBlue", [](const UserPreferences& p) { return outside(p.defaultBrushColorBlue, 0.0, 1.0); }},
    {"defaultBrushOpacity", [](const UserPreferences& p) { return outside(p.defaultBrushOpacity, 0.0, 1.0); }},
    {"smoothingLevel", [](const UserPreferences& p) { return outside(p.smoothingLevel, 0.0, 1.0); }},
    {"backendBaseURLString",
     [](const UserPreferences& p) -> std::optional<QString> {
         const QUrl url(p.backendBaseURLString.trimmed(), QUrl::StrictMode);
         if (isWebAddress(url) && url.userInfo().isEmpty())
             return std::nullopt;
         return QStringLiteral("is %1; it must be an http or https address with a host")
             .arg(quoted(p.backendBaseURLString));
     }},
    {"triggerFolderPath",
     [](const UserPreferences& p) -> std::optional<QString> {
         if (!p.triggerFolderPath || QDir::isAbsolutePath(*p.triggerFolderPath))
             return std::nullopt;
         return QStringLiteral("is %1; it must be a folder's full path").arg(quoted(*p.triggerFolderPath));
     }},
    {"triggerAIModel",
     [](const UserPreferences& p) {
         return notAmong(p.triggerAIModel, {QStringLiteral("localFree"), QStringLiteral("kivo")});
     }},
};

} // namespace

std::optional<QString> firstValueOutOfRange(const UserPreferences& preferences)
{
    for (const Check& check : checks) {
        if (const auto fault = check.fault(preferences))
            return quoted(QString::fromLatin1(check.key)) + u' ' + *fault + u'.';
    }
    return std::nullopt;
}

} // namespace kivo
