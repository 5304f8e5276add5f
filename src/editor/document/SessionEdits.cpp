#include "SessionEdits.h"

#include "editor/rendering/CanvasRenderer.h"

#include "core/ImageAllocation.h"

#include <QPainter>

namespace kivo {

namespace {

void logAction(EditorSession& session, const QString& action)
{
    HistoryItem item;
    item.action = action;
    session.history.append(item);
}

// The current image is the base layer's, and the selection follows its layer's content so that
// it never keeps an old image alive.
void followLayers(EditorSession& session)
{
    const ImageLayer* base = baseLayer(session);
    session.currentImage = base ? std::optional(base->image) : std::nullopt;
    if (session.selectedLayer) {
        const ImageLayer* selected = findLayer(session, session.selectedLayer->id);
        session.selectedLayer = selected ? std::optional(*selected) : std::nullopt;
    }
}

// One named change as a step: `change` returns false when it changed nothing.
template <typename Change>
bool step(EditorSession& session, const QString& action, Change change)
{
    ensureBaseLayer(session);
    const DocumentState before = documentOf(session);
    if (!change())
        return false;
    followLayers(session);
    recordStep(session, before, action);
    return true;
}

template <typename Change>
bool stepOnLayer(EditorSession& session, const QUuid& layerId, const QString& action, Change change)
{
    return step(session, action, [&] {
        ImageLayer* layer = findLayer(session, layerId);
        return layer && change(*layer);
    });
}

ImageLayer transparentLayer(const QString& name, QSize size)
{
    ImageLayer layer;
    layer.name = name;
    layer.image = allocateImage(size, QImage::Format_ARGB32_Premultiplied);
    layer.image.fill(Qt::transparent);
    return layer;
}

qsizetype indexOfLayer(const EditorSession& session, const QUuid& id)
{
    for (qsizetype i = 0; i < session.layers.size(); ++i)
        if (session.layers[i].id == id)
            return i;
    return -1;
}

bool stepTo(EditorSession& session, int index, const QString& action)
{
    const DocumentState state = session.documentHistory.at(index);
    session.currentHistoryIndex = index;
    session.documentHistory.setCurrentIndex(index);
    session.layers = state.layers;
    session.canvasBackground = state.canvasBackground;
    session.customBackgroundColor = state.customBackgroundColor;
    session.enabledFilterNames = state.enabledFilterNames;
    followLayers(session);
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
    // Non-const iteration: the list detaches from the copies that share it (earlier steps,
    // the canvas's last composition) before the caller writes through the pointer.
    for (ImageLayer& layer : session.layers)
        if (layer.id == id)
            return &layer;
    return nullptr;
}

const ImageLayer* baseLayer(const EditorSession& session)
{
    for (const ImageLayer& layer : session.layers)
        if (layer.isBaseLayer)
            return &layer;
    return nullptr;
}

const ImageLayer* selectedLayerContent(const EditorSession& session)
{
    return session.selectedLayer ? findLayer(session, session.selectedLayer->id) : nullptr;
}

const ImageLayer* targetLayer(const EditorSession& session)
{
    const ImageLayer* selected = selectedLayerContent(session);
    return selected ? selected : baseLayer(session);
}

QSize documentSize(const EditorSession& session)
{
    if (const ImageLayer* base = baseLayer(session))
        return base->image.size();
    if (session.currentImage && !session.currentImage->isNull())
        return session.currentImage->size();
    return blankDocumentSize;
}

QImage layerImage(const QImage& image)
{
    if (image.devicePixelRatio() == 1.0)
        return convertedCopy(image, QImage::Format_ARGB32_Premultiplied);
    QImage copy = convertedCopy(image, QImage::Format_ARGB32_Premultiplied);
    copy.setDevicePixelRatio(1.0);
    return copy;
}

QImage fittedInto(const QImage& image, QSize size)
{
    if (image.size() == size)
        return layerImage(image);
    QImage fitted = allocateImage(size, QImage::Format_ARGB32_Premultiplied);
    if (fitted.isNull() || image.isNull())
        return fitted;
    fitted.fill(Qt::transparent);
    const QSizeF shown = QSizeF(image.size()).scaled(QSizeF(size), Qt::KeepAspectRatio);
    const QRectF place(QPointF((size.width() - shown.width()) / 2, (size.height() - shown.height()) / 2), shown);
    QPainter painter(&fitted);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QImage source = image;
    source.setDevicePixelRatio(1.0);
    painter.drawImage(place, source);
    return fitted;
}

void ensureBaseLayer(EditorSession& session)
{
    if (baseLayer(session) || !session.currentImage || session.currentImage->isNull())
        return;
    ImageLayer base;
    base.name = session.name;
    base.image = layerImage(*session.currentImage);
    base.isBaseLayer = true;
    session.layers.prepend(base);
    session.currentImage = base.image;
}

void importImage(EditorSession& session, const QString& fileName, const QImage& image)
{
    step(session, actions::importImage, [&] {
        ImageLayer layer;
        layer.name = fileName;
        layer.isBaseLayer = !baseLayer(session);
        layer.image = layer.isBaseLayer ? layerImage(image) : fittedInto(image, documentSize(session));
        if (layer.isBaseLayer)
            session.layers.prepend(layer);
        else
            session.layers.append(layer);
        session.selectedLayer = layer;
        return true;
    });
}

void addLayer(EditorSession& session)
{
    step(session, actions::addLayer, [&] {
        const ImageLayer layer =
            transparentLayer(QStringLiteral("Layer %1").arg(session.layers.size() + 1), documentSize(session));
        session.layers.append(layer);
        session.selectedLayer = layer;
        return true;
    });
}

bool deleteLayer(EditorSession& session, const QUuid& layerId)
{
    return step(session, actions::deleteLayer, [&] {
        const qsizetype index = indexOfLayer(session, layerId);
        if (index < 0 || session.layers[index].isBaseLayer)
            return false;
        session.layers.removeAt(index);
        if (!session.selectedLayer || session.selectedLayer->id == layerId)
            session.selectedLayer = session.layers[std::max<qsizetype>(index - 1, 0)];
        return true;
    });
}

bool renameLayer(EditorSession& session, const QUuid& layerId, const QString& name)
{
    const QString trimmed = name.trimmed();
    return !trimmed.isEmpty() && stepOnLayer(session, layerId, actions::renameLayer, [&](ImageLayer& layer) {
        if (layer.name == trimmed)
            return false;
        layer.name = trimmed;
        return true;
    });
}

bool duplicateLayer(EditorSession& session, const QUuid& layerId)
{
    return step(session, actions::duplicateLayer, [&] {
        const qsizetype index = indexOfLayer(session, layerId);
        if (index < 0)
            return false;
        ImageLayer copy = session.layers[index];
        copy.id = QUuid::createUuid();
        copy.name = copy.name + QStringLiteral(" copy");
        copy.isBaseLayer = false;
        session.layers.insert(index + 1, copy);
        session.selectedLayer = copy;
        return true;
    });
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
    return stepOnLayer(session, layerId, actions::layerVisibility, [](ImageLayer& layer) {
        layer.isVisible = !layer.isVisible;
        return true;
    });
}

bool setLayerOpacity(EditorSession& session, const QUuid& layerId, double opacity, bool record)
{
    const double clamped = std::clamp(opacity, 0.0, 1.0);
    if (!record) {
        ImageLayer* layer = findLayer(session, layerId);
        if (!layer)
            return false;
        layer->opacity = clamped;
        followLayers(session);
        return true;
    }
    // The step compares with the opacity of the current step, not with the dragged value.
    ensureBaseLayer(session);
    DocumentState before = documentOf(session);
    if (session.currentHistoryIndex >= 0)
        before = session.documentHistory.at(session.currentHistoryIndex);
    ImageLayer* layer = findLayer(session, layerId);
    if (!layer)
        return false;
    layer->opacity = clamped;
    const auto previous = std::find_if(before.layers.cbegin(), before.layers.cend(),
                                       [&](const ImageLayer& l) { return l.id == layerId; });
    if (previous != before.layers.cend() && previous->opacity == clamped) {
        followLayers(session);
        return false;
    }
    followLayers(session);
    recordStep(session, before, actions::layerOpacity);
    return true;
}

bool setLayerBlendMode(EditorSession& session, const QUuid& layerId, BlendMode mode)
{
    return stepOnLayer(session, layerId, actions::blendMode, [&](ImageLayer& layer) {
        if (layer.blendMode == mode)
            return false;
        layer.blendMode = mode;
        return true;
    });
}

bool moveLayer(EditorSession& session, const QUuid& draggedLayerId, const QUuid& targetLayerId)
{
    if (draggedLayerId == targetLayerId)
        return false;
    return step(session, actions::moveLayer, [&] {
        const qsizetype from = indexOfLayer(session, draggedLayerId);
        if (from < 0 || (!targetLayerId.isNull() && indexOfLayer(session, targetLayerId) < 0))
            return false;
        const QList<ImageLayer> before = session.layers;
        const ImageLayer moving = session.layers.takeAt(from);
        const qsizetype at = targetLayerId.isNull() ? 0 : indexOfLayer(session, targetLayerId) + 1;
        session.layers.insert(at, moving);
        return session.layers != before;
    });
}

bool setCanvasBackground(EditorSession& session, CanvasBackground background)
{
    return step(session, actions::canvasBackground, [&] {
        if (session.canvasBackground == background)
            return false;
        session.canvasBackground = background;
        return true;
    });
}

bool setCustomBackgroundColor(EditorSession& session, const QColor& color)
{
    return step(session, actions::canvasBackground, [&] {
        if (session.customBackgroundColor == color)
            return false;
        session.customBackgroundColor = color;
        return true;
    });
}

bool toggleFilter(EditorSession& session, FilterType type, bool enabled)
{
    return step(session, actions::toggleFilter, [&] {
        if (session.enabledFilterNames.contains(filterName(type)) == enabled)
            return false;
        if (enabled)
            session.enabledFilterNames.insert(filterName(type));
        else
            session.enabledFilterNames.remove(filterName(type));
        return true;
    });
}

bool updateLayerImage(EditorSession& session, const QImage& image, const QUuid& layerId, const QString& action)
{
    return stepOnLayer(session, layerId, action, [&](ImageLayer& layer) {
        if (image.isNull())
            return false;
        layer.image = image.size() == layer.image.size() ? layerImage(image) : fittedInto(image, layer.image.size());
        return true;
    });
}

bool updatePaintedLayerImage(EditorSession& session, const QImage& image, const QUuid& layerId, const QString& action)
{
    // A 12-megapixel copy per brush stroke would cost more than painting it.
    if (image.format() != QImage::Format_ARGB32_Premultiplied || image.devicePixelRatio() != 1.0)
        return updateLayerImage(session, image, layerId, action);
    return stepOnLayer(session, layerId, action, [&](ImageLayer& layer) {
        if (image.isNull())
            return false;
        layer.image = image.size() == layer.image.size() ? image : fittedInto(image, layer.image.size());
        return true;
    });
}

bool cropDocument(EditorSession& session, const QRect& area)
{
    return step(session, actions::cropImage, [&] {
        const QRect inside = area.intersected(QRect(QPoint(0, 0), documentSize(session)));
        if (inside.isEmpty() || inside.size() == documentSize(session) || session.layers.isEmpty())
            return false;
        for (ImageLayer& layer : session.layers)
            layer.image = layerImage(layer.image.copy(inside));
        return true;
    });
}

void pasteImage(EditorSession& session, const QImage& image, const std::optional<QPoint>& position)
{
    if (image.isNull())
        return;
    step(session, actions::paste, [&] {
        ImageLayer layer = transparentLayer(QStringLiteral("Pasted Layer"), documentSize(session));
        if (position) {
            QPainter painter(&layer.image);
            QImage source = image;
            source.setDevicePixelRatio(1.0);
            painter.drawImage(*position, source);
        } else {
            layer.image = fittedInto(image, documentSize(session));
        }
        session.layers.append(layer);
        session.selectedLayer = layer;
        return true;
    });
}

void recordStep(EditorSession& session, const DocumentState& before, const QString& action)
{
    if (session.documentHistory.isEmpty() || session.currentHistoryIndex < 0) {
        session.documentHistory.append(before, 0);
        session.currentHistoryIndex = 0;
    }
    session.documentHistory.append(documentOf(session), session.currentHistoryIndex + 1);
    session.currentHistoryIndex = int(session.documentHistory.size() - 1);
    logAction(session, action);
}

bool canUndo(const EditorSession& session)
{
    return session.currentHistoryIndex >= 1;
}

bool canRedo(const EditorSession& session)
{
    return session.currentHistoryIndex >= 0 && session.currentHistoryIndex < session.documentHistory.size() - 1;
}

bool undo(EditorSession& session)
{
    return canUndo(session) && stepTo(session, session.currentHistoryIndex - 1, actions::undo);
}

bool redo(EditorSession& session)
{
    return canRedo(session) && stepTo(session, session.currentHistoryIndex + 1, actions::redo);
}

} // namespace kivo
