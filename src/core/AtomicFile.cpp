#include "AtomicFile.h"

#include <QSaveFile>

namespace kivo {

std::optional<QString> writeFileAtomically(const QString& path, const QByteArray& bytes,
                                           std::optional<QFileDevice::Permissions> permissions)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    if (permissions && !file.setPermissions(*permissions))
        return file.errorString();
    for (qint64 written = 0; written < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + written, bytes.size() - written);
        if (n <= 0)
            return file.errorString(); // the destructor discards the temporary file
        written += n;
    }
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

} // namespace kivo
