#include "settings/SettingsFile.h"
#include "support/IsolatedAppState.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <vector>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

class SettingsFileTest : public ::testing::Test {
protected:
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    QString path = isolated.folder.filePath(QString(kSettingsFileName));

    static UserPreferences everyFieldChanged()
    {
        UserPreferences p;
        p.showWelcomeScreen = false;
        p.processingQuality = ProcessingQuality::highQuality;
        p.maxConcurrentProcesses = 7;
        p.defaultExportFormat = ExportFormat::heic;
        p.jpegQuality = 0.29;
        p.defaultExportLocation = QUrl::fromLocalFile(QStringLiteral("/tmp/exports"));
        p.exportNamingPattern = QStringLiteral("custom");
        p.customExportPattern = QStringLiteral("{original}-{counter}");
        p.exportSuffix = QStringLiteral("_cut");
        p.edgeRefinement = 0.75;
        p.memoryUsage = MemoryUsage::aggressive;
        p.showToolsPanel = false;
        p.zoomLevel = 2.5;
        p.windowFrame = QRectF(10, 20, 1300, 900);
        p.smoothingLevel = 0.2;
        p.accountEmail = QStringLiteral("ada@example.com");
        p.accountName = QStringLiteral("Ada");
        p.backendBaseURLString = QStringLiteral("http://127.0.0.1:8080");
        p.triggerEnabled = true;
        p.triggerFolderPath = QStringLiteral("/tmp/watched");
        p.triggerAIModel = QStringLiteral("kivo");
        return p;
    }
};

} // namespace

TEST_F(SettingsFileTest, ExportThenImportRestoresEveryField)
{
    const UserPreferences changed = everyFieldChanged();
    state.setUserPreferences(changed);
    EXPECT_EQ(settings_file::exportTo(state.userPreferences(), path), u"Settings exported successfully!");

    state.setUserPreferences(UserPreferences{});
    EXPECT_EQ(settings_file::importFrom(state, path), u"Settings imported successfully!");
    EXPECT_EQ(state.userPreferences(), changed);
    EXPECT_EQ(isolated.preferences.loadPreferences(), changed); // persisted
    EXPECT_EQ(state.backendBaseURL(), QUrl(QStringLiteral("http://127.0.0.1:8080")));
}

TEST_F(SettingsFileTest, AFailedImportNamesTheReasonAndChangesNothing)
{
    const UserPreferences before = everyFieldChanged();
    state.setUserPreferences(before);
    QJsonObject json = UserPreferences{}.toJson();
    json.remove(QStringLiteral("smoothingLevel"));
    const auto write = [this](const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };
    write(QJsonDocument(json).toJson());
    EXPECT_EQ(settings_file::importFrom(state, path),
              u"Failed to import settings: The value of \"smoothingLevel\" is missing.");

    json = UserPreferences{}.toJson();
    json.insert(QStringLiteral("defaultExportFormat"), QStringLiteral("BMP"));
    write(QJsonDocument(json).toJson());
    EXPECT_EQ(settings_file::importFrom(state, path),
              u"Failed to import settings: The value of \"defaultExportFormat\" is not valid.");

    write("not json");
    EXPECT_EQ(settings_file::importFrom(state, path), u"Failed to import settings: The data is not a JSON object.");

    EXPECT_TRUE(settings_file::importFrom(state, path + QStringLiteral(".missing"))
                    .startsWith(u"Failed to import settings: "));
    EXPECT_EQ(state.userPreferences(), before);
    EXPECT_EQ(isolated.preferences.loadPreferences(), before);
}

TEST_F(SettingsFileTest, AFailedExportLeavesTheOldFileWhole)
{
    const QByteArray old = UserPreferences{}.toJsonBytes();
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(old);
    }
    // Writes beyond 64 bytes fail (EFBIG) for the moment, as on a full disk. A file this short
    // stays in QSaveFile's buffer until commit, where a failed flush used to go unnoticed.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &small);
    const QString message = settings_file::exportTo(everyFieldChanged(), path);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(message, u"Failed to export settings: File too large");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), old);

    EXPECT_TRUE(settings_file::exportTo(UserPreferences{}, isolated.folder.filePath(QStringLiteral("no/such/dir.json")))
                    .startsWith(u"Failed to export settings: "));
}

