// The editor tab driven with synthetic mouse and keyboard events: its empty state and session
// bar, the tool panel's groups, the layer panel and the canvas.

#include "editor/canvas/DrawingCanvas.h"
#include "editor/canvas/EditorCanvasView.h"
#include "editor/document/ImageEditorModel.h"
#include "editor/window/ColorButton.h"
#include "editor/window/ImageEditorTab.h"
#include "editor/window/LayerPanel.h"
#include "editor/window/NewSessionDialog.h"
#include "editor/window/ToolButton.h"
#include "editor/window/ToolPanel.h"

#include "EditorTestImages.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

class ImageEditorTabTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tab.resize(1300, 800);
        tab.show();
        QCoreApplication::processEvents();
    }

    ImageEditorModel& model() { return tab.model(); }

    // A drag across the drawing canvas, as the mouse makes it.
    void drag(QPoint from, QPoint to)
    {
        QWidget* canvas = tab.canvas()->drawingCanvas();
        QTest::mousePress(canvas, Qt::LeftButton, {}, from);
        QTest::mouseMove(canvas, (from + to) / 2);
        QTest::mouseMove(canvas, to);
        QTest::mouseRelease(canvas, Qt::LeftButton, {}, to);
    }

    // A drop as the window system delivers it: the drag enters, then it is dropped.
    static void dropOn(QWidget* target, QMimeData* data, QPoint at)
    {
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &enter);
        QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &drop);
        QCoreApplication::processEvents();
    }

    QStringList rowNames() const
    {
        QStringList names;
        for (LayerItemView* row : tab.layerPanel()->rows())
            names << row->layer().name;
        return names;
    }

    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    ImageEditorTab tab{state};
};

} // namespace

TEST_F(ImageEditorTabTest, AppearingCreatesASessionAndTheEmptyStateOffersAnother)
{
    ASSERT_EQ(state.editorSessions().size(), 1);
    EXPECT_FALSE(tab.showsEmptyState());
    EXPECT_EQ(tab.sessionPicker()->itemText(0), u"Select Session");
    EXPECT_EQ(tab.sessionPicker()->currentText(), state.editorSessions().front().name);

    tab.sessionPicker()->setCurrentIndex(0);
    emit tab.sessionPicker()->activated(0);
    EXPECT_TRUE(tab.showsEmptyState());
    tab.createSessionButton()->click();
    NewSessionDialog* dialog = tab.newSessionDialog();
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->createButton()->isEnabled());
    QTest::keyClicks(dialog->nameField(), QStringLiteral("  "));
    EXPECT_TRUE(dialog->createButton()->isEnabled());
    dialog->createButton()->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(dialog->nameField()->text().isEmpty());
    ASSERT_EQ(state.editorSessions().size(), 2);
    EXPECT_EQ(state.editorSessions().back().name, u"  ");
    EXPECT_FALSE(tab.showsEmptyState());
}

TEST_F(ImageEditorTabTest, UndoIsOffAfterTheFirstImportAndOnAfterTheFirstStroke)
{
    EXPECT_FALSE(tab.undoButton()->isEnabled());
    EXPECT_EQ(tab.undoButton()->toolTip(), u"Undo last action");
    EXPECT_EQ(tab.redoButton()->toolTip(), u"Redo last undone action");
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/cat.png")), test::solidImage(Qt::white, {300, 200}));
    EXPECT_FALSE(tab.undoButton()->isEnabled());
    EXPECT_FALSE(tab.canvas()->placeholder()->isVisible());

    const QPoint centre = tab.canvas()->rect().center();
    drag(centre - QPoint(100, 0), centre + QPoint(100, 0));
    EXPECT_TRUE(tab.undoButton()->isEnabled());
    EXPECT_EQ(model().selectedSession()->currentImage->pixelColor(150, 100), QColor(Qt::black));
    tab.undoButton()->click();
    EXPECT_FALSE(tab.undoButton()->isEnabled());
    EXPECT_TRUE(tab.redoButton()->isEnabled());
}

