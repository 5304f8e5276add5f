// The Trigger tab's view, driven with synthetic clicks on the offscreen platform, over an
// application state with the real folder monitor installed.

#include "removal/monitor/TriggerActivityRow.h"
#include "removal/monitor/TriggerSettingsView.h"

#include "removal/monitor/FolderMonitor.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

class TriggerSettingsViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(folder));
        FolderMonitor::Options options;
        options.journalPath = temporary.filePath(QStringLiteral("monitor-queue.json"));
        appState.installFolderMonitor(std::make_unique<FolderMonitor>(appState, state.keychain, options));
    }

    // Stored as if by an earlier run; nothing starts until something asks.
    void storePreferences(bool enabled, std::optional<QString> path, const QString& engine)
    {
        UserPreferences preferences = appState.userPreferences();
        preferences.triggerEnabled = enabled;
        preferences.triggerFolderPath = std::move(path);
        preferences.triggerAIModel = engine;
        appState.setUserPreferences(preferences);
    }

    static void click(QAbstractButton* button)
    {
        ASSERT_TRUE(button->isVisible() && button->isEnabled()) << button->text().toStdString();
        QTest::mouseClick(button, Qt::LeftButton);
    }

    QTemporaryDir temporary;
    QString folder = temporary.filePath(QStringLiteral("photos"));
    test::IsolatedAppState state;
    AppState& appState = state.appState;
    TriggerSettingsView view{appState};
};

} // namespace

TEST_F(TriggerSettingsViewTest, AppearingShowsTheStoredChoicesAndResumesMonitoring)
{
    storePreferences(true, folder, QStringLiteral("kivo"));
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::idle);
    view.show();

    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::monitoring);
    EXPECT_EQ(view.chosenFolder(), std::optional<QString>(folder));
    EXPECT_EQ(view.chosenEngine(), AIModelSelection::kivo);
    EXPECT_TRUE(view.enableSwitch()->isChecked());
    EXPECT_TRUE(view.engineButton(AIModelSelection::kivo)->isChecked());
    // The engine cannot change while the trigger runs.
    EXPECT_FALSE(view.engineButton(AIModelSelection::localFree)->isEnabled());
    EXPECT_TRUE(view.engineNote()->isVisible());
    EXPECT_EQ(view.folderPathLabel()->text(), folder);
    EXPECT_TRUE(view.openFolderButton()->isVisible());
    EXPECT_FALSE(view.noFolderWarning()->isVisible());
    EXPECT_FALSE(view.folderMissingLabel()->isVisible());
    EXPECT_EQ(view.statusLabel()->text(), QStringLiteral("Monitoring"));
    EXPECT_TRUE(view.monitoringNote()->isVisible());
    EXPECT_TRUE(view.emptyActivity()->isVisible());
}

TEST_F(TriggerSettingsViewTest, SwitchAndEngineAreStoredAsTheyChange)
{
    storePreferences(false, folder, QStringLiteral("localFree"));
    view.show();
    EXPECT_FALSE(view.engineNote()->isVisible());
    EXPECT_EQ(view.statusLabel()->text(), QStringLiteral("Idle"));

    click(view.engineButton(AIModelSelection::kivo));
    EXPECT_EQ(appState.userPreferences().triggerAIModel, QStringLiteral("kivo"));
    EXPECT_TRUE(view.engineNote()->isVisible());

    click(view.enableSwitch());
    EXPECT_TRUE(state.preferences.preferences().triggerEnabled);
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::monitoring);
    EXPECT_FALSE(view.engineButton(AIModelSelection::kivo)->isEnabled());

    click(view.enableSwitch());
    EXPECT_FALSE(state.preferences.preferences().triggerEnabled);
    EXPECT_EQ(view.statusLabel()->text(), QStringLiteral("Idle"));
    EXPECT_FALSE(view.monitoringNote()->isVisible());
}

TEST_F(TriggerSettingsViewTest, ChoosingAFolderStoresItAndRestartsMonitoring)
{
    storePreferences(true, std::nullopt, QStringLiteral("localFree"));
    view.show();
    EXPECT_TRUE(view.noFolderWarning()->isVisible());
    EXPECT_FALSE(view.openFolderButton()->isVisible());
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::idle);

    click(view.chooseFolderButton());
    QFileDialog* panel = view.folderPanel();
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->window()->windowTitle(), QStringLiteral("Select Folder to Monitor"));
    EXPECT_EQ(panel->fileMode(), QFileDialog::Directory);
    // Typed into the panel's name field and confirmed, as a user would.
    auto* name = panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_TRUE(name);
    name->setText(folder);
    auto* buttons = panel->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    ASSERT_TRUE(buttons);
    click(buttons->buttons().first());

    EXPECT_EQ(view.chosenFolder(), std::optional<QString>(folder));
    EXPECT_EQ(state.preferences.preferences().triggerFolderPath, std::optional<QString>(folder));
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::monitoring);
    EXPECT_EQ(view.folderPathLabel()->text(), folder);
}

TEST_F(TriggerSettingsViewTest, ClearForgetsTheFolderAndStopsMonitoring)
{
    storePreferences(true, folder, QStringLiteral("localFree"));
    view.show();
    test::StdoutCapture output;
    click(view.clearFolderButton());
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::idle);
    EXPECT_TRUE(view.noFolderWarning()->isVisible());
    EXPECT_FALSE(appState.userPreferences().triggerFolderPath.has_value());
    EXPECT_TRUE(output.text().contains(QStringLiteral("Stopping folder monitoring")));

    // Switching off and on again does not bring the cleared folder back.
    click(view.enableSwitch());
    click(view.enableSwitch());
    EXPECT_EQ(appState.triggerStatus(), TriggerStatus::idle);
}

