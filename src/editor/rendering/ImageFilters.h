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

} // namespace kivo