TEST_F(ImageEditorTabTest, TheSelectionGroupShowsOnlyWithItsToolWhileTheOutlineStays)
{
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/cat.png")), test::solidImage(Qt::white, {300, 200}));
    ToolPanel* tools = tab.toolPanel();
    EXPECT_FALSE(tools->selectionGroup()->isVisible());
    EXPECT_FALSE(tools->cropGroup()->isVisible());
    EXPECT_TRUE(tools->brushButton()->isActive());

    tools->selectionButton()->click();
    EXPECT_TRUE(tools->selectionGroup()->isVisible());
    EXPECT_TRUE(tools->selectionButton()->isActive());
    const QPoint centre = tab.canvas()->rect().center();
    drag(centre - QPoint(50, 40), centre + QPoint(50, 40));
    ASSERT_TRUE(model().selectionRectCanvas());

    tools->cropButton()->click();
    EXPECT_FALSE(tools->selectionGroup()->isVisible());
    EXPECT_TRUE(tools->cropGroup()->isVisible());
    tools->brushButton()->click();
    EXPECT_FALSE(tools->selectionGroup()->isVisible());
    EXPECT_TRUE(model().selectionRectCanvas().has_value());
    // The dashed outline is still drawn in the accent colour.
    const QImage shown = tab.canvas()->grab().toImage();
    const QPoint corner = centre - QPoint(50, 40);
    EXPECT_EQ(shown.pixelColor(corner + QPoint(2, 0)), tab.canvas()->palette().color(QPalette::Highlight));
}

TEST_F(ImageEditorTabTest, CustomBackgroundShowsItsColourAndKeepsItWhenSwitchingAway)
{
    ToolPanel* tools = tab.toolPanel();
    EXPECT_FALSE(tools->customColorButton()->isVisible());
    const auto choose = [&](CanvasBackground background) {
        tools->backgroundMenu()->setCurrentIndex(int(background));
        emit tools->backgroundMenu()->activated(int(background));
    };
    choose(CanvasBackground::custom);
    EXPECT_TRUE(tools->customColorButton()->isVisible());
    emit tools->customColorButton()->colorPicked(QColor(10, 200, 30));
    EXPECT_EQ(model().selectedSession()->customBackgroundColor, QColor(10, 200, 30));
    EXPECT_EQ(tab.canvas()->composition().pixelColor(5, 5), QColor(10, 200, 30));

    choose(CanvasBackground::white);
    EXPECT_FALSE(tools->customColorButton()->isVisible());
    EXPECT_EQ(tab.canvas()->composition().pixelColor(5, 5), QColor(Qt::white));
    choose(CanvasBackground::custom);
    EXPECT_EQ(tools->customColorButton()->color(), QColor(10, 200, 30));
}

TEST_F(ImageEditorTabTest, FiltersRemoveBackgroundAndBrushControlsReachTheModel)
{
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/cat.png")), test::solidImage(QColor(100, 100, 100)));
    ToolPanel* tools = tab.toolPanel();
    tools->filterBox(FilterType::brightness)->click();
    EXPECT_TRUE(model().isFilterEnabled(FilterType::brightness));
    EXPECT_EQ(model().selectedSession()->filteredImage->pixelColor(0, 0), QColor(151, 151, 151));
    tools->brushSizeSlider()->setValue(40);
    EXPECT_EQ(tools->brushSizeLabel()->text(), u"40");
    EXPECT_EQ(model().currentTool(), DrawingTool::marker(Qt::black, 40));
    EXPECT_EQ(tab.canvas()->drawingCanvas()->tool(), DrawingTool::marker(Qt::black, 40));

    // "Remove Background" waits while a removal runs, and its failures reach the alert.
    EXPECT_EQ(tools->removeBackgroundAction()->text(), u"Remove Background");
    EXPECT_EQ(tools->eraserToolAction()->text(), u"Eraser Tool");
    QList<EditorSession> sessions = state.editorSessions();
    sessions.back().currentImage = QImage();
    state.setEditorSessions(sessions);
    model().selectSession(sessions.back().id);
    tools->removeBackgroundAction()->trigger();
    EXPECT_FALSE(tools->removeBackgroundAction()->isEnabled());
    EXPECT_TRUE(tab.canvas()->progressOverlay()->isVisible());
    ASSERT_TRUE(test::waitUntil([&] { return tools->removeBackgroundAction()->isEnabled(); }));
    EXPECT_FALSE(tab.canvas()->progressOverlay()->isVisible());
    QMessageBox* alert = tab.findChild<QMessageBox*>();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->windowTitle(), u"Background Removal");
    EXPECT_EQ(alert->text(), u"Failed to read image data.");
}

