#include "DocumentRenderer.h"

#include "ImageFilters.h"

#include "core/ImageAllocation.h"

#include <algorithm>

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
    const bool sameView = filterNames == m_shownFilters && source.size() == m_shownSource.size()
                          && !m_shownSource.isNull();
    QRect area = source.rect();
    if (filterNames.isEmpty()) {
        if (sameView)
            area = changedArea(m_shownSource, source);
    } else {
        auto kept = std::find_if(m_results.begin(), m_results.end(),
                                 [&](const Result& result) { return result.filterNames == filterNames; });
        if (kept != m_results.end() && kept->source.size() == source.size() && !kept->filtered.isNull()) {
            m_results.splice(m_results.begin(), m_results, kept);
            Result& result = m_results.front();
            if (const QRect edited = changedArea(result.source, source); !edited.isEmpty()) {
                // A pixel changes the result up to `reach` away.
                QRect grown = edited.adjusted(-reach, -reach, reach, reach).intersected(source.rect());
                if (!refilterArea(source, grown, filterNames, result.filtered)) {
                    result.filtered = filteredForDisplay(source, filterNames).value_or(source);
                    grown = source.rect();
                }
                if (sameView)
                    area = grown;
            } else if (sameView) {
                area = QRect();
            }
            result.source = source;
        } else {
            if (kept != m_results.end())
                m_results.erase(kept);
            m_results.push_front({filterNames, source, filteredForDisplay(source, filterNames).value_or(source)});
            const auto keptSize = [this] {
                qint64 bytes = 0;
                for (const Result& result : m_results)
                    bytes += result.filtered.sizeInBytes();
                return bytes;
            };
            while (m_results.size() > size_t(keptResults) || (m_results.size() > 1 && keptSize() > keptBytes)) {
                // The colour controls alone are one quick pass over the pixels; a blur or
                // sharpening takes several times longer, so those results are kept longer.
                const auto quick = std::find_if(m_results.rbegin(), std::prev(m_results.rend()), [](const Result& result) {
                    return !result.filterNames.contains(filterName(FilterType::blur))
                        && !result.filterNames.contains(filterName(FilterType::sharpen));
                });
                m_results.erase(quick == std::prev(m_results.rend()) ? std::prev(m_results.end()) : std::next(quick).base());
            }
        }
    }
    m_shownSource = source;
    m_shownFilters = filterNames;
    if (changed)
        *changed = area;
    return filterNames.isEmpty() ? m_shownSource : m_results.front().filtered;
}

void FilteredBaseCache::clear()
{
    m_results.clear();
    m_shownSource = QImage();
    m_shownFilters.clear();
}

const QImage& DocumentRenderer::render(const DocumentState& document, QRect* changed)
{
    const ImageLayer* base = baseOf(document);
    QRect area;
    if (!base || base->image.isNull()) {
        // The filtered results stay for the document's next base (an undone first import).
        m_composition = QImage();
    } else {
        QRect filteredArea;
        const QImage& filtered = m_filters.update(base->image, document.enabledFilterNames, &filteredArea);
        const QSize size = base->image.size();
        if (m_composition.size() != size || !sameArrangement(m_shown, document)) {
            // Composed whole: the kept buffer of that size is painted over, as fresh memory would
            // cost the kernel's clearing of every page first.
            if (m_composition.size() != size || !m_composition.isDetached())
                m_composition = allocateImage(size, QImage::Format_ARGB32_Premultiplied);
            area = QRect(QPoint(0, 0), size);
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
