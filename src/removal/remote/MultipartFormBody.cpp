#include "MultipartFormBody.h"

#include <QUuid>

namespace kivo {

namespace {

constexpr char kCRLF[] = "\r\n";

} // namespace

QByteArray MultipartFormBody::makeBoundary()
{
    return "Boundary-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces).toUpper();
}

MultipartFormBody::MultipartFormBody(QByteArray boundary)
    : m_boundary(std::move(boundary))
{
}

QByteArray MultipartFormBody::contentType() const
{
    return "multipart/form-data; boundary=" + m_boundary;
}

void MultipartFormBody::appendField(const QByteArray& name, const QByteArray& value)
{
    m_body += "--" + m_boundary + kCRLF;
    m_body += "Content-Disposition: form-data; name=\"" + name + "\""
        + kCRLF;
    m_body += kCRLF;
    m_body += value + kCRLF;
}

void MultipartFormBody::appendFile(const QByteArray& name, const QString& fileName, const QByteArray& contentType,
                                   const QByteArray& bytes)
{
    m_body.reserve(m_body.size() + bytes.size() + 256);
    m_body += "--" + m_boundary + kCRLF;
    m_body += "Content-Disposition: form-data; name=\"" + name
        + "\"; filename=\"" + escapeMultipartFileName(fileName) + "\"" + kCRLF;
    m_body += "Content-Type: " + contentType + kCRLF;
    m_body += kCRLF;
    m_body += bytes;
    m_body += kCRLF;
}

QByteArray MultipartFormBody::finish()
{
    m_body += "--" + m_boundary + "--" + kCRLF;
    return std::exchange(m_body, {});
}

QByteArray escapeMultipartFileName(const QString& fileName)
{
    const QByteArray utf8 = fileName.toUtf8();
    QByteArray escaped;
    escaped.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '"': escaped += "%22"; break;
        case '\r': escaped += "%0D"; break;
        case '\n': escaped += "%0A"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

QByteArray contentTypeForFileExtension(const QString& extension)
{
    const QString ext = extension.toLower();
    if (ext == u"jpg" || ext == u"jpeg")
        return "image/jpeg";
    if (ext == u"png")
        return "image/png";
    if (ext == u"gif")
        return "image/gif";
    if (ext == u"bmp")
        return "image/bmp";
    if (ext == u"tiff" || ext == u"tif")
        return "image/tiff";
    if (ext == u"webp")
        return "image/webp";
    if (ext == u"heic")
        return "image/heic";
    if (ext == u"heif")
        return "image/heif";
    return "application/octet-stream";
}

} // namespace kivo
