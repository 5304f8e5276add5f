#include "KeychainHelper.h"

#include "AtomicFile.h"

#include "Log.h"
#include "StrictDecoding.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSemaphore>
#include <QStandardPaths>
#include <QThread>

#include <qt6keychain/keychain.h>

#include <atomic>
#include <memory>

namespace kivo {

namespace {

// QtKeychain jobs need an event loop and must not be scattered over short-lived pool threads,
// so every job runs on one long-lived thread and callers wait for it with a time-out. A locked
// keyring on a desktop may open a prompt and never answer; the time-out turns that into
// "unavailable" instead of a hang.
class KeychainThread {
public:
    static KeychainThread& instance()
    {
        static KeychainThread thread;
        return thread;
    }

    QObject* context() { return &m_context; }

    ~KeychainThread()
    {
        m_thread.quit();
        m_thread.wait();
    }

private:
    KeychainThread()
    {
        m_thread.setObjectName(QStringLiteral("kivopro.keychain"));
        m_context.moveToThread(&m_thread);
        m_thread.start();
    }

    QThread m_thread;
    QObject m_context;
};

struct JobOutcome {
    bool finished = false;
    QKeychain::Error error = QKeychain::OtherError;
    QByteArray data;
};

enum class JobKind { read, write, remove };

JobOutcome runJob(JobKind kind, const QString& service, const QString& account, const QByteArray& data,
                  std::chrono::milliseconds timeout)
{
    struct Shared {
        QSemaphore done;
        QMutex mutex;
        JobOutcome outcome;
    };
    auto shared = std::make_shared<Shared>();

    QMetaObject::invokeMethod(KeychainThread::instance().context(), [=] {
        QKeychain::Job* job = nullptr;
        switch (kind) {
        case JobKind::read: job = new QKeychain::ReadPasswordJob(service); break;
        case JobKind::write: {
            auto* write = new QKeychain::WritePasswordJob(service);
            write->setBinaryData(data);
            job = write;
            break;
        }
        case JobKind::remove: job = new QKeychain::DeletePasswordJob(service); break;
        }
        job->setAutoDelete(true);
        job->setKey(account);
        QObject::connect(job, &QKeychain::Job::finished, job, [shared, kind](QKeychain::Job* finished) {
            QMutexLocker lock(&shared->mutex);
            shared->outcome.finished = true;
            shared->outcome.error = finished->error();
            if (kind == JobKind::read && finished->error() == QKeychain::NoError)
                shared->outcome.data = static_cast<QKeychain::ReadPasswordJob*>(finished)->binaryData();
            shared->done.release();
        });
        job->start();
    });

    shared->done.tryAcquire(1, int(timeout.count()));
    QMutexLocker lock(&shared->mutex);
    return shared->outcome;
}

// The fallback file: a JSON object of account name → base64 of the value's bytes, mode 0600.
QJsonObject readFallback(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

bool writeFallback(const QString& path, const QJsonObject& object)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    // The temporary file is restricted before any secret is written into it.
    return !writeFileAtomically(path, QJsonDocument(object).toJson(QJsonDocument::Compact),
                                QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

QMutex& fallbackMutex()
{
    static QMutex mutex;
    return mutex;
}

void announceFallback(const QString& path)
{
    static std::atomic_bool announced{false};
    if (!announced.exchange(true))
        logLine(QStringLiteral("[KeychainHelper] No Secret Service answered; keeping credentials in %1 (readable only by you)")
                    .arg(path));
}

} // namespace

KeychainHelper::KeychainHelper()
    : KeychainHelper(Options{})
{
}

KeychainHelper::KeychainHelper(Options options)
    : m_options(std::move(options))
{
}

KeychainHelper& KeychainHelper::standard()
{
    static KeychainHelper helper;
    return helper;
}

QString KeychainHelper::fallbackFilePath() const
{
    if (!m_options.fallbackFilePath.isEmpty())
        return m_options.fallbackFilePath;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/kivopro/credentials.json");
}

bool KeychainHelper::save(const QString& account, const QString& value) const
{
    return saveBytes(account, value.toUtf8());
}

bool KeychainHelper::saveBytes(const QString& account, const QByteArray& bytes) const
{
    const JobOutcome outcome = runJob(JobKind::write, m_options.serviceName, account, bytes, m_options.timeout);

    const QString path = fallbackFilePath();
    QMutexLocker lock(&fallbackMutex());
    QJsonObject stored = readFallback(path);
    if (outcome.finished && outcome.error == QKeychain::NoError) {
        // The Secret Service holds it now; an older copy in the file must not linger.
        if (stored.contains(account)) {
            stored.remove(account);
            writeFallback(path, stored);
        }
        return true;
    }
    announceFallback(path);
    stored.insert(account, QString::fromLatin1(bytes.toBase64()));
    return writeFallback(path, stored);
}

std::optional<QString> KeychainHelper::load(const QString& account) const
{
    const JobOutcome outcome = runJob(JobKind::read, m_options.serviceName, account, {}, m_options.timeout);
    if (outcome.finished && outcome.error == QKeychain::NoError)
        return decodeUtf8Strictly(outcome.data);

    QMutexLocker lock(&fallbackMutex());
    const QJsonValue stored = readFallback(fallbackFilePath()).value(account);
    if (!stored.isString())
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(stored.toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return decodeUtf8Strictly(*decoded);
}

void KeychainHelper::deleteItem(const QString& account) const
{
    runJob(JobKind::remove, m_options.serviceName, account, {}, m_options.timeout);

    const QString path = fallbackFilePath();
    QMutexLocker lock(&fallbackMutex());
    QJsonObject stored = readFallback(path);
    if (stored.contains(account)) {
        stored.remove(account);
        writeFallback(path, stored);
    }
}

} // namespace kivo
