// Against the real Secret Service: tools/test.sh runs the suite inside a D-Bus session with an
// unlocked gnome-keyring-daemon.

#include "core/KeychainHelper.h"

#include <QFile>
#include <QTemporaryDir>

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

    // Bytes another program could have stored under the same name.
    ASSERT_TRUE(keychain.saveBytes(QStringLiteral("kivopro_bad_bytes"), QByteArray("\xff\xfe\x80", 3)));
    EXPECT_FALSE(QFile::exists(keychain.fallbackFilePath()));
    EXPECT_EQ(keychain.load(QStringLiteral("kivopro_bad_bytes")), std::nullopt);
    keychain.deleteItem(QStringLiteral("kivopro_bad_bytes"));
}
