#include "SettingsFile.h"

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

QString importFrom(AppState& appState, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("Failed to import settings: ") + file.errorString();
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("Failed to import settings: ") + file.errorString();
    QString failure;
    const auto decoded = UserPreferences::fromJsonBytes(bytes, &failure);
    if (!decoded)
        return QStringLiteral("Failed to import settings: ") + failure;
    appState.setUserPreferences(*decoded);
    return QStringLiteral("Settings imported successfully!");
}

QString resetToDefaults(AppState& appState)
{
    appState.setUserPreferences(UserPreferences{});
    return QStringLiteral("Settings reset to defaults!");
}

} // namespace kivo::settings_file
