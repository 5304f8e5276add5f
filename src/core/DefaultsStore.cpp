#include "DefaultsStore.h"

#include "AppConstants.h"

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
    open(m_iniFilePath)->setValue(key, bytes);
}

double DefaultsStore::doubleValue(const QString& key) const
{
    bool ok = false;
    const double value = open(m_iniFilePath)->value(key).toDouble(&ok);
    return ok ? value : 0.0;
}

void DefaultsStore::setDouble(const QString& key, double value)
{
    open(m_iniFilePath)->setValue(key, value);
}

std::optional<QString> DefaultsStore::string(const QString& key) const
{
    const auto stored = value(key);
    return stored ? std::optional(stored->toString()) : std::nullopt;
}

void DefaultsStore::setString(const QString& key, const QString& value)
{
    open(m_iniFilePath)->setValue(key, value);
}

void DefaultsStore::remove(const QString& key)
{
    open(m_iniFilePath)->remove(key);
}

} // namespace kivo
