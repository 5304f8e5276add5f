#pragma once

#include <QByteArray>
#include <QString>

namespace kivo {

// A multipart/form-data body built byte for byte, because the removal service is strict about
// the layout: each part is "--" boundary CRLF, its headers, CRLF, the content and CRLF; the body
// ends with "--" boundary "--" CRLF.
class MultipartFormBody {
public:
    // "Boundary-" followed by a fresh upper-case UUID.
    static QByteArray makeBoundary();

    explicit MultipartFormBody(QByteArray boundary = makeBoundary());

    const QByteArray& boundary() const { return m_boundary; }
    // The request's "Content-Type" header value.
    QByteArray contentType() const;

    // Field names are the program's own constants and go in as they are; file names are escaped.
    void appendField(const QByteArray& name, const QByteArray& value);
    void appendFile(const QByteArray& name, const QString& fileName, const QByteArray& contentType,
                    const QByteArray& bytes);
    // Appends the closing delimiter and hands the body over.
    QByteArray finish();

private:
    QByteArray m_boundary;
    QByteArray m_body;
};

// A quoted Content-Disposition value cannot hold a double quote, CR or LF: a raw one ends the
// value early or starts a new header line (a file name could inject headers). They become %22,
// %0D and %0A as browsers send them; every other byte of the UTF-8 name is kept as it is.
QByteArray escapeMultipartFileName(const QString& fileName);

// The upload's content type for a file extension, compared lower-cased ("HEIC" → "image/heic");
// unknown extensions are "application/octet-stream".
QByteArray contentTypeForFileExtension(const QString& extension);

} // namespace kivo
