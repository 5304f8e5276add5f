#include "app/MainTabView.h"
#include "commands/KeyboardShortcutsModifier.h"
#include "commands/KeyboardShortcutsView.h"
#include "settings/SettingsView.h"
#include "account/TransactionsTab.h"
#include "core/AppConstants.h"
#include "core/NotificationCenter.h"
#include "app/TabButton.h"
#include "editor/document/ImageEditorModel.h"
#include "editor/window/ImageEditorTab.h"
#include "editor/window/ImagePreviewPopup.h"
#include "removal/batch/BatchCardView.h"
#include "removal/batch/BackgroundRemovalTab.h"
#include "service/ScriptedHttpServer.h"
#include "service/SyntheticPhoto.h"
#include "removal/monitor/TriggerSettingsView.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

class MainTabViewTest : public ::testing::Test {
protected:
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    MainTabView view{state};

    void SetUp() override { view.show(); }
};

} // namespace

TEST_F(MainTabViewTest, ProcessAllIsShownOnlyOnTheBatchTab)
{
    EXPECT_TRUE(view.processAllButton()->isVisible());
    EXPECT_TRUE(view.settingsButton()->isVisible());

    for (AppTab tab : {AppTab::imageEditor, AppTab::transactions, AppTab::trigger}) {
        view.tabButton(tab)->click();
        EXPECT_EQ(state.activeTab(), tab);
        EXPECT_FALSE(view.processAllButton()->isVisible());
        EXPECT_TRUE(view.settingsButton()->isVisible());
        EXPECT_TRUE(view.tabButton(tab)->isSelected());
        EXPECT_FALSE(view.tabButton(AppTab::backgroundRemoval)->isSelected());
    }
    view.tabButton(AppTab::backgroundRemoval)->click();
    EXPECT_TRUE(view.processAllButton()->isVisible());
    EXPECT_EQ(view.screen(AppTab::backgroundRemoval)->isVisible(), true);
    EXPECT_TRUE(qobject_cast<TriggerSettingsView*>(view.screen(AppTab::trigger)));
}

TEST_F(MainTabViewTest, ClickingTheActiveTabChangesNothing)
{
    QSignalSpy changes(&state, &AppState::activeTabChanged);
    view.tabButton(AppTab::backgroundRemoval)->click();
    EXPECT_EQ(changes.count(), 0);
}

TEST_F(MainTabViewTest, ProcessAllPostsTheNotification)
{
    QSignalSpy posted(&NotificationCenter::defaultCenter(), &NotificationCenter::posted);
    view.processAllButton()->click();
    ASSERT_EQ(posted.count(), 1);
    EXPECT_EQ(posted.front().at(0).toString(), u"processAllImages");
}

TEST_F(MainTabViewTest, OpenSettingsNotificationOpensTheSheetOnTheNamedTab)
{
    EXPECT_FALSE(view.showingSettings());
    NotificationCenter::defaultCenter().post(kOpenSettings, {{QStringLiteral("tab"), QStringLiteral("account")}});
    EXPECT_TRUE(view.showingSettings());
    EXPECT_EQ(view.selectedSettingsTab(), SettingsTab::account);
    auto* settings = view.findChild<SettingsView*>();
    ASSERT_TRUE(settings);
    EXPECT_TRUE(settings->isVisible());
    EXPECT_EQ(settings->selectedTab(), SettingsTab::account);

    // Already shown: only the tab changes.
    NotificationCenter::defaultCenter().post(kOpenSettings, {{QStringLiteral("tab"), QStringLiteral("nope")}});
    EXPECT_TRUE(view.showingSettings());
    EXPECT_EQ(view.selectedSettingsTab(), SettingsTab::general);
    EXPECT_EQ(settings->selectedTab(), SettingsTab::general);
}

