#include "PrivateImageFolder.h"

#include "AccountStore.h"

#include "core/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace kivo::service {

namespace {

const QString kAddressPrefix = QStringLiteral("/images/");
const QString kSuffix = QStringLiteral(".png");

} // namespace

PrivateImageFolder::PrivateImageFolder(QString path)
    : m_path(std::move(path))
{
}

bool PrivateImageFolder::prepare(QString* error)
{
    if (!QDir().mkpath(m_path)) {
        *error = QStringLiteral("cannot create the image folder %1").arg(m_path);
        return false;
    }
    if (!QFile::setPermissions(m_path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) {
        *error = QStringLiteral("cannot make the image folder %1 private").arg(m_path);
        return false;
    }
    return true;
}

std::optional<QString> PrivateImageFolder::store(const QByteArray& png, QString* error) const
{
    const QString name = randomToken();
    if (const auto failure =
            kivo::writeFileAtomically(filePath(name), png, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = QStringLiteral("cannot write the image %1: %2").arg(filePath(name), *failure);
        return std::nullopt;
    }
    return name;
}

std::optional<QByteArray> PrivateImageFolder::read(const QString& name) const
{
    if (!isImageName(name))
        return std::nullopt;
    QFile file(filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

void PrivateImageFolder::remove(const QString& name) const
{
    if (isImageName(name))
        QFile::remove(filePath(name));
}

bool PrivateImageFolder::isImageName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{32}$"));
    return pattern.match(name).hasMatch();
}

QString PrivateImageFolder::addressOf(const QString& name)
{
    return kAddressPrefix + name + kSuffix;
}

QString PrivateImageFolder::nameInAddress(const QString& address)
{
    if (!address.startsWith(kAddressPrefix) || !address.endsWith(kSuffix))
        return {};
    const QString name = address.mid(kAddressPrefix.size(), address.size() - kAddressPrefix.size() - kSuffix.size());
    return isImageName(name) ? name : QString();
}

QString PrivateImageFolder::filePath(const QString& name) const
{
    return QDir(m_path).filePath(name + kSuffix);
}

} // namespace kivo::service
