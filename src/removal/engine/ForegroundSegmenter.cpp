#include "ForegroundSegmenter.h"

#include "core/Log.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <QThread>

#include <onnxruntime_cxx_api.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <new>
#include <thread>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kivo {

namespace {

const QString setupHint = QStringLiteral("run tools/setup.sh to fetch it");

// ONNX Runtime allows one environment per process; every session keeps it alive, so it also
// outlives sessions that are destroyed during static destruction.
std::shared_ptr<Ort::Env> sharedEnvironment()
{
    static std::shared_ptr<Ort::Env> env = [] {
        // The ONNX Runtime build we use carries a telemetry module that, when the environment is
        // created, writes an empty mat-debug-<pid>.log and a .ses file into TMPDIR, keeps an
        // event database and a device identifier under ~/.cache/Microsoft and can upload them.
        // DisableTelemetryEvents() stops none of that; only this variable, read when the
        // environment is created, does. It is set before any environment exists.
        ::setenv("ORT_DISABLE_TELEMETRY", "1", 1);
        auto created = std::make_shared<Ort::Env>(ORT_LOGGING_LEVEL_ERROR, "kivopro");
        created->DisableTelemetryEvents();
        return created;
    }();
    return env;
}

// The niceness the calling thread gets; Linux keeps it per thread. Raising it needs no
// privilege, lowering it again does: so a thread is only ever raised once, right after it was
// made, and a change of priority makes new threads instead of lowering old ones.
void setThreadNiceness(int niceness)
{
    if (niceness != 0)
        ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), niceness);
}

// Niceness of the intra-op threads ONNX Runtime makes for a session, handed to the creation
// hook below; they live as long as the program.
constexpr std::array<int, 2> sessionNiceness{0, ForegroundSegmenter::backgroundNiceness};

OrtCustomThreadHandle createInferenceThread(void* niceness, OrtThreadWorkerFn work, void* parameter)
{
    const int value = *static_cast<const int*>(niceness);
    auto* thread = new std::thread([value, work, parameter] {
        setThreadNiceness(value);
        work(parameter);
    });
    return reinterpret_cast<OrtCustomThreadHandle>(thread);
}

void joinInferenceThread(OrtCustomThreadHandle handle)
{
    auto* thread = reinterpret_cast<std::thread*>(const_cast<OrtCustomHandleType*>(handle));
    thread->join();
    delete thread;
}

bool hasShape(const Ort::ConstTensorTypeAndShapeInfo& info, const std::vector<int64_t>& shape)
{
    return info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT && info.GetShape() == shape;
}

// The accelerated providers the engine can set up, each with the runtime's defaults.
struct AcceleratedProvider {
    const char* name;
    void (*append)(Ort::SessionOptions&);
};
const AcceleratedProvider appendableProviders[] = {
    {"CUDAExecutionProvider", [](Ort::SessionOptions& options) { options.AppendExecutionProvider_CUDA(OrtCUDAProviderOptions{}); }},
    {"ROCMExecutionProvider", [](Ort::SessionOptions& options) { options.AppendExecutionProvider_ROCM(OrtROCMProviderOptions{}); }},
    {"OpenVINOExecutionProvider", [](Ort::SessionOptions& options) { options.AppendExecutionProvider_OpenVINO_V2({}); }},
};

// Appends the chosen providers before the CPU one, which the runtime always keeps last. A
// provider that cannot start (driver or library missing) is left out: the CPU still runs it all.
void appendAcceleratedProviders(Ort::SessionOptions& options, const QStringList& providers)
{
    for (const QString& chosen : providers) {
        for (const AcceleratedProvider& provider : appendableProviders) {
            if (chosen != QLatin1StringView(provider.name))
                continue;
            try {
                provider.append(options);
            } catch (const Ort::Exception& error) {
                logLine(QStringLiteral("[Engine] %1 is not used: %2").arg(chosen, QString::fromUtf8(error.what())));
            }
        }
    }
}

} // namespace

QStringList executionProvidersToAppend(const QStringList& available, bool accelerated)
{
    QStringList chosen;
    if (!accelerated)
        return chosen;
    for (const QString& name : available)
        if (std::ranges::any_of(appendableProviders, [&](const AcceleratedProvider& provider) {
                return name == QLatin1StringView(provider.name);
            }))
            chosen << name;
    return chosen;
}

struct ForegroundSegmenter::Session {
    std::shared_ptr<Ort::Env> env;
    int side = 0;
    Priority priority = Priority::normal;
    // The accelerated providers appended; wanting acceleration without any changes nothing.
    QStringList providers;
    Ort::Session session{nullptr};
    std::string inputName;
    std::string outputName;
};

QString ForegroundSegmenter::modelRelativePath()
{
    return QStringLiteral("kivopro/models/isnet-general-use-fp32-anysize.onnx");
}