TEST_F(ImageEditorTabTest, LayerRowsListTheTopLayerFirstAndReorderByDragAndDrop)
{
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/base.png")), test::solidImage(Qt::white));
    LayerPanel* layers = tab.layerPanel();
    EXPECT_EQ(layers->addButton()->toolTip(), u"Add Layer");
    layers->addButton()->click();
    layers->addButton()->click();
    EXPECT_EQ(rowNames(), (QStringList{"Layer 3", "Layer 2", "base.png"}));
    EXPECT_TRUE(layers->rows().front()->isSelected());

    // The bottom layer dropped on the top row goes to the top.
    QMimeData data;
    data.setText(layers->rows().back()->layer().id.toString(QUuid::WithoutBraces));
    dropOn(layers->rows().front(), &data, QPoint(5, 5));
    EXPECT_EQ(rowNames(), (QStringList{"base.png", "Layer 3", "Layer 2"}));

    // Clicking a row selects it; the eye hides it and says what it does next.
    LayerItemView* layer2 = layers->rows().back();
    QTest::mouseClick(layer2, Qt::LeftButton, {}, QPoint(60, 10));
    QCoreApplication::processEvents();
    EXPECT_TRUE(layers->rows().back()->isSelected());
    EXPECT_EQ(layers->rows().back()->visibilityButton()->toolTip(), u"Hide layer");
    layers->rows().back()->visibilityButton()->click();
    QCoreApplication::processEvents();
    // The layers are now Layer 2, Layer 3, base.png, bottom first.
    EXPECT_FALSE(model().selectedSession()->layers[0].isVisible);
    EXPECT_EQ(layers->rows().back()->visibilityButton()->toolTip(), u"Show layer");

    layers->opacitySlider()->setValue(40);
    EXPECT_EQ(layers->opacityLabel()->text(), u"40%");
    layers->blendMenu()->setCurrentIndex(int(BlendMode::screen));
    emit layers->blendMenu()->activated(int(BlendMode::screen));
    EXPECT_EQ(model().selectedSession()->layers[0].opacity, 0.4);
    EXPECT_EQ(model().selectedSession()->layers[0].blendMode, BlendMode::screen);
}

TEST_F(ImageEditorTabTest, ImageFilesDroppedOnTheCanvasAreImported)
{
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("dropped.png"));
    ASSERT_TRUE(test::solidImage(Qt::red, {60, 40}).save(file));
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(file), QUrl::fromLocalFile(folder.filePath(QStringLiteral("missing.png")))});
    dropOn(tab.canvas(), &data, QPoint(20, 20));
    ASSERT_TRUE(test::waitUntil([&] { return model().selectedSession()->layers.size() == 1; }));
    EXPECT_EQ(model().selectedSession()->layers.front().name, u"dropped.png");
    EXPECT_TRUE(model().selectedSession()->layers.front().isBaseLayer);
}

TEST_F(ImageEditorTabTest, WithDragAndDropOffTheCanvasRefusesDrops)
{
    UserPreferences preferences = state.userPreferences();
    preferences.enableDragAndDrop = false;
    state.setUserPreferences(preferences);
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("dropped.png"));
    ASSERT_TRUE(test::solidImage(Qt::red, {60, 40}).save(file));
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(file)});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    enter.setAccepted(false);
    QCoreApplication::sendEvent(tab.canvas(), &enter);
    EXPECT_FALSE(enter.isAccepted());
    dropOn(tab.canvas(), &data, QPoint(20, 20));
    QTest::qWait(300);
    const auto& session = model().selectedSession();
    EXPECT_TRUE(!session || session->layers.isEmpty());
}

TEST_F(ImageEditorTabTest, ThePanelsFollowTheirPreferences)
{
    EXPECT_TRUE(tab.toolPanel()->isVisible());
    EXPECT_TRUE(tab.layerPanel()->isVisible());
    UserPreferences preferences = state.userPreferences();
    preferences.showToolsPanel = false;
    state.setUserPreferences(preferences);
    EXPECT_FALSE(tab.toolPanel()->isVisible());
    EXPECT_TRUE(tab.layerPanel()->isVisible());
    preferences.showToolsPanel = true;
    preferences.showLayersPanel = false;
    state.setUserPreferences(preferences);
    EXPECT_TRUE(tab.toolPanel()->isVisible());
    EXPECT_FALSE(tab.layerPanel()->isVisible());
}
