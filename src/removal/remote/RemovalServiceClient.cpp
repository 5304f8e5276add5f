#include "RemovalServiceClient.h"

#include "MultipartFormBody.h"
#include "RemoteEndpoint.h"

#include "core/AppConstants.h"
#include "core/KeychainHelper.h"
#include "core/Log.h"
#include "core/PngEncoder.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QPointer>
#include <QSemaphore>

#include <memory>

namespace kivo {

namespace {

const QByteArray kReturnTypeField = "return_type";
const QByteArray kReturnTypeValue = "base64";
const QByteArray kImageField = "image";

void postBatchOutcome(const QPointer<QObject>& context, const RemovalServiceClient::BatchCallback& onOutcome,
                      qsizetype index, RemoteRemovalOutcome outcome)
{
    if (!context || !onOutcome)
        return;
    QMetaObject::invokeMethod(
        context.data(), [onOutcome, index, outcome = std::move(outcome)] { onOutcome(index, outcome); },
        Qt::QueuedConnection);
}

RemoteRemovalOutcome failure(const QString& text)
{
    return {std::nullopt, text};
}

// The image part of a batch upload: the photo's bytes as they were read when the task was made,
// under the file's own name; when they could not be kept, the file as it is now. Absent when
// neither can be read.
struct ImagePart {
    QString fileName;
    QByteArray contentType;
    QByteArray bytes;
};

std::optional<ImagePart> batchImagePart(const ImageProcessingTask& task)
{
    const QString path = task.originalURL.toLocalFile();
    const QFileInfo info(path.isEmpty() ? task.originalURL.path() : path);
    const auto part = [&info](QByteArray bytes) {
        return ImagePart{info.fileName(), contentTypeForFileExtension(info.suffix()), std::move(bytes)};
    };
    if (std::optional<QByteArray> kept = task.originalImage.readBytes())
        return part(std::move(*kept));
    if (!path.isEmpty()) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            QByteArray bytes = file.readAll();
            if (file.error() == QFileDevice::NoError)
                return part(std::move(bytes));
        }
    }
    return std::nullopt;
}

// A key with a line break (or NUL) cannot travel in a header: the HTTP layer would send the
// break as is and the rest of the key would become header lines of its own.
bool fitsInHeader(const QString& key)
{
    return !key.contains(u'\r') && !key.contains(u'\n') && !key.contains(QChar(0));
}

// The processing settings, after the image: fields the service reads to treat the cut-out as the
// local engine would. "refine" is the strength (0 when refining is off), "hard_edges" the crisp
// edges instead of fine details.
void appendSettingsFields(MultipartFormBody& form, const std::optional<RemovalOptions>& options)
{
    if (!options)
        return;
    form.appendField("quality", qualityName(options->quality).toUtf8());
    form.appendField("refine", QByteArray::number(options->edgeRefinement > 0 ? options->edgeRefinement : 0.0));
    form.appendField("hard_edges", options->preserveFineDetails ? "false" : "true");
}

double secondsSince1970()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

} // namespace

RemovalServiceClient::RemovalServiceClient(const KeychainHelper& keychain)
    : RemovalServiceClient(keychain, Options{})
{
}

RemovalServiceClient::RemovalServiceClient(const KeychainHelper& keychain, Options options)
    : m_keychain(keychain)
    , m_options(options)
{
    m_exchange.setRules(m_options.upload);
}

RemovalServiceClient::~RemovalServiceClient() = default;

void RemovalServiceClient::removeBackgroundRemotely(qsizetype index, const QList<ImageProcessingTask>& tasks,
                                                    const RemoteServiceSnapshot& snapshot, QObject* context,
                                                    BatchCallback onOutcome, std::shared_ptr<UploadRun> run,
                                                    ProgressCallback onProgress)
{
    if (index < 0 || index >= tasks.size())
        return;
    const QPointer<QObject> guardedContext(context);

    const auto url = parseRemovalEndpoint(removalEndpointString(snapshot.backendBaseURLString));
    if (!url) {
        postBatchOutcome(guardedContext, onOutcome, index, failure(QStringLiteral("Invalid API endpoint")));
        return;
    }
    const auto apiKey = resolveRemovalApiKey(snapshot.accountInfo, m_keychain);
    if (!apiKey || apiKey->isEmpty()) {
        postBatchOutcome(guardedContext, onOutcome, index, failure(QStringLiteral("Missing API key")));
        return;
    }
    if (!fitsInHeader(*apiKey)) {
        postBatchOutcome(guardedContext, onOutcome, index, failure(QStringLiteral("Invalid API key")));
        return;
    }

    // The body is made when the upload's turn comes: the waiting ones hold only the task.
    const ImageProcessingTask task = tasks.at(index);
    PacedUpload upload;
    upload.make = [task, url = *url, key = apiKey->toUtf8(), options = snapshot.options] {
        MultipartFormBody form;
        form.appendField(kReturnTypeField, kReturnTypeValue);
        if (auto part = batchImagePart(task))
            form.appendFile(kImageField, part->fileName, part->contentType, part->bytes);
        appendSettingsFields(form, options);
        return std::optional(RemoteHttpRequest{url, form.contentType(), key, form.finish()});
    };
    upload.photoSize = task.originalImage.size();
    upload.run = std::move(run);
    if (onProgress)
        upload.onProgress = [guardedContext, onProgress, index](const UploadProgress& progress) {
            if (guardedContext)
                QMetaObject::invokeMethod(
                    guardedContext.data(), [onProgress, index, progress] { onProgress(index, progress); },
                    Qt::QueuedConnection);
        };
    m_exchange.sendPaced(std::move(upload), [guardedContext, onOutcome, index](const RemoteHttpResult& result) {
        postBatchOutcome(guardedContext, onOutcome, index, batchRemovalOutcome(result));
    });
}

