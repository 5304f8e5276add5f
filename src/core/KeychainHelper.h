#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>

namespace kivo {

// Keeps a string per account name in the Secret Service (through QtKeychain). Where no Secret
// Service answers in time, a per-user file that only its owner can read takes its place.
// Synchronous and callable from any thread: every QtKeychain job runs on one thread the helper
// owns. QtKeychain queues its jobs in one process-wide object that is not thread-safe, so nothing
// else in the process may start QtKeychain jobs of its own.
class KeychainHelper {
public:
    struct Options {
        QString serviceName = QStringLiteral("kivopro");
        QString fallbackFilePath; // empty: <user data folder>/kivopro/credentials
        std::chrono::milliseconds timeout{5000};
    };

    KeychainHelper();
    explicit KeychainHelper(Options options);

    static KeychainHelper& standard();

    // True exactly when the value was stored (in the Secret Service or the fallback file).
    bool save(const QString& account, const QString& value) const;
    // The same for bytes as they are; save() stores the value's UTF-8.
    bool saveBytes(const QString& account, const QByteArray& bytes) const;
    // Absent when nothing is stored or the stored bytes are not valid UTF-8.
    std::optional<QString> load(const QString& account) const;
    void deleteItem(const QString& account) const;

    QString fallbackFilePath() const;

private:
    Options m_options;
};

} // namespace kivo
