#pragma once

#include <QDBusConnection>

namespace kivo {

// A run's progress on the application's launcher entry: the com.canonical.Unity.LauncherEntry
// Update signal, which KDE Plasma's task manager and GNOME's docks read for the entry named by
// the desktop file.
class LauncherProgress {
public:
    static constexpr QLatin1StringView interface{"com.canonical.Unity.LauncherEntry"};
    static constexpr QLatin1StringView appUri{"application://kivopro.desktop"};

    explicit LauncherProgress(QDBusConnection bus = QDBusConnection::sessionBus());

    // 0 … 1, shown.
    void show(double progress);
    // The bar goes away; nothing is sent when it is not shown.
    void hide();
    bool isShown() const { return m_shown; }

private:
    void send(double progress, bool visible);

    QDBusConnection m_bus;
    bool m_shown = false;
    double m_progress = -1;
};

} // namespace kivo
