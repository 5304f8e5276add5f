#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kivo::service {

// How passwords and API keys are kept, so that a copy of the database gives neither.
//
// Passwords: Argon2id (libsodium's string form, salt and costs included). Accounts of earlier
// versions still hold one salted SHA-256; they are moved to Argon2id at their next sign-in.
QString hashPassword(const QString& password);
bool verifyPassword(const QString& argon2Hash, const QString& password);
// For sign-ins of unknown e-mail addresses: the same work as a real check, so that the time of
// the answer does not tell which addresses have accounts.
void spendPasswordCheck(const QString& password);
bool verifyLegacyPassword(const QString& salt, const QString& sha256Hex, const QString& password);

// API keys: found by a keyed digest and kept encrypted (the application is sent its key at
// every sign-in), both with keys derived from a secret in a file outside the database.
class KeySecret {
public:
    // Reads the secret, creating the file (0600) with a fresh one when it does not exist;
    // nothing, with the reason, when it cannot be read or made.
    static std::optional<KeySecret> load(const QString& path, QString* error);

    QString digest(const QString& apiKey) const;
    QString seal(const QString& apiKey) const;
    // Nothing when the text was not sealed with this secret.
    std::optional<QString> unseal(const QString& sealed) const;

private:
    QByteArray m_digestKey;
    QByteArray m_sealKey;
};

} // namespace kivo::service
