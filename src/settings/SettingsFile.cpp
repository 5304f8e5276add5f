#include "SettingsFile.h"

#include "PreferenceLimits.h"

#include "core/AppState.h"
#include "core/AtomicFile.h"

#include <QFile>

namespace kivo::settings_file {

QString exportTo(const UserPreferences& preferences, const QString& path)
{
    if (const auto failure = writeFileAtomically(path, preferences.toJsonBytes()))
        return QStringLiteral("Failed to export settings: ") + *failure;
    return QStringLiteral("Settings exported successfully!");
}

ImportedSettings readSettingsFile(const QString& path)
{
    const QString prefix = QStringLiteral("Failed to import settings: ");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {std::nullopt, prefix + file.errorString()};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {std::nullopt, prefix + file.errorString()};
    QString failure;
    const auto decoded = UserPreferences::fromJsonBytes(bytes, &failure);
    if (!decoded)
        return {std::nullopt, prefix + failure};
    // Well-formed is not enough: a file can hold what no control would set (1000 processes).
    if (const auto fault = firstValueOutOfRange(*decoded))
        return {std::nullopt, prefix + *fault};
    return {decoded, QString()};
}

QString applyImported(AppState& appState, const UserPreferences& preferences)
{
    appState.setUserPreferences(preferences);
    return QStringLiteral("Settings imported successfully!");
}

QString importFrom(AppState& appState, const QString& path)
{
    const ImportedSettings imported = readSettingsFile(path);
    if (!imported.preferences)
        return imported.failure;
    return applyImported(appState, *imported.preferences);
}

QString resetToDefaults(AppState& appState)
{
    appState.setUserPreferences(UserPreferences{});
    return QStringLiteral("Settings reset to defaults!");
}

} // namespace kivo::settings_file
