#include "DocumentRenderer.h"

#include "ImageFilters.h"

#include "core/ImageAllocation.h"

#include <QPainter>

namespace kivo {

namespace {

const ImageLayer* baseOf(const DocumentState& document)
{
    for (const ImageLayer& layer : document.layers)
        if (layer.isBaseLayer)
            return &layer;
    return document.layers.isEmpty() ? nullptr : &document.layers.front();
}

// Whether everything but the layers' pixels is the same: then only changed pixels need composing.
bool sameArrangement(const DocumentState& a, const DocumentState& b)
{
    if (a.canvasBackground != b.canvasBackground || a.customBackgroundColor != b.customBackgroundColor
        || a.layers.size() != b.layers.size())
        return false;
    for (qsizetype i = 0; i < a.layers.size(); ++i) {
        const ImageLayer& x = a.layers[i];
        const ImageLayer& y = b.layers[i];
        if (x.id != y.id || x.opacity != y.opacity || x.blendMode != y.blendMode || x.isVisible != y.isVisible
            || x.isBaseLayer != y.isBaseLayer || x.image.size() != y.image.size())
            return false;
    }
    return true;
}

} // namespace

const QImage& FilteredBaseCache::update(const QImage& source, const QSet<QString>& filterNames, QRect* changed)
{
    QRect area;
    if (filterNames.isEmpty()) {
        area = m_filterNames.isEmpty() ? changedArea(m_source, source) : source.rect();
        m_result = source;
    } else if (filterNames != m_filterNames || source.size() != m_source.size() || m_result.isNull()) {
        m_result = applyFilterChain(source, filterNames).value_or(source);
        area = source.rect();
    } else if (const QRect edited = changedArea(m_source, source); !edited.isEmpty()) {
        // A pixel changes the result up to `reach` away, which depends on the source up to
        // `reach` further: filtering that larger piece on its own gives exact pixels inside.
        area = edited.adjusted(-reach, -reach, reach, reach).intersected(source.rect());
        const QRect input = area.adjusted(-reach, -reach, reach, reach).intersected(source.rect());
        const auto piece = applyFilterChain(source.copy(input), filterNames);
        if (piece && m_result.format() == piece->format()) {
            QPainter painter(&m_result);
            painter.setCompositionMode(QPainter::CompositionMode_Source);
            painter.drawImage(area.topLeft(), *piece, area.translated(-input.topLeft()));
        } else {
            m_result = applyFilterChain(source, filterNames).value_or(source);
            area = source.rect();
        }
    }
    m_source = source;
    m_filterNames = filterNames;
    if (changed)
        *changed = area;
    return m_result;
}

void FilteredBaseCache::clear()
{
    m_source = QImage();
    m_filterNames.clear();
    m_result = QImage();
}

const QImage& DocumentRenderer::render(const DocumentState& document, QRect* changed)
{
    const ImageLayer* base = baseOf(document);
    QRect area;
    if (!base || base->image.isNull()) {
        m_composition = QImage();
        m_filters.clear();
    } else {
        QRect filteredArea;
        const QImage& filtered = m_filters.update(base->image, document.enabledFilterNames, &filteredArea);
        const QSize size = base->image.size();
        if (m_composition.size() != size || !sameArrangement(m_shown, document)) {
            m_composition = allocateImage(size, QImage::Format_ARGB32_Premultiplied);
            area = m_composition.rect();
        } else {
            area = filteredArea;
            for (qsizetype i = 0; i < document.layers.size(); ++i)
                if (&document.layers[i] != base)
                    area |= changedArea(m_shown.layers[i].image, document.layers[i].image);
        }
        if (!m_composition.isNull() && !area.isEmpty())
            composeRegion(m_composition, area, document, document.enabledFilterNames.isEmpty() ? nullptr : &filtered);
    }
    m_shown = document;
    if (changed)
        *changed = area;
    return m_composition;
}

void DocumentRenderer::clear()
{
    m_filters.clear();
    m_shown = {};
    m_composition = QImage();
}

} // namespace kivo