bool ForegroundSegmenter::isValidInputSide(int side)
{
    return side >= inputSideStep && side <= maximumInputSide && side % inputSideStep == 0;
}

ForegroundSegmenter::ForegroundSegmenter(QString modelPath)
    : m_modelPath(std::move(modelPath))
{
}

ForegroundSegmenter::~ForegroundSegmenter() = default;

ForegroundSegmenter& ForegroundSegmenter::shared()
{
    static ForegroundSegmenter instance;
    return instance;
}

QString ForegroundSegmenter::load(int side, Priority priority, bool accelerated)
{
    std::lock_guard lock(m_mutex);
    return loadLocked(side, priority, accelerated);
}

QString ForegroundSegmenter::loadLocked(int side, Priority priority, bool accelerated)
{
    if (!isValidInputSide(side))
        return QStringLiteral("The segmentation network cannot take a %1 × %1 input").arg(side);
    static const QStringList available = acceleratedExecutionProviders();
    const QStringList providers = executionProvidersToAppend(available, accelerated);
    if (m_session && m_session->side == side && m_session->priority == priority && m_session->providers == providers)
        return {};
    // The previous session goes first, so that two never occupy memory together.
    m_session.reset();

    QString path = m_modelPath;
    if (path.isEmpty()) {
        path = QStandardPaths::locate(QStandardPaths::GenericDataLocation, modelRelativePath());
        if (path.isEmpty()) {
            return QStringLiteral("The segmentation model %1 was not found in %2; %3")
                .arg(modelRelativePath(),
                     QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation).join(QStringLiteral(", ")),
                     setupHint);
        }
    }
    const QFileInfo file(path);
    if (!file.isFile())
        return QStringLiteral("The segmentation model %1 was not found; %2").arg(path, setupHint);
    if (file.size() != expectedModelSize) {
        return QStringLiteral("The segmentation model %1 is damaged (%2 bytes, expected %3); %4 again")
            .arg(path).arg(file.size()).arg(expectedModelSize).arg(setupHint);
    }

    try {
        auto loaded = std::make_unique<Session>();
        loaded->env = sharedEnvironment();

        Ort::SessionOptions options;
        options.SetIntraOpNumThreads(QThread::idealThreadCount());
        options.SetInterOpNumThreads(1);
        options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
        // Planning the memory pattern buys no speed here but raises the peak by about 500 MB.
        options.DisableMemPattern();
        // The runtime's own worker threads start at the session's priority.
        options.SetCustomCreateThreadFn(createInferenceThread);
        options.SetCustomJoinThreadFn(joinInferenceThread);
        options.SetCustomThreadCreationOptions(const_cast<int*>(&sessionNiceness[size_t(priority)]));
        // The model names its input's free dimensions "height" and "width" (tools/model).
        options.AddFreeDimensionOverrideByName("height", side);
        options.AddFreeDimensionOverrideByName("width", side);
        appendAcceleratedProviders(options, providers);
        const QByteArray nativePath = QFile::encodeName(path);
        loaded->session = Ort::Session(*loaded->env, nativePath.constData(), options);

        Ort::AllocatorWithDefaultOptions allocator;
        const std::vector<int64_t> inputShape{1, 3, side, side};
        const std::vector<int64_t> outputShape{1, 1, side, side};
        if (loaded->session.GetInputCount() != 1 || loaded->session.GetOutputCount() < 1
            || !hasShape(loaded->session.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo(), inputShape)
            || !hasShape(loaded->session.GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo(), outputShape)) {
            return QStringLiteral("The segmentation model %1 is not the expected network; %2 again").arg(path, setupHint);
        }
        loaded->inputName = loaded->session.GetInputNameAllocated(0, allocator).get();
        loaded->outputName = loaded->session.GetOutputNameAllocated(0, allocator).get();
        loaded->side = side;
        loaded->priority = priority;
        loaded->providers = providers;
        m_session = std::move(loaded);
        return {};
    } catch (const Ort::Exception& error) {
        return QStringLiteral("The segmentation model %1 could not be loaded (%2); %3 again")
            .arg(path, QString::fromUtf8(error.what()), setupHint);
    } catch (const std::bad_alloc&) {
        return QStringLiteral("Not enough memory to load the segmentation model %1").arg(path);
    }
}

void ForegroundSegmenter::releaseIfIdle()
{
    std::unique_lock lock(m_mutex, std::try_to_lock);
    if (lock.owns_lock())
        m_session.reset();
}

ForegroundSegmenter::Result ForegroundSegmenter::segment(std::span<const float> input, int side, Priority priority,
                                                         bool accelerated)
{
    if (input.size() != 3 * size_t(side) * size_t(side))
        return {{}, QStringLiteral("The segmentation network needs a 3 × %1 × %1 input").arg(side)};

    std::lock_guard lock(m_mutex);
    if (QString error = loadLocked(side, priority, accelerated); !error.isEmpty())
        return {{}, error};
    if (priority == Priority::normal)
        return runLocked(input, side);
    // The calling thread computes its share of the inference too: in the background that share
    // runs on a thread of its own at the raised niceness, so the caller keeps its priority.
    Result result;
    std::thread runner([&] {
        setThreadNiceness(backgroundNiceness);
        result = runLocked(input, side);
    });
    runner.join();
    return result;
}

