#pragma once

#include "core/UserPreferences.h"

#include <QLatin1StringView>

#include <functional>

namespace kivo {

class AppState;

// One control's change: the working copy is copied, changed and assigned back (which persists
// it), then `notification` is posted when one is given.
void editPreferences(AppState& appState, QLatin1StringView notification,
                     const std::function<void(UserPreferences&)>& change);

// A 0…1 value as a whole percentage, truncated: 0.29 shows "28%".
QString percentText(double value);

// "Max concurrent processes" moves in steps of one inside 1…8.
inline constexpr int kMinConcurrentProcesses = 1;
inline constexpr int kMaxConcurrentProcesses = 8;
qint64 steppedConcurrentProcesses(qint64 current, int step);

} // namespace kivo
