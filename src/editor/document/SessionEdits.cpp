#include "SessionEdits.h"

#include "editor/rendering/CanvasRenderer.h"

namespace kivo {

namespace {

constexpr QSize newLayerSize{100, 100};

// Steps 3 to 5 of a history step: the snapshot becomes what the session shows.
void showSnapshot(EditorSession& session, const QImage& image)
{
    session.currentImage = image;
    session.filterBaseImage = image;
    for (ImageLayer& layer : session.layers) {
        if (layer.isBaseLayer) {
            layer.image = image;
            break;
        }
    }
    session.filteredImage = session.enabledFilterNames.isEmpty() ? std::nullopt : applyFilters(session);
}

void logAction(EditorSession& session, const QString& action)
{
    HistoryItem item;
    item.action = action;
    session.history.append(item);
}

bool stepTo(EditorSession& session, int index, const QString& action)
{
    const QImage snapshot = session.imageHistory.at(index);
    session.currentHistoryIndex = index;
    session.imageHistory.setCurrentIndex(index);
    showSnapshot(session, snapshot);
    logAction(session, action);
    return true;
}

} // namespace

EditorSession makeDefaultSession(const QDateTime& now)
{
    return makeNamedSession(QStringLiteral("Session - ") + now.toString(QStringLiteral("MM/dd/yyyy HH:mm")));
}

EditorSession makeNamedSession(const QString& name)
{
    EditorSession session;
    session.name = name;
    return session;
}

const ImageLayer* findLayer(const EditorSession& session, const QUuid& id)
{
    for (const ImageLayer& layer : session.layers)
        if (layer.id == id)
            return &layer;
    return nullptr;
}

ImageLayer* findLayer(EditorSession& session, const QUuid& id)
{
    return const_cast<ImageLayer*>(findLayer(std::as_const(session), id));
}

const ImageLayer* selectedLayerContent(const EditorSession& session)
{
    return session.selectedLayer ? findLayer(session, session.selectedLayer->id) : nullptr;
}

std::optional<QImage> targetImage(const EditorSession& session)
{
    if (session.selectedLayer) {
        const ImageLayer* layer = selectedLayerContent(session);
        return layer ? std::optional(layer->image) : std::nullopt;
    }
    return session.currentImage;
}

void storeTargetImage(EditorSession& session, const QImage& image, const QString& action)
{
    const ImageLayer* layer = selectedLayerContent(session);
    if (layer && !layer->isBaseLayer)
        updateLayerImage(session, image, layer->id, action);
    else
        saveToHistory(session, image, action);
}

void importImage(EditorSession& session, const QString& fileName, const QImage& image)
{
    const bool hasBase = std::any_of(session.layers.begin(), session.layers.end(),
                                     [](const ImageLayer& layer) { return layer.isBaseLayer; });
    ImageLayer layer;
    layer.name = fileName;
    layer.image = image;
    layer.isBaseLayer = !session.currentImage && !hasBase;
    session.layers.append(layer);
    session.selectedLayer = layer;
    if (layer.isBaseLayer)
        saveToHistory(session, image, actions::importImage);
}

void addLayer(EditorSession& session)
{
    QImage empty(newLayerSize, QImage::Format_ARGB32_Premultiplied);
    empty.fill(Qt::transparent);
    ImageLayer layer;
    layer.name = QStringLiteral("Layer %1").arg(session.layers.size() + 1);
    layer.image = empty;
    session.layers.append(layer);
    session.selectedLayer = layer;
}

bool selectLayer(EditorSession& session, const QUuid& layerId)
{
    const ImageLayer* layer = findLayer(session, layerId);
    if (!layer)
        return false;
    session.selectedLayer = *layer;
    return true;
}

bool toggleLayerVisibility(EditorSession& session, const QUuid& layerId)
{
    ImageLayer* layer = findLayer(session, layerId);
    if (!layer)
        return false;
    layer->isVisible = !layer->isVisible;
    return true;
}

bool setLayerOpacity(EditorSession& session, const QUuid& layerId, double opacity)
{
    ImageLayer* layer = findLayer(session, layerId);
    if (!layer)
        return false;
    layer->opacity = std::clamp(opacity, 0.0, 1.0);
    return true;
}

bool setLayerBlendMode(EditorSession& session, const QUuid& layerId, BlendMode mode)
{
    ImageLayer* layer = findLayer(session, layerId);
    if (!layer)
        return false;
    layer->blendMode = mode;
    return true;
}

bool moveLayer(EditorSession& session, const QUuid& draggedLayerId, const QUuid& targetLayerId)
{
    if (draggedLayerId == targetLayerId)
        return false;
    const auto dragged = std::find_if(session.layers.begin(), session.layers.end(),
                                      [&](const ImageLayer& layer) { return layer.id == draggedLayerId; });
    if (dragged == session.layers.end())
        return false;
    const ImageLayer moving = *dragged;
    session.layers.erase(dragged);
    const auto target = std::find_if(session.layers.begin(), session.layers.end(),
                                     [&](const ImageLayer& layer) { return layer.id == targetLayerId; });
    const qsizetype at = std::min(qsizetype(target - session.layers.begin()) + 1, session.layers.size());
    session.layers.insert(at, moving);
    return true;
}

bool updateLayerImage(EditorSession& session, const QImage& image, const QUuid& layerId, const QString& action)
{
    ImageLayer* layer = findLayer(session, layerId);
    if (!layer)
        return false;
    layer->image = image;
    if (const auto rendering = renderCanvasToImage(session))
        saveToHistory(session, *rendering, action);
    else
        logAction(session, action);
    return true;
}

void saveToHistory(EditorSession& session, const QImage& image, const QString& action)
{
    // A session made from an image in one step (from the batch tab, or a new blank session)
    // has a current image that never entered the history: it becomes the first snapshot, so
    // that this first edit can be undone.
    if (session.imageHistory.isEmpty() && session.currentImage) {
        session.imageHistory.append(*session.currentImage);
        session.currentHistoryIndex = 0;
    }
    const int index = session.currentHistoryIndex;
    if (index >= -1 && index < session.imageHistory.size() - 1)
        session.imageHistory.truncate(index + 1);
    session.imageHistory.append(image);
    session.currentHistoryIndex = int(session.imageHistory.size() - 1);
    showSnapshot(session, image);
    logAction(session, action);
}

bool canUndo(const EditorSession& session)
{
    return session.currentHistoryIndex >= 1;
}

bool canRedo(const EditorSession& session)
{
    return session.currentHistoryIndex >= 0 && session.currentHistoryIndex < session.imageHistory.size() - 1;
}

bool undo(EditorSession& session)
{
    return canUndo(session) && stepTo(session, session.currentHistoryIndex - 1, actions::undo);
}

bool redo(EditorSession& session)
{
    return canRedo(session) && stepTo(session, session.currentHistoryIndex + 1, actions::redo);
}

void toggleFilter(EditorSession& session, FilterType type, bool enabled)
{
    if (enabled)
        session.enabledFilterNames.insert(filterName(type));
    else
        session.enabledFilterNames.remove(filterName(type));
    if (!session.filterBaseImage)
        session.filterBaseImage = session.currentImage;
    session.filteredImage = applyFilters(session);
}

} // namespace kivo
