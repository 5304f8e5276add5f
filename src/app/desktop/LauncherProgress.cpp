#include "LauncherProgress.h"

#include <QDBusMessage>
#include <QVariantMap>

#include <algorithm>

namespace kivo {

LauncherProgress::LauncherProgress(QDBusConnection bus)
    : m_bus(std::move(bus))
{
}

void LauncherProgress::show(double progress)
{
    send(std::clamp(progress, 0.0, 1.0), true);
}

void LauncherProgress::hide()
{
    if (m_shown)
        send(0.0, false);
}

void LauncherProgress::send(double progress, bool visible)
{
    // The queue reports each step more than once; the docks need each value once.
    if (visible == m_shown && progress == m_progress)
        return;
    m_progress = progress;
    // Any object path will do; the docks match the application by the URI.
    QDBusMessage signal =
        QDBusMessage::createSignal(QStringLiteral("/com/kivopro/LauncherEntry"), interface, QStringLiteral("Update"));
    signal << QString(appUri)
           << QVariantMap{{QStringLiteral("progress"), progress}, {QStringLiteral("progress-visible"), visible}};
    m_bus.send(signal);
    m_shown = visible;
}

} // namespace kivo
