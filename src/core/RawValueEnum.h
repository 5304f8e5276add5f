#pragma once

#include <QString>
#include <QStringView>

#include <array>
#include <optional>
#include <utility>

namespace kivo {

// An enumeration whose cases carry a fixed text (shown to the user and written to JSON).
// Each such enumeration provides `rawValueTable(E)` returning its cases in display order.
template <typename E, std::size_t N>
using RawValueTable = std::array<std::pair<E, const char*>, N>;

template <typename E>
QString rawValue(E value)
{
    for (const auto& [e, text] : rawValueTable(E{}))
        if (e == value)
            return QString::fromLatin1(text);
    return {};
}

// Only the exact raw text converts; anything else yields no value.
template <typename E>
std::optional<E> fromRawValue(QStringView text)
{
    for (const auto& [e, raw] : rawValueTable(E{}))
        if (text == QLatin1StringView(raw))
            return e;
    return std::nullopt;
}

template <typename E>
auto allCases()
{
    constexpr auto table = rawValueTable(E{});
    std::array<E, table.size()> cases{};
    for (std::size_t i = 0; i < table.size(); ++i)
        cases[i] = table[i].first;
    return cases;
}

} // namespace kivo
