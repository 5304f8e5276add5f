#pragma once

#include "RemovalOptions.h"

#include <QImage>

#include <optional>

// The local engine ("Local Free Model"): removes the background of one image on this machine
// with the segmentation network, no account and no network connection.
//
// Every step is synchronous and may take seconds on a large photo: never call them on the
// window's thread. They may be called from several threads at once; the network itself serves
// one inference at a time (see ForegroundSegmenter).

namespace kivo {

// The image as the engine works on it: Format_ARGB32 (8 bits per channel, straight alpha),
// device pixel ratio 1, the input's pixel size.
struct WorkingImage {
    QImage pixels;
};

// Soft foreground mask at the working image's full pixel size.
struct ForegroundMask {
    // Format_Grayscale16: 0 is background, 65535 foreground (mask value × 65535), intermediate
    // values on soft edges.
    QImage values;
    // Connected foreground regions (mask ≥ 0.5); the mask covers all of them.
    int instanceCount = 0;
    // The cut-out's partly transparent pixels get estimated foreground colours instead of the
    // photo's (set with edge refinement).
    bool decontaminateColours = false;
};

// The working image blended over full transparency through the mask, same pixel size.
struct CompositedImage {
    // Format_ARGB32 with straight alpha, so colours stay exactly the input's: per pixel the
    // alpha is mask × input alpha and the colour is the input's; pixels whose alpha rounds to
    // 0 are transparent black, as mask × input + (1 − mask) × transparent gives in
    // premultiplied form.
    QImage pixels;
};

// Conversion of a loaded image to the working image; nothing for a null image or when the
// conversion fails (e.g. not enough memory).
std::optional<WorkingImage> makeWorkingImage(const QImage& input);

// One inference of the network at the options' input size, its answer scaled bilinearly to the
// full image, then the options' edge treatment (refinement, crisp edges). Logs and returns
// nothing when the network cannot run ("Vision request failed: …"), when no pixel of the
// network's mask reaches 0.5 and the options require a subject ("No foreground objects
// detected in the image") or when the mask
// cannot be made ("Failed to generate mask: …").
std::optional<ForegroundMask> generateForegroundMask(const WorkingImage& image, const RemovalOptions& options = {});

// mask × image + (1 − mask) × transparent, with the edge colours decontaminated when the mask
// asks for it. Nothing only when the mask does not fit the image or memory runs out.
std::optional<CompositedImage> applyForegroundMask(const ForegroundMask& mask, const WorkingImage& image);

// The cut-out as a bitmap image: Format_ARGB32 (straight alpha), the composited image's pixel
// size, device pixel ratio 1 whatever the input's was.
std::optional<QImage> renderCutout(const CompositedImage& composited);

// makeWorkingImage, generateForegroundMask, applyForegroundMask and renderCutout in a row.
std::optional<QImage> removeBackgroundLocally(const QImage& input, const RemovalOptions& options = {});

// Gives what the engine holds back to the system once no work is left: the network (unless an
// inference runs) and the heap that decoded photos and masks left free. Blocks for a moment:
// call it off the window's thread.
void releaseEngineMemory();

} // namespace kivo
