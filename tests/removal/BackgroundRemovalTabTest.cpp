// The Background Removal tab's widgets on the offscreen platform: which controls are enabled
// when, and the alert texts.

#include "removal/batch/BackgroundRemovalTab.h"
#include "removal/batch/BatchCardView.h"
#include "removal/batch/BatchTaskModel.h"

#include "core/NotificationCenter.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

ImageProcessingTask task(ProcessingStatus status, const QString& name)
{
    ImageProcessingTask t;
    t.originalURL = QUrl::fromLocalFile(QStringLiteral("/photos/") + name);
    QImage original(40, 30, QImage::Format_ARGB32);
    original.fill(Qt::gray);
    t.originalImage = test::keptImage(original);
    t.status = status;
    if (status == ProcessingStatus::completed) {
        QImage processed(40, 30, QImage::Format_ARGB32);
        processed.fill(Qt::transparent);
        t.processedImage = test::keptImage(processed);
    }
    if (status == ProcessingStatus::failed)
        t.error = QStringLiteral("The service did not accept the API key.");
    return t;
}

class BackgroundRemovalTabTest : public ::testing::Test {
protected:
    void show(const QList<ImageProcessingTask>& tasks)
    {
        appState.setProcessingQueue(tasks);
        tab.hide();
        tab.show(); // the tab takes its list from the application state when shown
    }

    test::IsolatedAppState state;
    AppState& appState = state.appState;
    BackgroundRemovalTab tab{appState};
};

} // namespace

TEST_F(BackgroundRemovalTabTest, EmptyListShowsTheDropZoneWithOnlySelectImagesEnabled)
{
    show({});
    EXPECT_TRUE(tab.showsDropZone());
    EXPECT_TRUE(tab.selectImagesButton()->isEnabled());
    EXPECT_FALSE(tab.processAllButton()->isEnabled());
    EXPECT_FALSE(tab.clearAllButton()->isEnabled());
    EXPECT_FALSE(tab.downloadAllButton()->isEnabled());
    EXPECT_FALSE(tab.editSelectedButton()->isVisible());
    EXPECT_FALSE(tab.progressSection()->isVisible());
    EXPECT_EQ(tab.aiModelMenu()->currentText(), u"Local Free Model");
    EXPECT_EQ(tab.aiModelMenu()->itemText(1), u"Kivo Model");
}

TEST_F(BackgroundRemovalTabTest, CompletedTasksEnableDownloadAndEditAndShowCards)
{
    show({task(ProcessingStatus::pending, "a.png")});
    EXPECT_FALSE(tab.showsDropZone());
    EXPECT_TRUE(tab.processAllButton()->isEnabled());
    EXPECT_TRUE(tab.clearAllButton()->isEnabled());
    EXPECT_FALSE(tab.downloadAllButton()->isEnabled());
    EXPECT_TRUE(tab.editSelectedButton()->isVisible());
    EXPECT_FALSE(tab.editSelectedButton()->isEnabled());

    show({task(ProcessingStatus::completed, "b.png"), task(ProcessingStatus::failed, "c.png"),
          task(ProcessingStatus::processing, "d.png"), task(ProcessingStatus::pending, "e.png")});
    EXPECT_TRUE(tab.downloadAllButton()->isEnabled());
    EXPECT_TRUE(tab.editSelectedButton()->isEnabled());

    const QAbstractItemModel* cards = tab.cardView()->model();
    ASSERT_EQ(cards->rowCount(), 4);
    const auto status = [&](int row) { return cards->index(row, 0).data(BatchTaskModel::StatusRole).toString(); };
    EXPECT_EQ(status(0), u"Completed");
    EXPECT_EQ(status(1), u"Failed");
    EXPECT_EQ(status(2), u"Processing...");
    EXPECT_EQ(status(3), u"Pending");
    EXPECT_EQ(cards->index(1, 0).data(BatchTaskModel::NoteRole).toString(), u"The service did not accept the API key.");

    // Edit on a card opens the result in the editor.
    tab.resize(1200, 800);
    QCoreApplication::processEvents();
    QTest::mouseClick(tab.cardView()->viewport(), Qt::LeftButton, {}, tab.cardView()->cardGeometry(0).edit.center());
    ASSERT_TRUE(test::waitUntil([&] { return appState.editorSessions().size() == 1; }));
    EXPECT_EQ(appState.activeTab(), AppTab::imageEditor);
}