ForegroundSegmenter::Result ForegroundSegmenter::runLocked(std::span<const float> input, int side)
{
    const size_t pixelCount = size_t(side) * size_t(side);
    try {
        const auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
        const std::array<int64_t, 4> shape{1, 3, side, side};
        // ONNX Runtime only reads its inputs; the API merely lacks a const overload.
        Ort::Value tensor = Ort::Value::CreateTensor<float>(
            memory, const_cast<float*>(input.data()), input.size(), shape.data(), shape.size());
        const char* inputName = m_session->inputName.c_str();
        const char* outputName = m_session->outputName.c_str();
        std::vector<Ort::Value> outputs =
            m_session->session.Run(Ort::RunOptions{nullptr}, &inputName, &tensor, 1, &outputName, 1);

        if (outputs.size() != 1 || !outputs[0].IsTensor()
            || outputs[0].GetTensorTypeAndShapeInfo().GetElementCount() != pixelCount) {
            return {{}, QStringLiteral("The segmentation network gave an output of an unexpected size")};
        }
        const float* data = outputs[0].GetTensorData<float>();
        return {std::vector<float>(data, data + pixelCount), {}};
    } catch (const Ort::Exception& error) {
        return {{}, QStringLiteral("The segmentation network failed: %1").arg(QString::fromUtf8(error.what()))};
    } catch (const std::bad_alloc&) {
        return {{}, QStringLiteral("Not enough memory to run the segmentation network")};
    }
}

QStringList acceleratedExecutionProviders()
{
    QStringList accelerated;
    try {
        for (const std::string& provider : Ort::GetAvailableProviders())
            if (provider != "CPUExecutionProvider")
                accelerated << QString::fromStdString(provider);
    } catch (const Ort::Exception&) {
    }
    return accelerated;
}

std::vector<float> makeNetworkInput(const QImage& image, int side)
{
    const QImage argb = image.format() == QImage::Format_ARGB32 ? image : image.convertToFormat(QImage::Format_ARGB32);
    const cv::Mat pixels(argb.height(), argb.width(), CV_8UC4, const_cast<uchar*>(argb.constBits()),
                         size_t(argb.bytesPerLine()));
    cv::Mat scaled;
    cv::resize(pixels, scaled, cv::Size(side, side), 0, 0, cv::INTER_LINEAR);

    std::array<float, 256> normalised{};
    for (int value = 0; value < 256; ++value)
        normalised[size_t(value)] = float(value) / 255.0f - 0.5f;

    const int pixelCount = side * side;
    std::vector<float> planes(size_t(3 * pixelCount));
    float* red = planes.data();
    float* green = red + pixelCount;
    float* blue = green + pixelCount;
    const auto* rgb = reinterpret_cast<const QRgb*>(scaled.data);
    for (int i = 0; i < pixelCount; ++i) {
        red[i] = normalised[size_t(qRed(rgb[i]))];
        green[i] = normalised[size_t(qGreen(rgb[i]))];
        blue[i] = normalised[size_t(qBlue(rgb[i]))];
    }
    return planes;
}

std::optional<QImage> scaleNetworkMask(std::span<const float> probabilities, int side, QSize size, QString* error)
{
    auto fail = [error](const QString& reason) -> std::optional<QImage> {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    if (side <= 0 || probabilities.size() != size_t(side) * size_t(side))
        return fail(QStringLiteral("the network's mask has %1 values, expected %2 × %2").arg(probabilities.size()).arg(side));
    if (size.isEmpty())
        return fail(QStringLiteral("the image is empty"));

    QImage mask(size, QImage::Format_Grayscale16);
    if (mask.isNull())
        return fail(QStringLiteral("not enough memory for a %1 × %2 mask").arg(size.width()).arg(size.height()));

    try {
        const cv::Mat network(side, side, CV_32F, const_cast<float*>(probabilities.data()));
        cv::Mat network16;
        network.convertTo(network16, CV_16U, 65535.0);
        cv::Mat full(mask.height(), mask.width(), CV_16U, mask.bits(), size_t(mask.bytesPerLine()));
        cv::resize(network16, full, full.size(), 0, 0, cv::INTER_LINEAR);
    } catch (const cv::Exception& exception) {
        return fail(QString::fromStdString(exception.msg));
    } catch (const std::bad_alloc&) {
        return fail(QStringLiteral("not enough memory for a %1 × %2 mask").arg(size.width()).arg(size.height()));
    }
    return mask;
}

} // namespace kivo
