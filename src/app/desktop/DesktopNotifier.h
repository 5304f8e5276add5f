#pragma once

#include <QDBusConnection>
#include <QString>

namespace kivo {

// Desktop notifications through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus). The call is sent without waiting for the
// answer: a missing service never holds the window's thread.
class DesktopNotifier {
public:
    static constexpr QLatin1StringView service{"org.freedesktop.Notifications"};
    static constexpr QLatin1StringView path{"/org/freedesktop/Notifications"};

    explicit DesktopNotifier(QDBusConnection bus = QDBusConnection::sessionBus());

    void notify(const QString& summary, const QString& body);

private:
    QDBusConnection m_bus;
};

} // namespace kivo
