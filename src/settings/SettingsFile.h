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

// A settings file read, strictly decoded and checked against what the settings window's controls
// offer: the record, or the alert's "Failed to import settings: …" sentence naming the first
// member at fault.
struct ImportedSettings {
    std::optional<UserPreferences> preferences;
    QString failure;
};
ImportedSettings readSettingsFile(const QString& path);

// The imported record becomes the application's preferences (persisted at once).
QString applyImported(AppState& appState, const UserPreferences& preferences);

// readSettingsFile, then applyImported when it succeeded; on any failure nothing changes.
QString importFrom(AppState& appState, const QString& path);

// Returns every preference to its default. The stored account and the credential store are
// left alone.
QString resetToDefaults(AppState& appState);

} // namespace settings_file

} // namespace kivo
