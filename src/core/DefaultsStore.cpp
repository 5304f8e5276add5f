#include "DefaultsStore.h"

#include "AppConstants.h"
#include "AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <memory>

namespace kivo {

namespace {

std::unique_ptr<QSettings> open(const QString& iniFilePath)
{
    if (iniFilePath.isEmpty())
        return std::make_unique<QSettings>(QString(kOrganizationName), QString(kApplicationName));
    return std::make_unique<QSettings>(iniFilePath, QSettings::IniFormat);
}

// The defaults hold the account record and the preferences: only their owner may read them.
// QSettings keeps the permissions of the file it replaces, so a file made private once stays so.
void makePrivate(const QString& path)
{
    constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    constexpr QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup
        | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    const QFileInfo info(path);
    if (!info.exists()) {
        QDir().mkpath(info.absolutePath());
        writeFileAtomically(path, QByteArray(), ownerOnly);
    } else if (info.permissions() & others) {
        QFile::setPermissions(path, ownerOnly);
    }
}

std::unique_ptr<QSettings> openForWriting(const QString& iniFilePath)
{
    auto settings = open(iniFilePath);
    makePrivate(settings->fileName());
    return settings;
}

} // namespace

DefaultsStore::DefaultsStore() = default;

DefaultsStore::DefaultsStore(QString iniFilePath)
    : m_iniFilePath(std::move(iniFilePath))
{
}

DefaultsStore& DefaultsStore::standard()
{
    static DefaultsStore store;
    return store;
}

std::optional<QVariant> DefaultsStore::value(const QString& key) const
{
    QVariant value = open(m_iniFilePath)->value(key);
    if (!value.isValid())
        return std::nullopt;
    return value;
}

std::optional<QByteArray> DefaultsStore::data(const QString& key) const
{
    const auto stored = value(key);
    return stored ? std::optional(stored->toByteArray()) : std::nullopt;
}

void DefaultsStore::setData(const QString& key, const QByteArray& bytes)
{
    openForWriting(m_iniFilePath)->setValue(key, bytes);
}

double DefaultsStore::doubleValue(const QString& key) const
{
    bool ok = false;
    const double value = open(m_iniFilePath)->value(key).toDouble(&ok);
    return ok ? value : 0.0;
}

void DefaultsStore::setDouble(const QString& key, double value)
{
    openForWriting(m_iniFilePath)->setValue(key, value);
}

std::optional<QString> DefaultsStore::string(const QString& key) const
{
    const auto stored = value(key);
    return stored ? std::optional(stored->toString()) : std::nullopt;
}

void DefaultsStore::setString(const QString& key, const QString& value)
{
    openForWriting(m_iniFilePath)->setValue(key, value);
}

void DefaultsStore::remove(const QString& key)
{
    openForWriting(m_iniFilePath)->remove(key);
}

} // namespace kivo
