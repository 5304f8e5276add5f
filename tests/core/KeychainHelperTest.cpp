// Against the real Secret Service: tools/test.sh runs the suite inside a D-Bus session with an
// unlocked gnome-keyring-daemon.

#include "core/KeychainHelper.h"

#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <qt6keychain/keychain.h>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

class SecretServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            GTEST_SKIP() << "no D-Bus session (run the suite through tools/test.sh)";
    }

    QTemporaryDir dir;
    KeychainHelper keychain{KeychainHelper::Options{QStringLiteral("kivopro-test"),
                                                    dir.filePath(QStringLiteral("credentials.json")),
                                                    std::chrono::seconds(10)}};
};

// Stores raw bytes the way another program could, bypassing the helper's UTF-8 encoding.
bool storeRawBytes(const QString& service, const QString& account, const QByteArray& bytes)
{
    QKeychain::WritePasswordJob job(service);
    job.setAutoDelete(false);
    job.setKey(account);
    job.setBinaryData(bytes);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec();
    return job.error() == QKeychain::NoError;
}

} // namespace

TEST_F(SecretServiceTest, SavedValueLoadsBackAndDeleteRemovesIt)
{
    const QString value = QStringLiteral("key-äöü-✓ with spaces");
    ASSERT_TRUE(keychain.save(QStringLiteral("kivopro_api_key"), value));
    EXPECT_EQ(keychain.load(QStringLiteral("kivopro_api_key")), value);
    // The Secret Service holds it: nothing was written to the private file.
    EXPECT_FALSE(QFile::exists(keychain.fallbackFilePath()));

    ASSERT_TRUE(keychain.save(QStringLiteral("kivopro_api_key"), QStringLiteral("replaced")));
    EXPECT_EQ(keychain.load(QStringLiteral("kivopro_api_key")), u"replaced");

    keychain.deleteItem(QStringLiteral("kivopro_api_key"));
    EXPECT_EQ(keychain.load(QStringLiteral("kivopro_api_key")), std::nullopt);
}

TEST_F(SecretServiceTest, MissingAndInvalidUtf8ItemsReadAsAbsent)
{
    EXPECT_EQ(keychain.load(QStringLiteral("kivopro_never_saved")), std::nullopt);

    ASSERT_TRUE(storeRawBytes(QStringLiteral("kivopro-test"), QStringLiteral("kivopro_bad_bytes"),
                              QByteArray("\xff\xfe\x80", 3)));
    EXPECT_EQ(keychain.load(QStringLiteral("kivopro_bad_bytes")), std::nullopt);
    keychain.deleteItem(QStringLiteral("kivopro_bad_bytes"));
}
