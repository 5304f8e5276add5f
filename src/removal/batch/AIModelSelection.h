#pragma once

#include "core/RawValueEnum.h"

namespace kivo {

// Which engine removes the background: the network on this machine, or the remote service.
enum class AIModelSelection { localFree, kivo };
constexpr RawValueTable<AIModelSelection, 2> rawValueTable(AIModelSelection)
{
    return {{{AIModelSelection::localFree, "Local Free Model"}, {AIModelSelection::kivo, "Kivo Model"}}};
}

// The folder monitor's preference stores the choice by its case name ("localFree", "kivo").
QString preferenceText(AIModelSelection model);
std::optional<AIModelSelection> aiModelFromPreferenceText(const QString& text);

} // namespace kivo