TEST_F(SettingsFileTest, ResetKeepsTheSessionOfTheSameServerAndEndsOneOfAnother)
{
    AccountInfo account;
    account.email = QStringLiteral("ada@example.com");
    UserPreferences changed = everyFieldChanged();
    changed.backendBaseURLString = UserPreferences{}.backendBaseURLString;
    state.setUserPreferences(changed);
    state.saveAccountInfo(account, 7);
    ASSERT_TRUE(isolated.keychain.save(QString(kApiKeyAccount), QStringLiteral("key-123")));

    EXPECT_EQ(settings_file::resetToDefaults(state), u"Settings reset to defaults!");
    EXPECT_EQ(state.userPreferences(), UserPreferences{});
    EXPECT_EQ(isolated.preferences.loadPreferences(), UserPreferences{});
    EXPECT_EQ(state.loadAccountInfo(), account);
    EXPECT_EQ(isolated.keychain.load(QString(kApiKeyAccount)), u"key-123");

    // Signed in at another server, the reset takes the key's server away: the session ends.
    state.logout();
    state.setUserPreferences(everyFieldChanged());
    state.saveAccountInfo(account, 7);
    state.setAccountInfo(account);
    state.setAuthenticated(true);
    ASSERT_TRUE(isolated.keychain.save(QString(kApiKeyAccount), QStringLiteral("key-123")));
    EXPECT_TRUE(state.wouldSignOut(UserPreferences{}));
    EXPECT_EQ(settings_file::resetToDefaults(state), u"Settings reset to defaults!");
    EXPECT_FALSE(state.isAuthenticated());
    EXPECT_FALSE(state.loadAccountInfo().has_value());
    EXPECT_FALSE(isolated.keychain.load(QString(kApiKeyAccount)).has_value());
}

TEST_F(SettingsFileTest, ImportAcceptsOnlyWhatTheControlsOfferAndNamesTheFirstBadKey)
{
    const UserPreferences before = everyFieldChanged();
    state.setUserPreferences(before);
    const struct {
        std::vector<std::pair<const char*, QJsonValue>> members;
        QString failure; // empty: accepted
    } cases[] = {
        {{{"jpegQuality", 57}}, u"“jpegQuality” is 57; it must be between 0.1 and 1."_s},
        {{{"jpegQuality", 0.05}}, u"“jpegQuality” is 0.05; it must be between 0.1 and 1."_s},
        {{{"jpegQuality", 0.1}}, QString()},
        {{{"maxConcurrentProcesses", 1000}}, u"“maxConcurrentProcesses” is 1000; it must be between 1 and 8."_s},
        {{{"maxConcurrentProcesses", 0}}, u"“maxConcurrentProcesses” is 0; it must be between 1 and 8."_s},
        {{{"maxConcurrentProcesses", 8}}, QString()},
        {{{"edgeRefinement", -3}}, u"“edgeRefinement” is -3; it must be between 0 and 1."_s},
        {{{"defaultExportFormat", "PDF"}}, u"“defaultExportFormat” is “PDF”; it must be one of PNG, JPEG, TIFF, HEIC."_s},
        {{{"exportNamingPattern", "weird"}},
         u"“exportNamingPattern” is “weird”; it must be one of original, original_suffix, timestamp, custom."_s},
        {{{"defaultBrushOpacity", 2}}, u"“defaultBrushOpacity” is 2; it must be between 0 and 1."_s},
        {{{"zoomLevel", 0}}, u"“zoomLevel” is 0; it must be a number above 0."_s},
        {{{"backendBaseURLString", "ftp://evil.example"}},
         u"“backendBaseURLString” is “ftp://evil.example”; it must be an http or https address with a host."_s},
        {{{"backendBaseURLString", "https://"}},
         u"“backendBaseURLString” is “https://”; it must be an http or https address with a host."_s},
        {{{"triggerAIModel", "gpt"}}, u"“triggerAIModel” is “gpt”; it must be one of localFree, kivo."_s},
        {{{"triggerFolderPath", "relative/dir"}}, u"“triggerFolderPath” is “relative/dir”; it must be a folder's full path."_s},
        {{{"defaultExportLocation", "https://x.example/dir"}},
         u"“defaultExportLocation” is “https://x.example/dir”; it must be a folder on this computer (file:///…)."_s},
        // The first bad key in the record's order is the one named.
        {{{"triggerAIModel", "gpt"}, {"maxConcurrentProcesses", 9}, {"jpegQuality", 3}},
         u"“maxConcurrentProcesses” is 9; it must be between 1 and 8."_s},
    };
    for (const auto& c : cases) {
        QJsonObject json = before.toJson();
        for (const auto& [key, value] : c.members)
            json.insert(QLatin1StringView(key), value);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(json).toJson());
        file.close();
        const QString message = settings_file::importFrom(state, path);
        if (c.failure.isEmpty()) {
            EXPECT_EQ(message, u"Settings imported successfully!") << message.toStdString();
            state.setUserPreferences(before);
            continue;
        }
        EXPECT_EQ(message, u"Failed to import settings: "_s + c.failure) << message.toStdString();
        EXPECT_EQ(state.userPreferences(), before);
        EXPECT_EQ(isolated.preferences.loadPreferences(), before);
    }
}
