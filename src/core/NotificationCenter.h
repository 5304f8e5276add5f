#pragma once

#include <QLatin1StringView>
#include <QObject>
#include <QVariantMap>

namespace kivo {

// Notification names.
inline constexpr QLatin1StringView kKeyboardShortcutTriggered{"keyboardShortcutTriggered"};
inline constexpr QLatin1StringView kKeyboardShortcutsChanged{"com.kivopro.keyboardShortcutsChanged"};
inline constexpr QLatin1StringView kProcessAllImages{"processAllImages"};
inline constexpr QLatin1StringView kExportImage{"exportImage"};
inline constexpr QLatin1StringView kOpenSettings{"openSettings"};
inline constexpr QLatin1StringView kPreferencesChanged{"com.kivopro.preferencesChanged"};
inline constexpr QLatin1StringView kExportPreferencesChanged{"com.kivopro.exportPreferencesChanged"};
inline constexpr QLatin1StringView kProcessingPreferencesChanged{"com.kivopro.processingPreferencesChanged"};

// The application's one notification hub: named posts with an optional user-info map.
// Observers connect to `posted` and filter by name. Post from the window's thread.
class NotificationCenter : public QObject {
    Q_OBJECT
public:
    static NotificationCenter& defaultCenter();

    void post(const QString& name, const QVariantMap& userInfo = {});

signals:
    void posted(const QString& name, const QVariantMap& userInfo);

private:
    NotificationCenter() = default;
};

} // namespace kivo
