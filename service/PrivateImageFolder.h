#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kivo::service {

// The transactions' preview images: files readable by the service's user only (0600) in a
// folder only it can enter (0700), each under 128 random bits, so that an image can only be
// fetched by whoever was given its address.
class PrivateImageFolder {
public:
    explicit PrivateImageFolder(QString path);

    // Creates the folder or narrows its permissions; false, with the reason, on failure.
    bool prepare(QString* error);
    QString path() const { return m_path; }

    // Stores PNG bytes and returns the image's name (32 hexadecimal digits); nothing, with the
    // reason, when the file cannot be written.
    std::optional<QString> store(const QByteArray& png, QString* error) const;
    std::optional<QByteArray> read(const QString& name) const;
    void remove(const QString& name) const;

    // Whether a text is an image name of this folder (and so safe in a path).
    static bool isImageName(const QString& name);
    // The address the service serves an image under: "/images/NAME.png".
    static QString addressOf(const QString& name);
    // The name in such an address, or empty.
    static QString nameInAddress(const QString& address);

private:
    QString filePath(const QString& name) const;

    QString m_path;
};

} // namespace kivo::service