TEST_F(BackgroundRemovalTabTest, ProcessingDisablesTheListControlsUntilTheRunEnds)
{
    // A task whose photo cannot be decoded (nothing kept, no file) fails at once, without the
    // network.
    ImageProcessingTask broken = task(ProcessingStatus::pending, "broken.png");
    broken.originalImage = CachedImage();
    show({broken});

    NotificationCenter::defaultCenter().post(kProcessAllImages);
    EXPECT_TRUE(tab.progressSection()->isVisible());
    EXPECT_FALSE(tab.selectImagesButton()->isEnabled());
    EXPECT_FALSE(tab.processAllButton()->isEnabled());
    EXPECT_FALSE(tab.clearAllButton()->isEnabled());
    EXPECT_EQ(tab.progressCaption()->text(), u"Processing image 1 of 1");

    ASSERT_TRUE(test::waitUntil([&] { return !tab.queue().isProcessing(); }));
    EXPECT_FALSE(tab.progressSection()->isVisible());
    EXPECT_TRUE(tab.processAllButton()->isEnabled());
    EXPECT_EQ(tab.cardView()->model()->index(0, 0).data(BatchTaskModel::StatusRole).toString(), u"Failed");
}

TEST_F(BackgroundRemovalTabTest, ProcessAllNotificationIsIgnoredWhileTheTabIsHidden)
{
    show({task(ProcessingStatus::pending, "a.png")});
    tab.hide();
    NotificationCenter::defaultCenter().post(kProcessAllImages);
    EXPECT_FALSE(tab.queue().isProcessing());
}

TEST_F(BackgroundRemovalTabTest, DropSummaryAppearsInTheBackgroundRemoverAlert)
{
    show({});
    QTemporaryDir files;
    const QString text = files.filePath(QStringLiteral("readme.txt"));
    QFile(text).open(QIODevice::WriteOnly);
    tab.queue().handleDrop({QUrl::fromLocalFile(text)});
    ASSERT_TRUE(test::waitUntil([&] { return tab.alert() != nullptr; }));
    EXPECT_EQ(tab.alert()->windowTitle(), u"Background Remover");
    EXPECT_EQ(tab.alert()->text(), u"❌ Skipped 1 invalid file(s): readme.txt");
}

TEST_F(BackgroundRemovalTabTest, DragAndDropOffRefusesDropsAndSaysHowToAddPhotos)
{
    show({});
    // Off first: the drop zone is shown while the list is empty.
    for (const bool enabled : {false, true}) {
        UserPreferences preferences = appState.userPreferences();
        preferences.enableDragAndDrop = enabled;
        appState.setUserPreferences(preferences);

        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(test::testDataPath(QStringLiteral("coffee.jpg")))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        enter.setAccepted(false);
        QApplication::sendEvent(&tab, &enter);
        EXPECT_EQ(enter.isAccepted(), enabled);

        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&tab, &drop);
        EXPECT_EQ(tab.queue().isAdding(), enabled);
        ASSERT_TRUE(test::waitUntil([this] { return !tab.queue().isAdding(); }));

        QStringList texts;
        for (QLabel* label : tab.findChildren<QLabel*>())
            if (label->isVisibleTo(&tab))
                texts << label->text();
        EXPECT_EQ(texts.join(u'\n').contains(QStringLiteral("Drag and drop is turned off in Settings")), !enabled);
    }
    EXPECT_EQ(tab.queue().selectedImages().size(), 1);
}
