// The folder monitor's rules: which new files it takes, what its results are called, how old
// an activity reads.

#include "removal/monitor/FolderMonitorRules.h"

#include <QHash>

#include <gtest/gtest.h>

using namespace kivo;

TEST(FolderMonitorRulesTest, EventFilterLooksOnlyBelowTheWatchedFolder)
{
    const struct {
        const char* folder;
        const char* path;
        bool taken;
    } cases[] = {
        {"/p", "/p/photo.jpg", true},          {"/p", "/p/PHOTO.JPEG", true},        {"/p", "/p/a/b/scan.TIF", true},
        {"/p", "/p/x.tiff", true},             {"/p", "/p/x.png", true},             {"/p", "/p/x.bmp", true},
        {"/p", "/p/x.gif", true},              {"/p", "/p/x.heic", true},            {"/p", "/p/x.HEIF", true},
        {"/p", "/p/x.webp", false},            {"/p", "/p/notes.txt", false},        {"/p", "/p/noextension", false},
        {"/p", "/p/.DS_Store", false},         {"/p", "/p/.DS_Store.png", false},    {"/p", "/p/photo~.jpg", false},
        {"/p", "/p/~tmp/photo.jpg", false},    {"/p", "/p/kivo_processed/x.png", false},
        {"/p", "/p/a/kivo_processed/b/x.png", false}, {"/p", "/p/kivo_processed_old/x.png", true},
        // Temporary names are no images until renamed.
        {"/p", "/p/x.jpg.part", false},        {"/p", "/p/x.jpg.crdownload", false}, {"/p", "/p/.x.jpg.swp", false},
        {"/p", "/p/.hidden.jpg", false},       {"/p", "/p/.x.jpg.Ab12Cd", false},    {"/p", "/p/.sub/x.jpg", true},
        // Above the watched folder nothing counts.
        {"/home/~ann/p", "/home/~ann/p/photo.jpg", true},
        {"/data/kivo_processed/p", "/data/kivo_processed/p/photo.jpg", true},
        {"/data/kivo_processed/p/", "/data/kivo_processed/p/kivo_processed/photo.jpg", false},
        // Outside it, nothing at all.
        {"/p", "/q/photo.jpg", false},         {"/p", "/pp/photo.jpg", false},       {"/p", "/p", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isMonitoredFilePath(QString::fromUtf8(c.path), QString::fromUtf8(c.folder)), c.taken) << c.path;
}

TEST(FolderMonitorRulesTest, ResultFolderIsBesideTheFile)
{
    EXPECT_EQ(processedFolderPath(QStringLiteral("/p/sub/photo.jpg")), QStringLiteral("/p/sub/kivo_processed"));
}

TEST(FolderMonitorRulesTest, ResultNamesFollowTheNamingPreferencesAndEndInPng)
{
    const QDateTime at(QDate(2025, 1, 5), QTime(14, 30, 0));
    const struct {
        const char* pattern;
        const char* suffix;
        const char* custom;
        const char* source;
        std::optional<const char*> name;
    } cases[] = {
        {"original_suffix", "_kivo", "", "/p/photo.jpg", "photo_kivo.png"},
        {"original_suffix", "_cut", "", "/p/my.holiday.PNG", "my.holiday_cut.png"},
        {"custom", "_kivo", "{original}_kivo_{date}_{time}", "/p/photo.jpg", "photo_kivo_20250105_143000.png"},
        {"custom", "_kivo", "{date}-{original}-{original}", "/p/a.png", "20250105-a-a.png"},
        {"custom", "_kivo", "{original}_{counter}", "/p/a.png", "a_{counter}.png"},
        {"custom", "_kivo", "{original}.PNG", "/p/a.jpg", "a.PNG"},
        {"something", "_kivo", "", "/p/photo.jpg", "photo_processed.png"},
        // Nothing the preferences bring in leads out of the results folder.
        {"original_suffix", "/../../escape", "", "/p/photo.jpg", "photo_.._.._escape.png"},
        {"custom", "_kivo", "../../{original}", "/p/photo.jpg", ".._.._photo.png"},
        {"custom", "_kivo", "..", "/p/photo.jpg", std::nullopt},
        {"custom", "_kivo", ".", "/p/photo.jpg", std::nullopt},
        {"custom", "_kivo", "", "/p/photo.jpg", std::nullopt},
    };
    for (const auto& c : cases) {
        UserPreferences preferences;
        preferences.exportNamingPattern = QString::fromUtf8(c.pattern);
        preferences.exportSuffix = QString::fromUtf8(c.suffix);
        preferences.customExportPattern = QString::fromUtf8(c.custom);
        const auto name = processedFileName(QString::fromUtf8(c.source), preferences, at);
        if (c.name)
            EXPECT_EQ(name, std::optional<QString>(QString::fromUtf8(*c.name))) << c.source << " " << c.custom;
        else
            EXPECT_FALSE(name.has_value()) << c.custom;
    }
}

TEST(FolderMonitorRulesTest, NamesNeverCollide)
{
    using U = ResultNameUse;
    const struct {
        const char* name;
        QHash<QString, U> taken;
        const char* chosen;
    } cases[] = {
        {"a.png", {}, "a.png"},
        {"a.png", {{"a.png", U::sameSource}}, "a.png"},
        {"a.png", {{"a.png", U::otherSource}}, "a-2.png"},
        {"a.png", {{"a.png", U::otherSource}, {"a-2.png", U::otherSource}}, "a-3.png"},
        {"a.png", {{"a.png", U::otherSource}, {"a-2.png", U::sameSource}}, "a-2.png"},
        {"cut_{counter}.png", {}, "cut_1.png"},
        {"cut_{counter}.png", {{"cut_1.png", U::otherSource}, {"cut_3.png", U::otherSource}}, "cut_2.png"},
        {"cut_{counter}.png", {{"cut_1.png", U::sameSource}}, "cut_2.png"},
    };
    for (const auto& c : cases) {
        const QString chosen = freeResultName(QString::fromUtf8(c.name), [&c](const QString& name) {
            return c.taken.value(name, U::free);
        });
        EXPECT_EQ(chosen, QString::fromUtf8(c.chosen)) << c.name;
    }
}

TEST(FolderMonitorRulesTest, RelativeTimes)
{
    const struct {
        qint64 seconds;
        const char* text;
    } cases[] = {
        {0, "just now"},         {59, "just now"},       {60, "1 min ago"},     {90, "1 min ago"},
        {3599, "59 min ago"},    {3600, "1 hour ago"},   {7200, "2 hours ago"}, {86399, "23 hours ago"},
        {86400, "1 day ago"},    {200000, "2 days ago"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(relativeTimeText(c.seconds), QString::fromUtf8(c.text)) << c.seconds;
}