TEST_F(TriggerSettingsViewTest, DeletedFolderIsShownAsMissingWithAnError)
{
    storePreferences(true, folder, QStringLiteral("localFree"));
    view.show();
    ASSERT_TRUE(QDir(folder).removeRecursively());
    ASSERT_TRUE(test::waitUntil([&] { return appState.triggerStatus() == TriggerStatus::error; }));
    EXPECT_TRUE(view.folderMissingLabel()->isVisible());
    EXPECT_FALSE(view.monitoringNote()->isVisible());
    EXPECT_EQ(view.statusLabel()->text(), QStringLiteral("Error"));
    EXPECT_TRUE(view.statusReasonLabel()->isVisible());
    EXPECT_EQ(view.statusReasonLabel()->text(), QStringLiteral("The monitored folder was removed or moved: ") + folder);
}

// The dot, the word and the line tell one state.
TEST_F(TriggerSettingsViewTest, StatusShowsEachStateAndNoContradiction)
{
    view.show();
    const struct {
        TriggerStatus status;
        QString reason;
        AppState::TriggerProgress progress;
        const char* word;
        bool monitoringLine;
        bool reasonLine;
    } cases[] = {
        {TriggerStatus::idle, {}, {}, "Idle", false, false},
        {TriggerStatus::idle, QStringLiteral("Stopped with 80 files left waiting"), {}, "Idle", false, true},
        {TriggerStatus::monitoring, {}, {}, "Monitoring", true, false},
        {TriggerStatus::processing, {}, {3, 90}, "Processing 3 of 90", true, false},
        {TriggerStatus::error, QStringLiteral("Cannot watch /x: Permission denied"), {}, "Error", false, true},
    };
    for (const auto& c : cases) {
        appState.setTriggerProgress(c.progress);
        appState.setTriggerStatus(c.status, c.reason);
        EXPECT_EQ(view.statusLabel()->text(), QString::fromUtf8(c.word));
        EXPECT_EQ(view.monitoringNote()->isVisible(), c.monitoringLine) << c.word;
        EXPECT_EQ(view.statusReasonLabel()->isVisible(), c.reasonLine) << c.word;
        if (c.reasonLine) {
            EXPECT_EQ(view.statusReasonLabel()->text(), c.reason);
        }
    }
    appState.setTriggerProgress({3, 90});
    appState.setTriggerStatus(TriggerStatus::processing);
    EXPECT_EQ(view.totalsLabel()->text(), QStringLiteral("87 waiting"));
}

TEST_F(TriggerSettingsViewTest, ActivityRowsCountsAndClearHistory)
{
    view.show();
    EXPECT_FALSE(view.clearHistoryButton()->isVisible());
    TriggerActivity* first = appState.addTriggerActivity(QStringLiteral("a.jpg"));
    TriggerActivity* second = appState.addTriggerActivity(QStringLiteral("b.jpg"));
    appState.addTriggerActivity(QStringLiteral("c.jpg"));
    first->setStatus(TriggerActivityStatus::completed);
    second->setError(QStringLiteral("Failed to load image"));
    second->setStatus(TriggerActivityStatus::failed);

    const QList<TriggerActivityRow*> rows = view.activityRows();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0]->activity()->filename(), QStringLiteral("c.jpg"));
    EXPECT_EQ(rows[0]->statusText(), QStringLiteral("Processing"));
    EXPECT_EQ(rows[1]->statusText(), QStringLiteral("Failed"));
    EXPECT_EQ(rows[1]->errorText(), QStringLiteral("Failed to load image"));
    EXPECT_EQ(rows[2]->statusText(), QStringLiteral("Completed"));
    EXPECT_EQ(rows[2]->timeText(), QStringLiteral("just now"));
    EXPECT_EQ(view.processedCountLabel()->text(), QStringLiteral("1 files processed"));
    EXPECT_EQ(view.totalsLabel()->text(), QStringLiteral("1 failed"));
    EXPECT_TRUE(view.processedCountLabel()->isVisible());
    EXPECT_FALSE(view.emptyActivity()->isVisible());

    // A long name is cut in the middle and told whole in its tooltip; a row opens its result,
    // or the folder of its file.
    const QString longName = QStringLiteral("IMG_20250105_143000_%1_final.jpg").arg(QString(200, u'x'));
    TriggerActivity* named = appState.addTriggerActivity(longName);
    named->setSourcePath(folder + u'/' + longName);
    QTest::qWait(50);
    TriggerActivityRow* longRow = view.activityRows().first();
    EXPECT_TRUE(longRow->shownName().startsWith(QStringLiteral("IMG_2025")));
    EXPECT_TRUE(longRow->shownName().endsWith(QStringLiteral("_final.jpg")));
    EXPECT_TRUE(longRow->shownName().contains(u'…'));
    EXPECT_EQ(longRow->target(), QUrl::fromLocalFile(folder));
    const QString result = folder + QStringLiteral("/result.png");
    QFile resultFile(result);
    ASSERT_TRUE(resultFile.open(QIODevice::WriteOnly));
    resultFile.close();
    named->setResultPath(result);
    EXPECT_EQ(longRow->target(), QUrl::fromLocalFile(result));
    bool nameHasTooltip = false;
    for (QLabel* label : longRow->findChildren<QLabel*>())
        nameHasTooltip = nameHasTooltip || label->toolTip() == longName;
    EXPECT_TRUE(nameHasTooltip);

    click(view.clearHistoryButton());
    EXPECT_TRUE(appState.triggerRecentActivity().isEmpty());
    EXPECT_TRUE(view.activityRows().isEmpty());
    EXPECT_TRUE(view.emptyActivity()->isVisible());
    EXPECT_FALSE(view.processedCountLabel()->isVisible());
    EXPECT_FALSE(view.clearHistoryButton()->isVisible());
}