void RemovalServiceClient::setMaxUploadsInFlight(qint64 count)
{
    m_options.upload.maxInFlight = uploadsInFlightFor(count);
    m_exchange.setRules(m_options.upload);
}

std::optional<QImage> RemovalServiceClient::removeBackgroundWithService(const QImage& image,
                                                                        const RemoteServiceSnapshot& snapshot)
{
    const auto url = parseRemovalEndpoint(removalEndpointString(snapshot.backendBaseURLString));
    if (!url) {
        logLine(QStringLiteral("[AppState] Invalid API endpoint"));
        return std::nullopt;
    }
    const auto apiKey = resolveRemovalApiKey(snapshot.accountInfo, m_keychain);
    if (!apiKey || apiKey->isEmpty()) {
        logLine(QStringLiteral("[AppState] Missing API key for Kivo processing"));
        return std::nullopt;
    }
    if (!fitsInHeader(*apiKey)) {
        logLine(QStringLiteral("[AppState] Invalid API key for Kivo processing"));
        return std::nullopt;
    }

    MultipartFormBody form;
    form.appendField(kReturnTypeField, kReturnTypeValue);
    const auto png = encodePNG(image);
    if (!png) {
        logLine(QStringLiteral("[AppState] Failed to convert image to PNG data"));
        return std::nullopt;
    }
    const QString fileName = QStringLiteral("trigger_image_") + shortestDecimalText(secondsSince1970())
        + QStringLiteral(".png");
    form.appendFile(kImageField, fileName, "image/png", *png);
    appendSettingsFields(form, snapshot.options);
    PacedUpload upload;
    upload.make = [request = RemoteHttpRequest{*url, form.contentType(), apiKey->toUtf8(), form.finish()}] {
        return std::optional(request);
    };
    upload.photoSize = image.size();
    // Giving up the wait ends the upload too: a later attempt would be charged for nothing.
    upload.run = std::make_shared<UploadRun>();
    const std::shared_ptr<UploadRun> run = upload.run;

    // The completion may come after this call has given up waiting; the cells outlive both sides.
    struct ResultCells {
        QSemaphore answered;
        QMutex mutex;
        std::optional<QImage> image;
        std::optional<QString> error;
    };
    auto cells = std::make_shared<ResultCells>();
    m_exchange.sendPaced(std::move(upload), [cells](const RemoteHttpResult& result) {
        MonitorRemovalOutcome outcome = monitorRemovalOutcome(result);
        {
            QMutexLocker lock(&cells->mutex);
            cells->image = std::move(outcome.image);
            cells->error = std::move(outcome.error);
        }
        cells->answered.release();
    });

    if (!cells->answered.tryAcquire(1, int(m_options.monitorWait.count())))
        run->cancel();

    QMutexLocker lock(&cells->mutex);
    if (cells->error)
        logLine(QStringLiteral("[AppState] Kivo API processing failed: ") + *cells->error);
    return cells->image;
}

std::optional<QString> resolveRemovalApiKey(const std::optional<AccountInfo>& accountInfo,
                                            const KeychainHelper& keychain)
{
    if (accountInfo && accountInfo->apiKey)
        return accountInfo->apiKey;
    return keychain.load(QString(kApiKeyAccount));
}

QString shortestDecimalText(double value)
{
    QString text = QString::number(value, 'f', QLocale::FloatingPointShortest);
    if (!text.contains(u'.') && !text.contains(u'n') && !text.contains(u'i'))
        text += QStringLiteral(".0");
    return text;
}

} // namespace kivo
