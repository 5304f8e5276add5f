#include "DesktopNotifier.h"

#include "core/Log.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace kivo {

DesktopNotifier::DesktopNotifier(QDBusConnection bus)
    : m_bus(std::move(bus))
{
}

void DesktopNotifier::notify(const QString& summary, const QString& body)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
    // The desktop entry lets the notification server show the application's name and icon.
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("kivopro")},
                            {QStringLiteral("category"), QStringLiteral("transfer.complete")}};
    call << QStringLiteral("KIVOPRO") << uint(0) << QStringLiteral("kivopro") << summary << body << QStringList()
         << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        const QDBusPendingReply<uint> reply = *finished;
        if (reply.isError())
            logLine(QStringLiteral("[Notifications] Not shown: ") + reply.error().message());
    });
}

} // namespace kivo
