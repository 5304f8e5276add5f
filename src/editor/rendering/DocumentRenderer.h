#pragma once

#include "CanvasRenderer.h"
#include "ImageFilters.h"

#include "core/DomainModel.h"

#include <QImage>
#include <QRect>
#include <QSet>

#include <list>

namespace kivo {

// The base layer through the enabled filters, kept between edits. A new source under the same
// filters is filtered again only around the pixels that changed, grown by the filters' reach, so
// that the result equals filtering the whole source. The results of a few earlier filter sets are
// kept too: turning a filter off and on again (an undo and a redo of it) takes the kept result,
// filtered again only where the source changed since.
class FilteredBaseCache {
public:
    // The filtered source; `changed` receives the area that changed since the last call.
    const QImage& update(const QImage& source, const QSet<QString>& filterNames, QRect* changed = nullptr);
    void clear();

    static constexpr int reach = filterReach;
    // How many filter sets keep their result: the five filters turned on one at a time can be
    // undone and redone without filtering again, on a 12 MP document (48 MB a result) too;
    // larger documents keep fewer. The least recently used result of the colour controls alone
    // goes first, else the least recently used one.
    static constexpr int keptResults = 5;
    static constexpr qint64 keptBytes = qint64(256) << 20;

private:
    struct Result {
        QSet<QString> filterNames;
        // What `filtered` was made from.
        QImage source;
        QImage filtered;
    };

    // Most recently used first.
    std::list<Result> m_results;
    QImage m_shownSource;
    QSet<QString> m_shownFilters;
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
