#include "support/TestSupport.h"

#include "core/PngEncoder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>
#include <QThread>

#include <libheif/heif.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <unistd.h>

namespace kivo::test {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

QString testDataPath(const QString& name)
{
    return QStringLiteral(KIVO_TEST_DATA_DIR "/") + name;
}

QByteArray encodeHeic(const QImage& source)
{
    const QImage rgb = source.convertToFormat(QImage::Format_RGB888);
    std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(), heif_context_free);
    heif_encoder* rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder).code != heif_error_Ok)
        return {};
    std::unique_ptr<heif_encoder, decltype(&heif_encoder_release)> encoder(rawEncoder, heif_encoder_release);
    heif_encoder_set_lossy_quality(encoder.get(), 90);

    heif_image* rawImage = nullptr;
    if (heif_image_create(rgb.width(), rgb.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &rawImage).code
        != heif_error_Ok)
        return {};
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage, heif_image_release);
    heif_image_add_plane(image.get(), heif_channel_interleaved, rgb.width(), rgb.height(), 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(plane + y * stride, rgb.constScanLine(y), size_t(rgb.width() * 3));
    if (heif_context_encode_image(context.get(), image.get(), encoder.get(), nullptr, nullptr).code != heif_error_Ok)
        return {};

    QByteArray bytes;
    heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* target) {
                           static_cast<QByteArray*>(target)->append(static_cast<const char*>(data), qsizetype(size));
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                       }};
    if (heif_context_write(context.get(), &writer, &bytes).code != heif_error_Ok)
        return {};
    return bytes;
}

CachedImage keptImage(const QImage& image)
{
    const std::optional<QByteArray> png = encodePNG(image);
    std::optional<CachedImage> kept = png ? ImageCache::shared().store(*png, QStringLiteral("png"),
                                                                       makeCardThumbnail(image), image.size())
                                          : std::nullopt;
    return kept.value_or(CachedImage());
}

StdoutCapture::StdoutCapture()
{
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/kivo-stdout-XXXXXX"));
    file.setAutoRemove(false);
    file.open();
    m_path = file.fileName();
    file.close();
    std::fflush(stdout);
    m_savedFd = ::dup(STDOUT_FILENO);
    m_captureFd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_TRUNC);
    ::dup2(m_captureFd, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    ::dup2(m_savedFd, STDOUT_FILENO);
    ::close(m_savedFd);
    ::close(m_captureFd);
    QFile::remove(m_path);
}

QString StdoutCapture::text()
{
    std::fflush(stdout);
    QFile file(m_path);
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll());
}

} // namespace kivo::test
