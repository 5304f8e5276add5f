#pragma once

#include "core/UserPreferences.h"

#include <QString>

#include <optional>

namespace kivo {

class AppState;

inline constexpr QLatin1StringView kSettingsFileName{"kivopro-settings.json"};

// The settings window's export, import and reset. Each returns the sentence the "Settings" alert
// shows.
namespace settings_file {

// Writes the preferences' JSON form to `path`, replacing the file only once every byte is
// written: a failed write leaves the old file as it was.
QString exportTo(const UserPreferences& preferences, const QString& path);

// Reads and strictly decodes the file; on success the record becomes the application's
// preferences (persisted at once), on any failure nothing changes.
QString importFrom(AppState& appState, const QString& path);

// Returns every preference to its default. The stored account and the credential store are
// left alone.
QString resetToDefaults(AppState& appState);

} // namespace settings_file

} // namespace kivo