TEST(MainTabViewRestore, EachAppearanceStartsARestoreWithTheStoredKey)
{
    test::ScriptedHttpServer server([](const auto&, httplib::Response& response) {
        response.set_content(R"({"name": "Restored", "credits": 2})", "application/json");
    });
    test::IsolatedAppState isolated;
    isolated.keychain.save(QString(kApiKeyAccount), QStringLiteral("stored-key"));
    UserPreferences preferences = isolated.appState.userPreferences();
    preferences.backendBaseURLString = server.baseURL();
    isolated.appState.setUserPreferences(preferences);

    MainTabView view{isolated.appState};
    view.show();
    ASSERT_TRUE(test::waitUntil([&] { return isolated.appState.isAuthenticated(); }));
    EXPECT_EQ(isolated.appState.accountInfo()->name, QStringLiteral("Restored"));
    EXPECT_EQ(server.requests().size(), 1u);

    // Signed in by now: appearing again asks nothing.
    view.hide();
    view.show();
    QTest::qWait(200);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_TRUE(qobject_cast<TransactionsTab*>(view.screen(AppTab::transactions)));
}

namespace {

ImageProcessingTask completedTask(const QString& name)
{
    ImageProcessingTask task;
    task.originalURL = QUrl::fromLocalFile(QStringLiteral("/photos/") + name);
    QImage original(40, 30, QImage::Format_ARGB32);
    original.fill(Qt::gray);
    QImage processed(40, 30, QImage::Format_ARGB32);
    processed.fill(Qt::transparent);
    task.originalImage = test::keptImage(original);
    task.processedImage = test::keptImage(processed);
    task.status = ProcessingStatus::completed;
    return task;
}


} // namespace

