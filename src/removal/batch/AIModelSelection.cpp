#include "AIModelSelection.h"

namespace kivo {

QString preferenceText(AIModelSelection model)
{
    return model == AIModelSelection::kivo ? QStringLiteral("kivo") : QStringLiteral("localFree");
}

std::optional<AIModelSelection> aiModelFromPreferenceText(const QString& text)
{
    if (text == u"localFree")
        return AIModelSelection::localFree;
    if (text == u"kivo")
        return AIModelSelection::kivo;
    return std::nullopt;
}

} // namespace kivo
