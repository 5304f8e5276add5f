#include "OpenRasterFile.h"

#include "SessionEdits.h"

#include "editor/openraster/OpenRaster.h"
#include "editor/rendering/ImageFilters.h"
#include "editor/rendering/CanvasRenderer.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace kivo {

namespace {

OpenRasterDocument documentOf(const EditorSession& session, const QSize& size)
{
    OpenRasterDocument document;
    document.name = session.name;
    document.size = size;
    for (const ImageLayer& layer : session.layers) {
        OpenRasterLayer written;
        written.name = layer.name;
        written.image = layer.image;
        written.opacity = layer.opacity;
        written.visible = layer.isVisible;
        written.blend = layer.blendMode;
        written.base = layer.isBaseLayer;
        document.layers.push_back(std::move(written));
    }
    // Filters in the editor's own order, so equal sessions give equal files.
    for (FilterType type : allFilterTypes)
        if (session.enabledFilterNames.contains(filterName(type)))
            document.enabledFilters << filterName(type);
    document.background = session.canvasBackground;
    document.customBackground = session.customBackgroundColor;
    return document;
}

EditorSession sessionOf(const OpenRasterDocument& document, const QString& fallbackName)
{
    EditorSession session;
    session.name = document.name.isEmpty() ? fallbackName : document.name;
    bool haveBase = false;
    for (const OpenRasterLayer& read : document.layers) {
        ImageLayer layer;
        layer.name = read.name;
        layer.image = read.image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        layer.opacity = read.opacity;
        layer.isVisible = read.visible;
        layer.blendMode = read.blend;
        // One base layer: the bottom-most that claims it.
        layer.isBaseLayer = read.base && !haveBase;
        haveBase = haveBase || layer.isBaseLayer;
        session.layers << layer;
    }
    // Files from other programs have no base flag: the bottom layer is the base.
    if (!haveBase)
        session.layers.front().isBaseLayer = true;
    for (const QString& filter : document.enabledFilters)
        session.enabledFilterNames.insert(filter);
    session.canvasBackground = document.background;
    if (document.customBackground.isValid())
        session.customBackgroundColor = document.customBackground;
    session.currentImage = baseLayer(session)->image;
    session.selectedLayer = *baseLayer(session);
    return session;
}

} // namespace

std::optional<QString> saveSessionFile(const QString& path, const EditorSession& session)
{
    const auto merged = renderCanvasToImage(session);
    if (!merged)
        return QStringLiteral("Failed to save session: it has no image.");
    if (const auto failure = writeOpenRaster(path, documentOf(session, merged->size()), *merged))
        return QStringLiteral("Failed to save session: ") + *failure;
    return std::nullopt;
}

std::variant<OpenedDocument, QString> readSessionFile(const QString& path)
{
    auto read = readOpenRaster(path);
    if (auto* error = std::get_if<QString>(&read))
        return *error;
    const OpenedOpenRaster& opened = std::get<OpenedOpenRaster>(read);
    if (opened.document.layers.empty())
        return QStringLiteral("“%1” holds no layer the editor can open.").arg(path);
    return OpenedDocument{sessionOf(opened.document, QFileInfo(path).completeBaseName()), opened.notes};
}

QString sessionFileName(const QString& sessionName)
{
    QString name = sessionName.trimmed();
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    if (name.isEmpty() || name == u"." || name == u"..")
        name = QStringLiteral("Session");
    return name + QStringLiteral(".ora");
}

QString sessionDialogFolder(const std::optional<QString>& sessionFile)
{
    if (sessionFile) {
        const QString folder = QFileInfo(*sessionFile).absolutePath();
        if (QFileInfo(folder).isDir())
            return folder;
    }
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (QDir().mkpath(documents))
        return documents;
    return QDir::homePath();
}

} // namespace kivo
