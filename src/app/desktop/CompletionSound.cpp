#include "CompletionSound.h"

#include "core/Log.h"

#include <canberra.h>

namespace kivo {

CompletionSound::CompletionSound()
{
    if (ca_context_create(&m_context) != CA_SUCCESS) {
        m_context = nullptr;
        return;
    }
    ca_context_change_props(m_context, CA_PROP_APPLICATION_NAME, "KIVOPRO", CA_PROP_APPLICATION_ID, "kivopro",
                            CA_PROP_APPLICATION_ICON_NAME, "kivopro", nullptr);
}

CompletionSound::~CompletionSound()
{
    if (m_context)
        ca_context_destroy(m_context);
}

QString CompletionSound::play()
{
    ++m_timesPlayed;
    const int result = m_context ? ca_context_play(m_context, 0, CA_PROP_EVENT_ID, "complete",
                                                   CA_PROP_EVENT_DESCRIPTION, "Background removal finished", nullptr)
                                 : CA_ERROR_NOTAVAILABLE;
    if (result == CA_SUCCESS)
        return {};
    const QString reason = QString::fromUtf8(ca_strerror(result));
    logLine(QStringLiteral("[Sound] The completion sound did not play: ") + reason);
    return reason;
}

} // namespace kivo
