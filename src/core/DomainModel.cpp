#include "DomainModel.h"

#include "StrictDecoding.h"

#include <QJsonValue>

#include <cmath>
#include <type_traits>

namespace kivo {

QString fileExtension(ExportFormat format)
{
    switch (format) {
    case ExportFormat::png: return QStringLiteral("png");
    case ExportFormat::jpeg: return QStringLiteral("jpg");
    case ExportFormat::tiff: return QStringLiteral("tiff");
    case ExportFormat::pdf: return QStringLiteral("pdf");
    case ExportFormat::heic: return QStringLiteral("heic");
    }
    return {};
}

EditorSession EditorSession::fromImage(const QString& name, const QImage& image)
{
    ImageLayer base;
    base.name = name;
    base.image = image;
    base.isBaseLayer = true;

    EditorSession session;
    session.name = name;
    session.currentImage = image;
    session.layers = {base};
    session.selectedLayer = base;
    return session;
}

TriggerActivity::TriggerActivity(QString filename, QObject* parent)
    : QObject(parent)
    , m_filename(std::move(filename))
{
}

void TriggerActivity::setStatus(TriggerActivityStatus status)
{
    if (m_status == status)
        return;
    m_status = status;
    emit statusChanged();
}

void TriggerActivity::setResultPath(const QString& path)
{
    if (m_resultPath == path)
        return;
    m_resultPath = path;
    emit resultPathChanged();
}

void TriggerActivity::setError(std::optional<QString> error)
{
    if (m_error == error)
        return;
    m_error = std::move(error);
    emit errorChanged();
}

namespace {

// Reads one optional member: missing or null is absent; a value of another type fails the
// whole record, as it would for any typed decoder.
template <typename T>
bool readOptional(const QJsonObject& object, const char* key, std::optional<T>& out)
{
    const QJsonValue value = object.value(QLatin1StringView(key));
    if (value.isUndefined() || value.isNull()) {
        out.reset();
        return true;
    }
    if constexpr (std::is_same_v<T, QString>) {
        if (!value.isString())
            return false;
        out = value.toString();
    } else {
        const double d = value.toDouble();
        if (!value.isDouble() || d != std::trunc(d))
            return false;
        out = qint64(d);
    }
    return true;
}

} // namespace

QJsonObject AccountInfo::toJson() const
{
    QJsonObject object;
    if (id) object.insert(QLatin1StringView("id"), *id);
    if (name) object.insert(QLatin1StringView("name"), *name);
    if (email) object.insert(QLatin1StringView("email"), *email);
    if (imageURL) object.insert(QLatin1StringView("imageURL"), *imageURL);
    if (apiKey) object.insert(QLatin1StringView("apiKey"), *apiKey);
    if (credits) object.insert(QLatin1StringView("credits"), *credits);
    if (latestVersion) object.insert(QLatin1StringView("latestVersion"), *latestVersion);
    return object;
}

std::optional<AccountInfo> AccountInfo::fromJson(const QJsonObject& object)
{
    AccountInfo info;
    const bool ok = readOptional(object, "id", info.id) && readOptional(object, "name", info.name)
        && readOptional(object, "email", info.email) && readOptional(object, "imageURL", info.imageURL)
        && readOptional(object, "apiKey", info.apiKey) && readOptional(object, "credits", info.credits)
        && readOptional(object, "latestVersion", info.latestVersion);
    if (!ok)
        return std::nullopt;
    return info;
}

std::optional<AccountInfo> AccountInfo::fromJson(const QByteArray& bytes)
{
    const auto object = parseJsonObject(bytes);
    return object ? fromJson(*object) : std::nullopt;
}

} // namespace kivo
