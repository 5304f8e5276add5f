// The folder monitor's rules: which new files it takes, what its results are called, how old
// an activity reads.

#include "removal/monitor/FolderMonitorRules.h"

#include <gtest/gtest.h>

using namespace kivo;

TEST(FolderMonitorRulesTest, EventFilter)
{
    const struct {
        const char* path;
        bool taken;
    } cases[] = {
        {"/p/photo.jpg", true},          {"/p/PHOTO.JPEG", true},        {"/p/a/b/scan.TIF", true},
        {"/p/x.tiff", true},             {"/p/x.png", true},             {"/p/x.bmp", true},
        {"/p/x.gif", true},              {"/p/x.heic", true},            {"/p/x.HEIF", true},
        {"/p/x.webp", false},            {"/p/notes.txt", false},        {"/p/noextension", false},
        {"/p/.DS_Store", false},         {"/p/.DS_Store.png", false},    {"/p/photo~.jpg", false},
        {"/p/~tmp/photo.jpg", false},    {"/p/kivo_processed/x.png", false},
        {"/p/a/kivo_processed/b/x.png", false}, {"/p/kivo_processed_old/x.png", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isMonitoredFilePath(QString::fromUtf8(c.path)), c.taken) << c.path;
}

TEST(FolderMonitorRulesTest, ResultFolderIsBesideTheFile)
{
    EXPECT_EQ(processedFolderPath(QStringLiteral("/p/sub/photo.jpg")), QStringLiteral("/p/sub/kivo_processed"));
}

TEST(FolderMonitorRulesTest, ResultNamesFollowTheNamingPreferences)
{
    const QDateTime at(QDate(2025, 1, 5), QTime(14, 30, 0));
    const struct {
        const char* pattern;
        const char* suffix;
        const char* custom;
        const char* source;
        std::optional<const char*> name;
    } cases[] = {
        {"original_suffix", "_kivo", "", "/p/photo.jpg", "photo_kivo.jpg"},
        {"original_suffix", "_cut", "", "/p/my.holiday.PNG", "my.holiday_cut.PNG"},
        {"custom", "_kivo", "{original}_kivo_{date}_{time}", "/p/photo.jpg", "photo_kivo_20250105_143000"},
        {"custom", "_kivo", "{date}-{original}-{original}", "/p/a.png", "20250105-a-a"},
        {"custom", "_kivo", "{original}-{counter}", "/p/photo.jpg", "photo-1"},
        {"something", "_kivo", "", "/p/photo.jpg", "photo_processed.jpg"},
        // Nothing the preferences bring in leads out of the results folder.
        {"original_suffix", "/../../escape", "", "/p/photo.jpg", "photo_.._.._escape.jpg"},
        {"custom", "_kivo", "../../{original}", "/p/photo.jpg", ".._.._photo"},
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
