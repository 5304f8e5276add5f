#pragma once

#include "core/DomainModel.h"

#include <QString>
#include <QStringView>

#include <optional>

namespace kivo {

class AppState;
struct UserPreferences;

// How the local engine treats one image: the user's processing settings. The defaults give the
// engine's plain output: the network at its full input size, its soft mask unchanged, the
// photo's own colours.
struct RemovalOptions {
    // Fast runs the network on a smaller input; High Quality always refines the edges fully.
    ProcessingQuality quality = ProcessingQuality::balanced;
    // 0 … 1: how far the mask's soft edge is drawn to the photo's own boundary; above 0 the edge
    // pixels also lose the old background's colour.
    double edgeRefinement = 0.0;
    // Off snaps the mask to a crisp edge, about one pixel wide.
    bool preserveFineDetails = true;
    // On, a photo whose mask has no clear subject (no pixel reaches 0.5) fails; off, the
    // network's mask is kept as it is ("Auto-detect subjects").
    bool requireSubject = true;
    // The inference runs at a lower CPU priority ("Process in background").
    bool lowPriority = false;
    // The network may run on an accelerated execution provider of the runtime ("Use hardware
    // acceleration" and "Use GPU acceleration" both on).
    bool accelerated = false;

    friend bool operator==(const RemovalOptions&, const RemovalOptions&) = default;
};

// The side of the square the network sees for each quality.
int networkInputSide(ProcessingQuality quality);

// The refinement strength the engine applies: the chosen one, the full one for High Quality.
double effectiveEdgeRefinement(const RemovalOptions& options);

// The options that the processing preferences describe ("Refine edges" off means strength 0).
RemovalOptions removalOptionsFromPreferences(const UserPreferences& preferences);

// The options as the user stored them at this moment. Safe on any thread: it reads the per-user
// defaults, not the window's working copy, so a change in the settings applies from the next
// image on. The batch queue and the folder monitor call it at the start of each image.
RemovalOptions storedRemovalOptions(const AppState& appState);

// The quality names of the command line and the stand-in service: "fast", "balanced", "high".
std::optional<ProcessingQuality> qualityFromName(QStringView name);
QString qualityName(ProcessingQuality quality);

} // namespace kivo
