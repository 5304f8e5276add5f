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
}

RemovalServiceClient::~RemovalServiceClient() = default;

void RemovalServiceClient::removeBackgroundRemotely(qsizetype index, const QList<ImageProcessingTask>& tasks,
                                                    const RemoteServiceSnapshot& snapshot, QObject* context,
                                                    BatchCallback onOutcome)
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

    MultipartFormBody form;
    form.appendField(kReturnTypeField, kReturnTypeValue);
    if (auto part = batchImagePart(tasks.at(index)))
        form.appendFile(kImageField, part->fileName, part->contentType, part->bytes);
    RemoteHttpRequest request{*url, form.contentType(), apiKey->toUtf8(), form.finish()};

    m_exchange.send(std::move(request), m_options.requestTimeout,
                    [guardedContext, onOutcome, index](const RemoteHttpResult& result) {
                        postBatchOutcome(guardedContext, onOutcome, index, batchRemovalOutcome(result));
                    });
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
    RemoteHttpRequest request{*url, form.contentType(), apiKey->toUtf8(), form.finish()};

    // The completion may come after this call has given up waiting; the cells outlive both sides.
    struct ResultCells {
        QSemaphore answered;
        QMutex mutex;
        std::optional<QImage> image;
        std::optional<QString> error;
    };
    auto cells = std::make_shared<ResultCells>();
    m_exchange.send(std::move(request), m_options.requestTimeout, [cells](const RemoteHttpResult& result) {
        MonitorRemovalOutcome outcome = monitorRemovalOutcome(result);
        {
            QMutexLocker lock(&cells->mutex);
            cells->image = std::move(outcome.image);
            cells->error = std::move(outcome.error);
        }
        cells->answered.release();
    });

    cells->answered.tryAcquire(1, int(m_options.monitorWait.count()));

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
