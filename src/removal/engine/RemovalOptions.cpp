#include "RemovalOptions.h"

#include "ForegroundSegmenter.h"

#include "core/AppState.h"
#include "core/UserPreferences.h"

#include <algorithm>

namespace kivo {

namespace {

// Measured with bench/QualityModesBench on 12-megapixel photos: a third of the network's work
// at 1024 × 1024, and masks that agree with the full size's on photos with one clear subject.
constexpr int fastInputSide = 640;

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
                          preferences.preserveFineDetails};
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

} // namespace kivo
