#include "Credentials.h"

#include "core/AtomicFile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <unistd.h>

namespace kivo::service {

namespace {

// Argon2id with 2 passes over 19 MiB: about 30 ms of one core per sign-in.
constexpr unsigned long long kPasswordPasses = 2;
constexpr size_t kPasswordMemory = size_t(19) << 20;
constexpr int kSecretBytes = 32;

void initialiseSodium()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (sodium_init() < 0)
            qFatal("libsodium cannot be initialised");
    });
}

QByteArray derivedKey(const QByteArray& master, quint64 id)
{
    QByteArray key(crypto_secretbox_KEYBYTES, Qt::Uninitialized);
    crypto_kdf_derive_from_key(reinterpret_cast<unsigned char*>(key.data()), size_t(key.size()), id, "kivoapik",
                               reinterpret_cast<const unsigned char*>(master.constData()));
    return key;
}

} // namespace

QString hashPassword(const QString& password)
{
    initialiseSodium();
    const QByteArray utf8 = password.toUtf8();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(hash, utf8.constData(), size_t(utf8.size()), kPasswordPasses, kPasswordMemory,
                              crypto_pwhash_ALG_ARGON2ID13)
        != 0)
        throw std::bad_alloc();
    return QString::fromLatin1(hash);
}

bool verifyPassword(const QString& argon2Hash, const QString& password)
{
    initialiseSodium();
    const QByteArray hash = argon2Hash.toLatin1();
    const QByteArray utf8 = password.toUtf8();
    return crypto_pwhash_str_verify(hash.constData(), utf8.constData(), size_t(utf8.size())) == 0;
}

void spendPasswordCheck(const QString& password)
{
    static const QString decoy = hashPassword(QStringLiteral("no account has this password"));
    verifyPassword(decoy, password);
}

bool verifyLegacyPassword(const QString& salt, const QString& sha256Hex, const QString& password)
{
    initialiseSodium();
    const QByteArray computed = QCryptographicHash::hash((salt + password).toUtf8(), QCryptographicHash::Sha256).toHex();
    const QByteArray stored = sha256Hex.toLatin1();
    return stored.size() == computed.size() && sodium_memcmp(stored.constData(), computed.constData(), size_t(stored.size())) == 0;
}

std::optional<KeySecret> KeySecret::load(const QString& path, QString* error)
{
    initialiseSodium();
    if (!QFileInfo::exists(path)) {
        // Written whole under another name, then linked into place only if no other instance
        // starting at the same time has made one: every instance uses the same secret.
        QByteArray fresh(kSecretBytes, Qt::Uninitialized);
        randombytes_buf(fresh.data(), size_t(fresh.size()));
        const QString draft = path + QStringLiteral(".%1.new").arg(randombytes_random());
        if (const auto failure = writeFileAtomically(draft, fresh.toBase64() + '\n', QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
            *error = QStringLiteral("cannot create the key file %1: %2").arg(path, *failure);
            return std::nullopt;
        }
        const int linked = ::link(QFile::encodeName(draft).constData(), QFile::encodeName(path).constData());
        const int reason = errno;
        QFile::remove(draft);
        if (linked != 0 && reason != EEXIST) {
            *error = QStringLiteral("cannot create the key file %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(reason)));
            return std::nullopt;
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the key file %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    const QByteArray master = QByteArray::fromBase64(file.readAll().trimmed());
    if (master.size() != kSecretBytes) {
        *error = QStringLiteral("the key file %1 does not hold a %2-byte secret in Base64").arg(path).arg(kSecretBytes);
        return std::nullopt;
    }
    static_assert(crypto_kdf_KEYBYTES == kSecretBytes);
    KeySecret secret;
    secret.m_digestKey = derivedKey(master, 1);
    secret.m_sealKey = derivedKey(master, 2);
    return secret;
}

QString KeySecret::digest(const QString& apiKey) const
{
    const QByteArray key = apiKey.toUtf8();
    unsigned char out[32];
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(key.constData()), size_t(key.size()),
                       reinterpret_cast<const unsigned char*>(m_digestKey.constData()), size_t(m_digestKey.size()));
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(out), sizeof out).toHex());
}

QString KeySecret::seal(const QString& apiKey) const
{
    const QByteArray key = apiKey.toUtf8();
    QByteArray sealed(qsizetype(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES) + key.size(), Qt::Uninitialized);
    auto* nonce = reinterpret_cast<unsigned char*>(sealed.data());
    randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES, reinterpret_cast<const unsigned char*>(key.constData()),
                          size_t(key.size()), nonce, reinterpret_cast<const unsigned char*>(m_sealKey.constData()));
    return QString::fromLatin1(sealed.toBase64());
}

std::optional<QString> KeySecret::unseal(const QString& text) const
{
    const QByteArray sealed = QByteArray::fromBase64(text.toLatin1());
    if (sealed.size() < qsizetype(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES))
        return std::nullopt;
    const auto* nonce = reinterpret_cast<const unsigned char*>(sealed.constData());
    QByteArray key(sealed.size() - qsizetype(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES), Qt::Uninitialized);
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(key.data()), nonce + crypto_secretbox_NONCEBYTES,
                                   size_t(sealed.size()) - crypto_secretbox_NONCEBYTES, nonce,
                                   reinterpret_cast<const unsigned char*>(m_sealKey.constData()))
        != 0)
        return std::nullopt;
    return QString::fromUtf8(key);
}

} // namespace kivo::service