TEST_F(MainTabViewTest, ACardImageOpensTheEditorsPreviewOverTheDimmedBatchTab)
{
    state.setProcessingQueue({completedTask(QStringLiteral("a.png"))});
    view.tabButton(AppTab::trigger)->click();
    view.tabButton(AppTab::backgroundRemoval)->click();
    auto* batch = qobject_cast<BackgroundRemovalTab*>(view.screen(AppTab::backgroundRemoval));
    QCoreApplication::processEvents();
    BatchCardView* cards = batch->cardView();
    const CardGeometry card = cards->cardGeometry(0);
    ASSERT_FALSE(card.card.isEmpty());

    QTest::mouseClick(cards->viewport(), Qt::LeftButton, {}, card.result.center());
    ASSERT_TRUE(test::waitUntil([&] { return batch->showingImagePreview(); }));
    auto* popup = qobject_cast<ImagePreviewPopup*>(batch->previewOverlay()->content());
    ASSERT_TRUE(popup);
    EXPECT_EQ(popup->titleLabel()->text(), u"Processed - a.png");
    EXPECT_EQ(batch->previewOverlay()->geometry(), batch->rect());
    // A click on the dimmed part closes it.
    QTest::mouseClick(batch->previewOverlay(), Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_FALSE(batch->showingImagePreview());

    QTest::mouseClick(cards->viewport(), Qt::LeftButton, {}, card.original.center());
    ASSERT_TRUE(test::waitUntil([&] { return batch->showingImagePreview(); }));
    popup = qobject_cast<ImagePreviewPopup*>(batch->previewOverlay()->content());
    EXPECT_EQ(popup->titleLabel()->text(), u"Original - a.png");
    popup->closeButton()->click();
    EXPECT_FALSE(batch->showingImagePreview());
}

TEST_F(MainTabViewTest, EditOnACardShowsTheResultInTheEditor)
{
    state.setProcessingQueue({completedTask(QStringLiteral("a.png")), completedTask(QStringLiteral("b.png"))});
    view.tabButton(AppTab::trigger)->click();
    view.tabButton(AppTab::backgroundRemoval)->click();
    auto* batch = qobject_cast<BackgroundRemovalTab*>(view.screen(AppTab::backgroundRemoval));
    QCoreApplication::processEvents();
    QTest::mouseClick(batch->cardView()->viewport(), Qt::LeftButton, {}, batch->cardView()->cardGeometry(0).edit.center());

    // The result is decoded off the window's thread, then shown in the editor.
    auto* editor = qobject_cast<ImageEditorTab*>(view.screen(AppTab::imageEditor));
    ASSERT_TRUE(test::waitUntil([&] { return editor->isVisible(); }));
    ASSERT_TRUE(editor->model().selectedSession());
    EXPECT_EQ(editor->model().selectedSession()->name, u"a.png");
    EXPECT_EQ(editor->sessionPicker()->currentText(), u"a.png");
    EXPECT_EQ(state.editorSessions().size(), 1);

    view.tabButton(AppTab::backgroundRemoval)->click();
    batch->editSelectedButton()->click();
    ASSERT_TRUE(test::waitUntil([&] { return state.editorSessions().size() == 3; }));
    EXPECT_EQ(editor->model().selectedSession()->name, u"b.png");
}

TEST_F(MainTabViewTest, LaunchFilesReachTheBatchAndTheSessionHook)
{
    QTemporaryDir folder;
    const QString photo = QDir(folder.path()).filePath(QStringLiteral("coffee.jpg"));
    ASSERT_TRUE(QFile::copy(test::testDataPath(QStringLiteral("coffee.jpg")), photo));
    const QString session = QDir(folder.path()).filePath(QStringLiteral("work.ora"));
    QFile(session).open(QIODevice::WriteOnly);

    QSignalSpy sessions(&view, &MainTabView::sessionFilesRequested);
    view.openLaunchFiles(sortLaunchFiles({photo}, folder.path()));
    auto* batch = static_cast<BackgroundRemovalTab*>(view.screen(AppTab::backgroundRemoval));
    ASSERT_TRUE(test::waitUntil([&] { return batch->queue().selectedImages().size() == 1; }));
    EXPECT_EQ(state.activeTab(), AppTab::backgroundRemoval);
    EXPECT_TRUE(sessions.isEmpty());

    view.openLaunchFiles(sortLaunchFiles({QStringLiteral("work.ora")}, folder.path()));
    ASSERT_EQ(sessions.size(), 1);
    EXPECT_EQ(sessions.front().front().toStringList(), QStringList{session});
    EXPECT_EQ(state.activeTab(), AppTab::imageEditor);
}

// "Open processed images in editor": a run's completed photos open as editor sessions.
TEST(MainTabViewRunEndTest, ARunsResultsOpenInTheEditorWhenWanted)
{
    for (const bool open : {false, true}) {
        test::IsolatedAppState isolated;
        AppState& state = isolated.appState;
        UserPreferences preferences = state.userPreferences();
        preferences.openProcessedInEditor = open;
        preferences.processingQuality = ProcessingQuality::fast;
        state.setUserPreferences(preferences);
        MainTabView view(state);
        view.show();

        ImageProcessingTask photo;
        photo.originalURL = QUrl::fromLocalFile(QStringLiteral("/photos/ball.jpg"));
        photo.originalImage = test::keptImage(test::makeBallPhoto());
        state.setProcessingQueue({photo});
        BatchRemovalQueue& queue = view.batchTab()->queue();
        queue.takeListFromAppState();
        queue.processAllImagesInTab();
        ASSERT_TRUE(test::waitUntil([&] { return !queue.isProcessing(); }, std::chrono::seconds(120)));
        ASSERT_EQ(queue.selectedImages().at(0).status, ProcessingStatus::completed);
        if (open) {
            ASSERT_TRUE(test::waitUntil([&] { return state.editorSessions().size() == 1; }));
            EXPECT_EQ(state.activeTab(), AppTab::imageEditor);
        } else {
            QTest::qWait(200);
            EXPECT_TRUE(state.editorSessions().isEmpty());
            EXPECT_EQ(state.activeTab(), AppTab::backgroundRemoval);
        }
    }
}

// Every binding pressed in the real main window does its work on the screen that owns it.
TEST(MainWindowShortcutsTest, KeyPressesActOnTheScreenOnShow)
{
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    QWidget window;
    auto* view = new MainTabView(state, &window);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    int quitRequests = 0;
    KeyboardShortcutsModifier shortcuts(state, [&] { ++quitRequests; });
    shortcuts.shortcutsManager().installKeyMonitor(
        *QCoreApplication::instance(), [&window](QObject* target) { return mainWindowShortcutMayFire(window, target); });
    window.resize(1200, 800);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const auto press = [&](Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(window.windowHandle(), key, modifiers);
        QTest::qWait(10);
        QCoreApplication::processEvents();
    };

    const struct {
        Qt::Key key;
        AppTab tab;
    } tabs[] = {{Qt::Key_3, AppTab::transactions}, {Qt::Key_4, AppTab::trigger},
                {Qt::Key_1, AppTab::backgroundRemoval}, {Qt::Key_2, AppTab::imageEditor}};
    for (const auto& c : tabs) {
        press(c.key, Qt::ControlModifier);
        EXPECT_EQ(state.activeTab(), c.tab);
    }

    // The editor: a new session, then its tools, zoom and history from the keyboard.
    auto* editor = qobject_cast<ImageEditorTab*>(view->screen(AppTab::imageEditor));
    ImageEditorModel& model = editor->model();
    press(Qt::Key_N, Qt::ControlModifier);
    ASSERT_TRUE(test::waitUntil([&] { return model.selectedSession().has_value(); }));
    const struct {
        Qt::Key key;
        DrawingTool::Kind kind;
    } tools[] = {{Qt::Key_E, DrawingTool::Kind::eraser}, {Qt::Key_P, DrawingTool::Kind::pen},
                 {Qt::Key_B, DrawingTool::Kind::marker}};
    for (const auto& c : tools) {
        press(c.key);
        EXPECT_EQ(model.currentTool().kind, c.kind) << int(c.key);
    }
    const double fitted = model.zoom();
    press(Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_GT(model.zoom(), fitted);
    press(Qt::Key_0, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_DOUBLE_EQ(model.zoom(), 1.0);
    press(Qt::Key_0, Qt::ControlModifier);
    EXPECT_TRUE(model.isFitting());

    const auto layers = [&] { return model.selectedSession()->layers.size(); };
    const auto before = layers();
    model.addLayer();
    ASSERT_EQ(layers(), before + 1);
    press(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(layers(), before);
    press(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(layers(), before + 1);

    // Panels, settings and quit belong to the window.
    press(Qt::Key_T, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_FALSE(state.userPreferences().showToolsPanel);
    press(Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quitRequests, 1);
    press(Qt::Key_Comma, Qt::ControlModifier);
    ASSERT_TRUE(test::waitUntil([&] { return view->showingSettings(); }));

    // Keys typed in the settings window reach its fields and fire nothing.
    auto* settings = window.findChild<SettingsView*>();
    ASSERT_TRUE(settings);
    ASSERT_TRUE(QTest::qWaitForWindowActive(settings));
    QLineEdit* field = nullptr;
    for (QLineEdit* edit : settings->findChildren<QLineEdit*>())
        if (edit->isVisible() && edit->isEnabled() && !edit->isReadOnly())
            field = edit;
    const AppTab tabBefore = state.activeTab();
    const auto sessionsBefore = state.editorSessions().size();
    if (field) {
        field->setFocus();
        QTest::keyClick(settings->windowHandle(), Qt::Key_B);
        QTest::keyClick(settings->windowHandle(), Qt::Key_N, Qt::ControlModifier);
        EXPECT_TRUE(field->text().endsWith(u'b'));
    }
    QTest::keyClick(settings->windowHandle(), Qt::Key_1, Qt::ControlModifier);
    QTest::qWait(20);
    QCoreApplication::processEvents();
    EXPECT_EQ(state.activeTab(), tabBefore);
    EXPECT_EQ(state.editorSessions().size(), sessionsBefore);
    EXPECT_EQ(model.currentTool().kind, DrawingTool::Kind::marker);
}
