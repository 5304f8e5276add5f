#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace kivo {

// The IS-Net segmentation network run with ONNX Runtime on the CPU (or an accelerated provider
// when the runtime has one and the user wants it). The network sees the image
// scaled to a square of `side` × `side` and answers a foreground probability (0 … 1) per pixel
// of that grid. The work grows with the square of the side: 1024 is what the network was
// trained at, smaller sides trade edge detail for speed.
//
// Loading the network takes about a second and some hundred megabytes, so the application
// shares one instance (`shared()`) for its whole life and loads it on first use. One inference
// already keeps every core busy, so calls are served one at a time.
class ForegroundSegmenter {
public:
    // The CPU priority of the inference's threads. Background runs them at a raised nice value,
    // so the desktop stays responsive during long runs ("Process in background").
    enum class Priority { normal, background };
    static constexpr int backgroundNiceness = 10;

    static constexpr int defaultInputSide = 1024;
    // The network halves its input five times and joins each level with the one above.
    static constexpr int inputSideStep = 32;
    static constexpr int maximumInputSide = 2048;
    // Size of the float32 model that tools/setup.sh prepares; a different size means a
    // truncated or foreign file.
    static constexpr qint64 expectedModelSize = 176121659;

    // Whether the network can run at side × side.
    static bool isValidInputSide(int side);

    // Where the model lives below the generic data folders (XDG_DATA_HOME, then XDG_DATA_DIRS).
    static QString modelRelativePath();

    // An empty path means: look the model up in the generic data folders when it is loaded.
    explicit ForegroundSegmenter(QString modelPath = {});
    ~ForegroundSegmenter();
    ForegroundSegmenter(const ForegroundSegmenter&) = delete;
    ForegroundSegmenter& operator=(const ForegroundSegmenter&) = delete;

    // The process-wide instance used by the engine.
    static ForegroundSegmenter& shared();

    struct Result {
        // side × side probabilities, row by row; empty on failure.
        std::vector<float> probabilities;
        // User-readable reason when `probabilities` is empty.
        QString error;
    };

    // Loads the network for inputs of side × side unless it is loaded for them already;
    // returns the error text, empty on success. A failed load is tried again on the next call,
    // so running the set-up while the application is open is enough.
    // `accelerated` adds the runtime's accelerated providers (see executionProvidersToAppend).
    QString load(int side = defaultInputSide, Priority priority = Priority::normal, bool accelerated = false);

    // One inference at side × side. `input` is planar RGB (see makeNetworkInput).
    Result segment(std::span<const float> input, int side = defaultInputSide, Priority priority = Priority::normal,
                   bool accelerated = false);

    // Gives the loaded network's memory back unless an inference is running; the next call
    // loads it again. For when the user has let go of all work (an emptied batch).
    void releaseIfIdle();

private:
    QString loadLocked(int side, Priority priority, bool accelerated);
    Result runLocked(std::span<const float> input, int side);

    struct Session;
    std::mutex m_mutex;
    QString m_modelPath;
    // The network prepared for one side. A session fixed to its side computes exactly what
    // the network computed before it took other sizes, and runs faster than one open to any
    // size; a second one would hold another few hundred megabytes, so a new side replaces it.
    std::unique_ptr<Session> m_session;
};

// The ONNX Runtime execution providers besides the plain CPU one that this runtime offers (e.g.
// "CUDAExecutionProvider"); empty for the CPU build we ship.
QStringList acceleratedExecutionProviders();

// The providers a session adds before the CPU one, given those the runtime offers: with
// acceleration wanted, the ones among them this engine can set up (CUDA, ROCm, OpenVINO), in the
// runtime's order of preference; without, none.
QStringList executionProvidersToAppend(const QStringList& available, bool accelerated);

// The network's input for an 8-bit image (Format_ARGB32): scaled bilinearly to side × side,
// planar R, G, B, each channel x / 255 − 0.5.
std::vector<float> makeNetworkInput(const QImage& image, int side = ForegroundSegmenter::defaultInputSide);

// The network's side × side probabilities scaled bilinearly to `size` as a Format_Grayscale16
// image (0 = background, 65535 = foreground). Nothing, with the reason in `error`, when the mask
// cannot be made (e.g. not enough memory for a very large image).
std::optional<QImage> scaleNetworkMask(std::span<const float> probabilities, int side, QSize size, QString* error);

} // namespace kivo
