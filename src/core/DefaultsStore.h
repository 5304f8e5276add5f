#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

namespace kivo {

// The per-user defaults: bytes, doubles and strings under string keys, kept by QSettings
// ("kivopro", "kivopro") in its native format. Usable from any thread: every operation opens
// its own QSettings, and QSettings serialises access to the shared file itself.
class DefaultsStore {
public:
    // The user's standard store.
    DefaultsStore();
    // A store kept in the given INI file (tests, tools).
    explicit DefaultsStore(QString iniFilePath);

    static DefaultsStore& standard();

    std::optional<QByteArray> data(const QString& key) const;
    void setData(const QString& key, const QByteArray& bytes);

    // 0 when missing or not a number.
    double doubleValue(const QString& key) const;
    void setDouble(const QString& key, double value);

    std::optional<QString> string(const QString& key) const;
    void setString(const QString& key, const QString& value);

    void remove(const QString& key);

private:
    std::optional<QVariant> value(const QString& key) const;

    QString m_iniFilePath; // empty: the standard store
};

} // namespace kivo
