#include "RemovalOptions.h"

#include "ForegroundSegmenter.h"

#include "core/AppState.h"
#include "core/UserPreferences.h"

#include <algorithm>

namespace kivo {

namespace {

// Chosen with bench/QualityModesBench: a third of the network's time at 1024 × 1024, so that a
// whole 12-megapixel photo (decoding and encoding included) takes well under half the Balanced
// time, where 640 lands just above it; on photos with one clear subject the masks agree with
// the full size's (IoU ≥ 0.98) as well as at 640.
constexpr int fastInputSide = 576;

} // namespace

int networkInputSide(ProcessingQuality quality)
{
    return quality == ProcessingQuality::fast ? fastInputSide : ForegroundSegmenter::defaultInputSide;
}

double effectiveEdgeRefinement(const RemovalOptions& options)
{
    if (options.quality == ProcessingQuality::highQuality)
        return 1.0;
    // Also keeps a NaN from a hand-edited settings file out of the filters.
    return options.edgeRefinement > 0 ? std::min(options.edgeRefinement, 1.0) : 0.0;
}

RemovalOptions removalOptionsFromPreferences(const UserPreferences& preferences)
{
    return RemovalOptions{preferences.processingQuality, preferences.refineEdges ? preferences.edgeRefinement : 0.0,
                          preferences.preserveFineDetails, preferences.autoDetectSubjects,
                          preferences.processInBackground,
                          preferences.useHardwareAcceleration && preferences.useGPUAcceleration};
}

RemovalOptions storedRemovalOptions(const AppState& appState)
{
    return removalOptionsFromPreferences(appState.storedPreferences());
}

std::optional<ProcessingQuality> qualityFromName(QStringView name)
{
    if (name == u"fast")
        return ProcessingQuality::fast;
    if (name == u"balanced")
        return ProcessingQuality::balanced;
    if (name == u"high")
        return ProcessingQuality::highQuality;
    return std::nullopt;
}

QString qualityName(ProcessingQuality quality)
{
    switch (quality) {
    case ProcessingQuality::fast:
        return QStringLiteral("fast");
    case ProcessingQuality::highQuality:
        return QStringLiteral("high");
    case ProcessingQuality::balanced:
        break;
    }
    return QStringLiteral("balanced");
}

} // namespace kivo
