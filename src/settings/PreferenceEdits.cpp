#include "PreferenceEdits.h"

#include "core/AppState.h"
#include "core/NotificationCenter.h"

#include <algorithm>

namespace kivo {

void editPreferences(AppState& appState, QLatin1StringView notification,
                     const std::function<void(UserPreferences&)>& change)
{
    UserPreferences preferences = appState.userPreferences();
    change(preferences);
    appState.setUserPreferences(preferences);
    if (!notification.isEmpty())
        NotificationCenter::defaultCenter().post(notification);
}

QString percentText(double value)
{
    return QString::number(qint64(value * 100)) + QLatin1Char('%');
}

qint64 steppedConcurrentProcesses(qint64 current, int step)
{
    return std::clamp<qint64>(current + step, kMinConcurrentProcesses, kMaxConcurrentProcesses);
}

} // namespace kivo
