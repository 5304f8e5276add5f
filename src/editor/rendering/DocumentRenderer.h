#pragma once

#include "CanvasRenderer.h"

#include "core/DomainModel.h"

#include <QImage>
#include <QRect>
#include <QSet>

namespace kivo {

// The base layer through the enabled filters, kept between edits. A new source of the same size
// under the same filters is filtered again only around the pixels that changed, grown by the
// filters' reach, so that the result equals filtering the whole source.
class FilteredBaseCache {
public:
    // The filtered source; `changed` receives the area of the result that changed.
    const QImage& update(const QImage& source, const QSet<QString>& filterNames, QRect* changed = nullptr);
    void clear();

    // How far one pixel's change reaches through the filter chain (the blur, then sharpening).
    static constexpr int reach = 32;

private:
    QImage m_source;
    QSet<QString> m_filterNames;
    QImage m_result;
};

// The canvas's composition of a document, kept between edits: after an edit only the area in
// which layers changed is filtered and composed again, through the same composeRegion an export
// uses, so that the two agree to the pixel.
class DocumentRenderer {
public:
    // The document composed; `changed` receives the area that changed since the last call.
    const QImage& render(const DocumentState& document, QRect* changed = nullptr);
    void clear();

private:
    FilteredBaseCache m_filters;
    DocumentState m_shown;
    QImage m_composition;
};

} // namespace kivo
