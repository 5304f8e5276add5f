#include "UserPreferences.h"

#include "StrictDecoding.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <cmath>
#include <type_traits>

namespace kivo {

namespace {

// Calls `visit(key, field)` for every field, in declaration order. Encoding and strict decoding
// share this one list, so a field cannot be written under one key and read under another.
template <typename Prefs, typename Visitor>
void visitFields(Prefs& p, Visitor&& visit)
{
    visit("showWelcomeScreen", p.showWelcomeScreen);
    visit("autoSaveSessions", p.autoSaveSessions);
    visit("showProcessingNotifications", p.showProcessingNotifications);
    visit("openProcessedInEditor", p.openProcessedInEditor);
    visit("confirmBeforeClosing", p.confirmBeforeClosing);
    visit("enableDragAndDrop", p.enableDragAndDrop);
    visit("useHardwareAcceleration", p.useHardwareAcceleration);
    visit("processingQuality", p.processingQuality);
    visit("maxConcurrentProcesses", p.maxConcurrentProcesses);
    visit("processInBackground", p.processInBackground);
    visit("showProgressInDock", p.showProgressInDock);
    visit("playSoundOnCompletion", p.playSoundOnCompletion);
    visit("defaultExportFormat", p.defaultExportFormat);
    visit("jpegQuality", p.jpegQuality);
    visit("defaultExportLocation", p.defaultExportLocation);
    visit("createExportSubfolder", p.createExportSubfolder);
    visit("exportSubfolderName", p.exportSubfolderName);
    visit("exportNamingPattern", p.exportNamingPattern);
    visit("customExportPattern", p.customExportPattern);
    visit("exportSuffix", p.exportSuffix);
    visit("autoDetectSubjects", p.autoDetectSubjects);
    visit("refineEdges", p.refineEdges);
    visit("edgeRefinement", p.edgeRefinement);
    visit("preserveFineDetails", p.preserveFineDetails);
    visit("batchSimilarProcessing", p.batchSimilarProcessing);
    visit("useGPUAcceleration", p.useGPUAcceleration);
    visit("memoryUsage", p.memoryUsage);
    visit("showToolsPanel", p.showToolsPanel);
    visit("showLayersPanel", p.showLayersPanel);
    visit("zoomLevel", p.zoomLevel);
    visit("windowFrame", p.windowFrame);
    visit("sidebarWidth", p.sidebarWidth);
    visit("defaultBrushSize", p.defaultBrushSize);
    visit("defaultBrushColorRed", p.defaultBrushColorRed);
    visit("defaultBrushColorGreen", p.defaultBrushColorGreen);
    visit("defaultBrushColorBlue", p.defaultBrushColorBlue);
    visit("defaultBrushOpacity", p.defaultBrushOpacity);
    visit("enablePressureSensitivity", p.enablePressureSensitivity);
    visit("smoothingLevel", p.smoothingLevel);
    visit("accountEmail", p.accountEmail);
    visit("accountName", p.accountName);
    visit("backendBaseURLString", p.backendBaseURLString);
    visit("triggerEnabled", p.triggerEnabled);
    visit("triggerFolderPath", p.triggerFolderPath);
    visit("triggerAIModel", p.triggerAIModel);
}

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

QJsonValue encode(bool v) { return v; }
QJsonValue encode(qint64 v) { return v; }
QJsonValue encode(double v) { return v; }
QJsonValue encode(const QString& v) { return v; }
QJsonValue encode(const QUrl& v) { return v.toString(QUrl::FullyEncoded); }
QJsonValue encode(const QRectF& r)
{
    return QJsonArray{QJsonArray{r.x(), r.y()}, QJsonArray{r.width(), r.height()}};
}
template <typename E>
    requires std::is_enum_v<E>
QJsonValue encode(E v)
{
    return rawValue(v);
}

bool decode(const QJsonValue& j, bool& out)
{
    if (!j.isBool())
        return false;
    out = j.toBool();
    return true;
}

bool decode(const QJsonValue& j, double& out)
{
    if (!j.isDouble())
        return false;
    out = j.toDouble();
    return true;
}

bool decode(const QJsonValue& j, qint64& out)
{
    // An integer member holding 4.5 is a type error, not 4.
    if (!j.isDouble())
        return false;
    const double d = j.toDouble();
    if (d != std::trunc(d) || std::abs(d) > 9007199254740992.0)
        return false;
    out = qint64(d);
    return true;
}

bool decode(const QJsonValue& j, QString& out)
{
    if (!j.isString())
        return false;
    out = j.toString();
    return true;
}

bool decode(const QJsonValue& j, QUrl& out)
{
    if (!j.isString() || j.toString().isEmpty())
        return false;
    const QUrl url(j.toString(), QUrl::StrictMode);
    if (!url.isValid())
        return false;
    out = url;
    return true;
}

bool decode(const QJsonValue& j, QRectF& out)
{
    const auto pair = [](const QJsonValue& v, double& a, double& b) {
        const QJsonArray arr = v.toArray();
        if (!v.isArray() || arr.size() != 2 || !arr[0].isDouble() || !arr[1].isDouble())
            return false;
        a = arr[0].toDouble();
        b = arr[1].toDouble();
        return true;
    };
    const QJsonArray outer = j.toArray();
    double x, y, w, h;
    if (!j.isArray() || outer.size() != 2 || !pair(outer[0], x, y) || !pair(outer[1], w, h))
        return false;
    out = QRectF(x, y, w, h);
    return true;
}

template <typename E>
    requires std::is_enum_v<E>
bool decode(const QJsonValue& j, E& out)
{
    if (!j.isString())
        return false;
    const auto value = fromRawValue<E>(j.toString());
    if (!value)
        return false;
    out = *value;
    return true;
}

} // namespace

QJsonObject UserPreferences::toJson() const
{
    QJsonObject object;
    visitFields(*this, [&object](const char* key, const auto& field) {
        using T = std::decay_t<decltype(field)>;
        if constexpr (IsOptional<T>::value) {
            if (field)
                object.insert(QLatin1StringView(key), encode(*field));
        } else {
            object.insert(QLatin1StringView(key), encode(field));
        }
    });
    return object;
}

QByteArray UserPreferences::toJsonBytes() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

std::optional<UserPreferences> UserPreferences::fromJson(const QJsonObject& object, QString* failure)
{
    UserPreferences prefs;
    QString firstFailure;
    const auto fail = [&firstFailure](const char* key, const char* sentence) {
        if (firstFailure.isEmpty())
            firstFailure = QString::fromLatin1(sentence).arg(QLatin1StringView(key));
    };
    visitFields(prefs, [&](const char* key, auto& field) {
        using T = std::decay_t<decltype(field)>;
        const QJsonValue value = object.value(QLatin1StringView(key));
        if constexpr (IsOptional<T>::value) {
            if (value.isUndefined() || value.isNull()) {
                field.reset();
            } else {
                typename T::value_type decoded;
                if (decode(value, decoded))
                    field = decoded;
                else
                    fail(key, "The value of \"%1\" is not valid.");
            }
        } else if (value.isUndefined()) {
            fail(key, "The value of \"%1\" is missing.");
        } else if (!decode(value, field)) {
            fail(key, "The value of \"%1\" is not valid.");
        }
    });
    if (!firstFailure.isEmpty()) {
        if (failure)
            *failure = firstFailure;
        return std::nullopt;
    }
    return prefs;
}

std::optional<UserPreferences> UserPreferences::fromJsonBytes(const QByteArray& bytes, QString* failure)
{
    const auto object = parseJsonObject(bytes);
    if (!object) {
        if (failure)
            *failure = QStringLiteral("The data is not a JSON object.");
        return std::nullopt;
    }
    return fromJson(*object, failure);
}

} // namespace kivo
