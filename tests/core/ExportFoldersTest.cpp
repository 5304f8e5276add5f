#include "core/ExportFolders.h"
#include "core/UserPreferences.h"

#include <gtest/gtest.h>

using namespace kivo;

namespace {

struct SubfolderCase {
    bool create;
    QString name;
    QString chosenPath;
    QString expectedPath;
};

class ExportSubfolder : public ::testing::TestWithParam<SubfolderCase> {};

TEST_P(ExportSubfolder, PlacesTheFileAsThePreferencesSay)
{
    const SubfolderCase& c = GetParam();
    UserPreferences preferences;
    preferences.createExportSubfolder = c.create;
    preferences.exportSubfolderName = c.name;
    EXPECT_EQ(exportPathFor(c.chosenPath, preferences), c.expectedPath);
}

INSTANTIATE_TEST_SUITE_P(
    Preferences, ExportSubfolder,
    ::testing::Values(
        SubfolderCase{false, QStringLiteral("kivo_exports"), QStringLiteral("/p/a.png"), QStringLiteral("/p/a.png")},
        SubfolderCase{true, QStringLiteral("kivo_exports"), QStringLiteral("/p/a.png"),
                      QStringLiteral("/p/kivo_exports/a.png")},
        // Already inside the subfolder: not nested again.
        SubfolderCase{true, QStringLiteral("kivo_exports"), QStringLiteral("/p/kivo_exports/a.png"),
                      QStringLiteral("/p/kivo_exports/a.png")},
        // A name never leads out of the chosen folder.
        SubfolderCase{true, QStringLiteral("../up"), QStringLiteral("/p/a.png"), QStringLiteral("/p/..-up/a.png")},
        SubfolderCase{true, QStringLiteral(".."), QStringLiteral("/p/a.png"), QStringLiteral("/p/a.png")},
        SubfolderCase{true, QStringLiteral("  "), QStringLiteral("/p/a.png"), QStringLiteral("/p/a.png")},
        SubfolderCase{true, QStringLiteral("/"), QStringLiteral("/p/a.png"), QStringLiteral("/p/a.png")}));

TEST(ExportFolders, PanelsOpenInTheDefaultLocation)
{
    UserPreferences preferences;
    EXPECT_TRUE(defaultExportDirectory(preferences).isEmpty());
    preferences.defaultExportLocation = QUrl::fromLocalFile(QStringLiteral("/home/someone/Pictures"));
    EXPECT_EQ(defaultExportDirectory(preferences), QStringLiteral("/home/someone/Pictures"));
}

} // namespace
