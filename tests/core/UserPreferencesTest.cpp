#include "core/PreferenceManager.h"
#include "core/UserPreferences.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

QJsonObject defaultsJson()
{
    return UserPreferences{}.toJson();
}

std::optional<UserPreferences> decodeWith(const char* key, const QJsonValue& value)
{
    QJsonObject json = defaultsJson();
    json.insert(QLatin1StringView(key), value);
    return UserPreferences::fromJson(json);
}

std::optional<UserPreferences> decodeWithout(const char* key)
{
    QJsonObject json = defaultsJson();
    json.remove(QLatin1StringView(key));
    return UserPreferences::fromJson(json);
}

} // namespace

TEST(UserPreferencesJson, DefaultRecordHasEveryNonOptionalMemberAndNoOptionalOne)
{
    const QJsonObject json = defaultsJson();
    EXPECT_EQ(json.size(), 41);
    for (const char* optional : {"defaultExportLocation", "accountEmail", "accountName", "triggerFolderPath"})
        EXPECT_FALSE(json.contains(QLatin1StringView(optional))) << optional;
    EXPECT_EQ(json.value(QStringLiteral("windowFrame")),
              QJsonValue(QJsonArray{QJsonArray{0, 0}, QJsonArray{0, 0}}));
    EXPECT_EQ(json.value(QStringLiteral("maxConcurrentProcesses")).toInteger(), 4);
    EXPECT_EQ(json.value(QStringLiteral("jpegQuality")).toDouble(), 0.9);
    EXPECT_EQ(json.value(QStringLiteral("defaultExportFormat")).toString(), u"PNG");
    EXPECT_EQ(json.value(QStringLiteral("processingQuality")).toString(), u"Balanced");
    EXPECT_EQ(json.value(QStringLiteral("triggerAIModel")).toString(), u"localFree");
    EXPECT_EQ(json.value(QStringLiteral("customExportPattern")).toString(), u"{original}_kivo_{date}_{time}");
    // Compact: no white space between members.
    EXPECT_FALSE(UserPreferences{}.toJsonBytes().contains(' '));
}

TEST(UserPreferencesJson, RoundTripsDefaultsAndEveryOptionalSet)
{
    EXPECT_EQ(UserPreferences::fromJsonBytes(UserPreferences{}.toJsonBytes()), UserPreferences{});

    UserPreferences full;
    full.defaultExportLocation = QUrl::fromLocalFile(QStringLiteral("/home/u/Pictures/out dir"));
    full.accountEmail = QStringLiteral("ann@x.example");
    full.accountName = QStringLiteral("Ann");
    full.triggerFolderPath = QStringLiteral("/home/u/Drop");
    full.windowFrame = QRectF(10.5, 20, 1300, 900);
    full.defaultExportFormat = ExportFormat::heic;
    full.memoryUsage = MemoryUsage::aggressive;
    full.maxConcurrentProcesses = 9;
    full.jpegQuality = 0.35;
    const auto decoded = UserPreferences::fromJsonBytes(full.toJsonBytes());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, full);
}

TEST(UserPreferencesJson, StrictDecodingRejectsTheWholeRecord)
{
    EXPECT_FALSE(decodeWithout("smoothingLevel"));
    EXPECT_FALSE(decodeWithout("windowFrame"));
    EXPECT_FALSE(decodeWith("defaultExportFormat", QStringLiteral("BMP")));
    EXPECT_FALSE(decodeWith("memoryUsage", QStringLiteral("balanced")));
    EXPECT_FALSE(decodeWith("showToolsPanel", 1));
    EXPECT_FALSE(decodeWith("maxConcurrentProcesses", 4.5));
    EXPECT_FALSE(decodeWith("maxConcurrentProcesses", QStringLiteral("4")));
    EXPECT_FALSE(decodeWith("exportSuffix", QJsonValue::Null));
    EXPECT_FALSE(decodeWith("windowFrame", QJsonArray{1, 2, 3, 4}));
    EXPECT_FALSE(decodeWith("accountEmail", 5));
    EXPECT_FALSE(decodeWith("defaultExportLocation", QStringLiteral("")));
    EXPECT_FALSE(UserPreferences::fromJsonBytes("[]"));
    EXPECT_FALSE(UserPreferences::fromJsonBytes("{\"showWelcomeScreen\": tru"));
}

TEST(UserPreferencesJson, OptionalsMayBeNullOrMissingAndUnknownMembersAreIgnored)
{
    QJsonObject json = defaultsJson();
    json.insert(QStringLiteral("accountEmail"), QJsonValue::Null);
    json.insert(QStringLiteral("somethingNew"), QStringLiteral("ignored"));
    json.insert(QStringLiteral("accountName"), QStringLiteral("Ann"));
    const auto decoded = UserPreferences::fromJson(json);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_FALSE(decoded->accountEmail.has_value());
    EXPECT_EQ(decoded->accountName, u"Ann");

    const QJsonObject written = decoded->toJson();
    EXPECT_FALSE(written.contains(QStringLiteral("accountEmail")));
    EXPECT_FALSE(written.contains(QStringLiteral("somethingNew")));
}

class PreferenceManagerTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    DefaultsStore store{dir.filePath(QStringLiteral("defaults.ini"))};
};

TEST_F(PreferenceManagerTest, LoadsDefaultsWhenNothingOrSomethingBrokenIsStored)
{
    EXPECT_EQ(PreferenceManager(store).preferences(), UserPreferences{});

    QJsonObject json = defaultsJson();
    json.insert(QStringLiteral("showWelcomeScreen"), false);
    json.remove(QStringLiteral("smoothingLevel"));
    store.setData(PreferenceManager::preferencesKey, QJsonDocument(json).toJson());
    EXPECT_EQ(PreferenceManager(store).preferences(), UserPreferences{});
    // The damaged bytes stay until the next save replaces them.
    EXPECT_EQ(store.data(PreferenceManager::preferencesKey), QJsonDocument(json).toJson());
}

TEST_F(PreferenceManagerTest, SavedPreferencesSurviveANewManager)
{
    {
        PreferenceManager manager(store);
        UserPreferences changed = manager.preferences();
        changed.exportSuffix = QStringLiteral("_cut");
        changed.triggerFolderPath = QStringLiteral("/tmp/watch");
        manager.setPreferences(changed);
        manager.save();
    }
    const PreferenceManager reloaded(store);
    EXPECT_EQ(reloaded.preferences().exportSuffix, u"_cut");
    EXPECT_EQ(reloaded.preferences().triggerFolderPath, u"/tmp/watch");
}
