// Runs with a D-Bus address that answers nothing, so no Secret Service is reachable and the
// private file takes its place.

#include "core/KeychainHelper.h"

#include "support/TestSupport.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

// Before main() and before any D-Bus connection exists in this process.
const bool noSecretService = qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kivopro-bus");

class KeychainFallbackTest : public ::testing::Test {
protected:
    KeychainHelper makeKeychain() const
    {
        return KeychainHelper(KeychainHelper::Options{QStringLiteral("kivopro-test"), path, std::chrono::seconds(3)});
    }

    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("private/credentials.json"));
};

} // namespace

TEST_F(KeychainFallbackTest, StoresInAnOwnerOnlyFileThatSurvivesARestart)
{
    test::StdoutCapture output;
    ASSERT_TRUE(makeKeychain().save(QStringLiteral("kivopro_api_key"), QStringLiteral("k-123")));
    ASSERT_TRUE(makeKeychain().save(QStringLiteral("kivopro_session"), QStringLiteral("s")));

    EXPECT_EQ(QFile::permissions(path), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
                                            | QFileDevice::WriteUser);
    // One line says where the secrets went; the secret itself is never printed.
    const QString printed = output.text();
    EXPECT_EQ(printed.count(QStringLiteral("[KeychainHelper]")), 1) << printed.toStdString();
    EXPECT_TRUE(printed.contains(path));
    EXPECT_FALSE(printed.contains(QStringLiteral("k-123")));

    const KeychainHelper restarted = makeKeychain();
    EXPECT_EQ(restarted.load(QStringLiteral("kivopro_api_key")), u"k-123");
    EXPECT_EQ(restarted.load(QStringLiteral("kivopro_missing")), std::nullopt);

    restarted.deleteItem(QStringLiteral("kivopro_api_key"));
    EXPECT_EQ(restarted.load(QStringLiteral("kivopro_api_key")), std::nullopt);
    EXPECT_EQ(restarted.load(QStringLiteral("kivopro_session")), u"s");
}

TEST_F(KeychainFallbackTest, InvalidUtf8OrDamagedEntriesReadAsAbsent)
{
    ASSERT_TRUE(makeKeychain().save(QStringLiteral("kivopro_api_key"), QStringLiteral("x")));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QJsonObject stored = QJsonDocument::fromJson(file.readAll()).object();
    stored.insert(QStringLiteral("bad_utf8"), QString::fromLatin1(QByteArray("\xff\xfe", 2).toBase64()));
    stored.insert(QStringLiteral("bad_base64"), QStringLiteral("!!!"));
    file.resize(0);
    file.write(QJsonDocument(stored).toJson());
    file.close();

    const KeychainHelper keychain = makeKeychain();
    EXPECT_EQ(keychain.load(QStringLiteral("bad_utf8")), std::nullopt);
    EXPECT_EQ(keychain.load(QStringLiteral("bad_base64")), std::nullopt);
    EXPECT_EQ(keychain.load(QStringLiteral("kivopro_api_key")), u"x");
}
