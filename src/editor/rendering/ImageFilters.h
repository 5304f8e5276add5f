#pragma once

#include "core/DomainModel.h"

#include <QImage>
#include <QSet>
#include <QString>

#include <array>
#include <optional>

namespace kivo {

// The five fixed filters, in the order in which they are always applied.
enum class FilterType { brightness, contrast, saturation, blur, sharpen };
inline constexpr std::array<FilterType, 5> allFilterTypes{FilterType::brightness, FilterType::contrast,
                                                         FilterType::saturation, FilterType::blur,
                                                         FilterType::sharpen};

// The name stored in a session's enabledFilterNames ("Brightness", "Contrast", ...).
QString filterName(FilterType type);

// The filters named in `enabledNames` applied to `source` in the fixed order, each taking the
// previous output. The result has the source's pixel size and device pixel ratio; with no
// filter named it is the source itself. Nothing when a step fails (e.g. out of memory).
std::optional<QImage> applyFilterChain(const QImage& source, const QSet<QString>& enabledNames);

// How far one pixel's change reaches through the filter chain: the blur's kernel radius (15)
// plus sharpening's (7), with room.
inline constexpr int filterReach = 32;

// The base layer as the canvas and every export show it: `source` through the filters named,
// premultiplied, worked on in stripes side by side. Nothing when a step fails.
std::optional<QImage> filteredForDisplay(const QImage& source, const QSet<QString>& enabledNames);

// Filters `area` of `source` again into the same area of `target`, an earlier result of
// filteredForDisplay for a source of the same size; the pixels are exactly those
// filteredForDisplay gives for the whole source. False when a piece could not be filtered.
bool refilterArea(const QImage& source, const QRect& area, const QSet<QString>& enabledNames, QImage& target);

} // namespace kivo
