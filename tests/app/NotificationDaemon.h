#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <functional>

namespace kivo::test {

// A stand-in notification server on the session bus (the private bus of dbus-run-session in
// the tests): it owns org.freedesktop.Notifications on a connection of its own, records every
// Notify call, and listens for the launcher entry's Update signal.
class NotificationDaemon : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Notification {
        QString appName;
        QString icon;
        QString summary;
        QString body;
        QVariantMap hints;
    };
    struct LauncherUpdate {
        QString appUri;
        QVariantMap properties;
    };

    explicit NotificationDaemon(const QString& connectionName = QStringLiteral("kivo-test-notification-daemon"))
        : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName))
    {
        m_registered = m_bus.isConnected()
            && m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                    QDBusConnection::ExportAllSlots)
            && m_bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
        m_bus.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                      QStringLiteral("Update"), this, SLOT(onLauncherUpdate(QString, QVariantMap)));
    }
    ~NotificationDaemon() override
    {
        m_bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        m_bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        QDBusConnection::disconnectFromBus(m_bus.name());
    }

    bool isRegistered() const { return m_registered; }
    const QList<Notification>& notifications() const { return m_notifications; }
    const QList<LauncherUpdate>& launcherUpdates() const { return m_launcherUpdates; }
    // Called for every notification as it arrives (the stand-alone daemon logs it).
    std::function<void(const Notification&)> onNotify;

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int timeout)
    {
        Q_UNUSED(replacesId);
        Q_UNUSED(actions);
        Q_UNUSED(timeout);
        m_notifications.append({appName, icon, summary, body, hints});
        if (onNotify)
            onNotify(m_notifications.constLast());
        return uint(m_notifications.size());
    }
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion)
    {
        vendor = QStringLiteral("kivopro-tests");
        version = QStringLiteral("1");
        specVersion = QStringLiteral("1.2");
        return QStringLiteral("kivopro-test-notification-daemon");
    }
    void CloseNotification(uint) {}

private slots:
    void onLauncherUpdate(const QString& appUri, const QVariantMap& properties)
    {
        m_launcherUpdates.append({appUri, properties});
    }

private:
    QDBusConnection m_bus;
    bool m_registered = false;
    QList<Notification> m_notifications;
    QList<LauncherUpdate> m_launcherUpdates;
};

} // namespace kivo::test
