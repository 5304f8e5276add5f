#pragma once

#include "core/UserPreferences.h"

#include <QString>

#include <optional>

namespace kivo {

// What the settings window's controls can set, checked for a record that did not come from them
// (a settings file): numbers within their control's range, choices among those offered, the
// backend an http or https address with a host. Absent when every value is acceptable;
// otherwise a sentence naming the first field at fault, in the record's order, and its value.
std::optional<QString> firstValueOutOfRange(const UserPreferences& preferences);

} // namespace kivo
