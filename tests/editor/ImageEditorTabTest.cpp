// The editor tab driven with synthetic mouse and keyboard events: its empty state and session
// bar, the tool panel's groups, the layer panel and the canvas.

#include "editor/canvas/DrawingCanvas.h"
#include "editor/canvas/EditorCanvasView.h"
#include "editor/document/ImageEditorModel.h"
#include "editor/document/OpenRasterFile.h"
#include "editor/window/ColorButton.h"
#include "editor/window/ImageEditorTab.h"
#include "editor/window/LayerPanel.h"
#include "editor/window/NewSessionDialog.h"
#include "editor/window/ToolButton.h"
#include "editor/window/ToolPanel.h"

#include "EditorTestImages.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QStandardPaths>
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

TEST_F(ImageEditorTabTest, UndoTakesBackTheStrokeThenTheImport)
{
    EXPECT_FALSE(tab.undoButton()->isEnabled());
    EXPECT_EQ(tab.undoButton()->toolTip(), u"Undo last action");
    EXPECT_EQ(tab.redoButton()->toolTip(), u"Redo last undone action");
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/cat.png")), test::solidImage(Qt::white, {300, 200}));
    EXPECT_TRUE(tab.undoButton()->isEnabled());
    EXPECT_FALSE(tab.canvas()->placeholder()->isVisible());

    const QPoint centre = tab.canvas()->rect().center();
    drag(centre - QPoint(100, 0), centre + QPoint(100, 0));
    EXPECT_EQ(model().selectedSession()->currentImage->pixelColor(150, 100), QColor(Qt::black));
    tab.undoButton()->click();
    EXPECT_EQ(model().selectedSession()->currentImage->pixelColor(150, 100), QColor(Qt::white));
    EXPECT_TRUE(tab.redoButton()->isEnabled());
    tab.undoButton()->click();
    EXPECT_FALSE(tab.undoButton()->isEnabled());
    EXPECT_TRUE(tab.canvas()->placeholder()->isVisible());
}

TEST_F(ImageEditorTabTest, ZoomButtonsAndTheWheelWithCtrlZoomAndTheMiddleButtonPans)
{
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/cat.png")), test::solidImage(Qt::white, {3000, 2000}));
    EditorCanvasView* canvas = tab.canvas();
    EXPECT_TRUE(model().isFitting());
    canvas->actualSizeButton()->click();
    EXPECT_DOUBLE_EQ(model().zoom(), 1.0);
    EXPECT_EQ(canvas->zoomLabel()->text(), u"100%");
    canvas->zoomInButton()->click();
    EXPECT_DOUBLE_EQ(model().zoom(), 1.25);
    canvas->zoomOutButton()->click();
    canvas->zoomOutButton()->click();
    EXPECT_DOUBLE_EQ(model().zoom(), 0.8);

    // Ctrl and the wheel zoom around the cursor: the document point under it stays.
    const QPointF cursor(60, 70);
    const QPointF before = model().canvasView().toDocument(cursor);
    QWheelEvent wheel(cursor, canvas->mapToGlobal(cursor), {}, QPoint(0, 120), Qt::NoButton, Qt::ControlModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(canvas->drawingCanvas(), &wheel);
    EXPECT_DOUBLE_EQ(model().zoom(), 1.0);
    EXPECT_NEAR(model().canvasView().toDocument(cursor).x(), before.x(), 1e-6);
    EXPECT_NEAR(model().canvasView().toDocument(cursor).y(), before.y(), 1e-6);

    // A middle-button drag moves the document and paints nothing.
    const QPointF origin = model().canvasView().origin;
    QTest::mousePress(canvas->drawingCanvas(), Qt::MiddleButton, {}, QPoint(100, 100));
    QMouseEvent move(QEvent::MouseMove, QPointF(130, 90), canvas->drawingCanvas()->mapToGlobal(QPointF(130, 90)),
                     Qt::NoButton, Qt::MiddleButton, {});
    QCoreApplication::sendEvent(canvas->drawingCanvas(), &move);
    QTest::mouseRelease(canvas->drawingCanvas(), Qt::MiddleButton, {}, QPoint(130, 90));
    EXPECT_EQ(model().canvasView().origin, origin + QPointF(30, -10));
    EXPECT_EQ(model().selectedSession()->documentHistory.size(), 2);

    canvas->fitButton()->click();
    EXPECT_TRUE(model().isFitting());
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
    ASSERT_TRUE(model().selectionRect());

    tools->cropButton()->click();
    EXPECT_FALSE(tools->selectionGroup()->isVisible());
    EXPECT_TRUE(tools->cropGroup()->isVisible());
    tools->brushButton()->click();
    EXPECT_FALSE(tools->selectionGroup()->isVisible());
    EXPECT_TRUE(model().selectionRect().has_value());
    // The dashed outline is still drawn in the accent colour.
    const QImage shown = tab.canvas()->grab().toImage();
    // The outline runs along document pixels: within a point of where the drag began.
    const QPoint corner = centre - QPoint(50, 40);
    bool outlined = false;
    for (int dy = -1; dy <= 1; ++dy)
        outlined |= shown.pixelColor(corner + QPoint(4, dy)) == tab.canvas()->palette().color(QPalette::Highlight);
    EXPECT_TRUE(outlined);
}

TEST_F(ImageEditorTabTest, CustomBackgroundShowsItsColourAndKeepsItWhenSwitchingAway)
{
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/cut.png")), test::solidImage(Qt::transparent, {20, 20}));
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
    EXPECT_EQ(tab.canvas()->composition().pixelColor(0, 0), QColor(151, 151, 151));
    EXPECT_EQ(model().selectedSession()->layers[0].image.pixelColor(0, 0), QColor(100, 100, 100));
    tools->brushSizeSlider()->setValue(40);
    EXPECT_EQ(tools->brushSizeLabel()->text(), u"40");
    EXPECT_EQ(model().currentTool(), DrawingTool::marker(Qt::black, 40));
    EXPECT_EQ(tab.canvas()->drawingCanvas()->tool(), DrawingTool::marker(Qt::black, 40));

    // "Remove Background" waits while a removal runs, and its failures reach the alert.
    EXPECT_EQ(tools->removeBackgroundAction()->text(), u"Remove Background");
    EXPECT_EQ(tools->eraserToolAction()->text(), u"Eraser Tool");
    // A session without an image has nothing to remove a background from.
    model().createNamedSession(QStringLiteral("empty"));
    tools->removeBackgroundAction()->trigger();
    EXPECT_FALSE(model().isRemovingBackground());
    QMessageBox* alert = tab.findChild<QMessageBox*>();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->windowTitle(), u"Background Removal");
    EXPECT_EQ(alert->text(), u"No image in session to process.");
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

TEST_F(ImageEditorTabTest, LayersAreDeletedRenamedDuplicatedAndDroppedToTheBottom)
{
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/base.png")), test::solidImage(Qt::white, {40, 30}));
    LayerPanel* layers = tab.layerPanel();
    layers->addButton()->click();
    // The base layer cannot be deleted; the thumbnail shows the layer's aspect.
    EXPECT_FALSE(layers->rows().back()->isSelected() && layers->deleteButton()->isEnabled());
    EXPECT_EQ(layers->rows().back()->thumbnailLabel()->pixmap().size(), QSize(36, 27));

    layers->duplicateButton()->click();
    EXPECT_EQ(rowNames(), (QStringList{"Layer 2 copy", "Layer 2", "base.png"}));

    // A double-click opens the name for editing; Return renames.
    QTest::mouseDClick(layers->rows().front(), Qt::LeftButton, {}, QPoint(60, 10));
    QCoreApplication::processEvents();
    auto* field = layers->findChild<QLineEdit*>(QStringLiteral("renameField"));
    ASSERT_TRUE(field);
    field->setText(QStringLiteral("A very long layer name that cannot fit in its row"));
    QTest::keyClick(field, Qt::Key_Return);
    QCoreApplication::processEvents();
    EXPECT_EQ(model().selectedSession()->layers.back().name, u"A very long layer name that cannot fit in its row");
    layers->rows().front()->resize(200, 30);
    EXPECT_TRUE(layers->rows().front()->nameLabel()->text().endsWith(QChar(0x2026)));

    // Dropped below the last row: the bottom of the stack.
    QMimeData data;
    data.setText(layers->rows().front()->layer().id.toString(QUuid::WithoutBraces));
    dropOn(layers->bottomDropArea(), &data, QPoint(5, 5));
    EXPECT_EQ(model().selectedSession()->layers.front().name, u"A very long layer name that cannot fit in its row");

    // The Delete key with the panel focused deletes the selected layer.
    model().selectLayer(model().selectedSession()->layers.back().id);
    layers->setFocus();
    QTest::keyClick(layers, Qt::Key_Delete);
    EXPECT_EQ(model().selectedSession()->layers.size(), 2);
    EXPECT_EQ(model().selectedSession()->history.back().action, u"Delete Layer");
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

TEST_F(ImageEditorTabTest, PasteButtonPutsTheClipboardsImageInAsAFittedLayer)
{
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/cat.png")), test::solidImage(Qt::white, {300, 200}));
    // An image another program copied: wider than the document, so it is fitted like an import.
    QImage copied = test::solidImage(Qt::blue, {600, 100});
    QGuiApplication::clipboard()->setImage(copied);
    ASSERT_FALSE(QGuiApplication::clipboard()->image().isNull());
    ToolPanel* tools = tab.toolPanel();
    tools->selectionButton()->click();
    ASSERT_TRUE(tools->pasteButton()->isVisible());
    EXPECT_EQ(tools->pasteButton()->text(), u"Paste");
    tools->pasteButton()->click();

    const EditorSession& session = *model().selectedSession();
    ASSERT_EQ(session.layers.size(), 2);
    const QImage pasted = session.layers.back().image;
    EXPECT_EQ(session.layers.back().name, u"Pasted Layer");
    EXPECT_EQ(pasted.size(), QSize(300, 200));
    // 600×100 fitted into 300×200 is 300×50, centred: rows 75 to 125.
    EXPECT_EQ(pasted.pixelColor(0, 100), QColor(Qt::blue));
    EXPECT_EQ(pasted.pixelColor(299, 100), QColor(Qt::blue));
    EXPECT_EQ(pasted.pixelColor(150, 60).alpha(), 0);
    EXPECT_EQ(pasted.pixelColor(150, 140).alpha(), 0);
    EXPECT_EQ(session.history.back().action, u"Paste");
    EXPECT_EQ(rowNames().front(), u"Pasted Layer");
}

namespace {

// Answers the open "Close Session" question with the button of that text.
bool answerCloseQuestion(ImageEditorTab& tab, const QString& answer)
{
    auto* box = tab.findChild<QMessageBox*>(QStringLiteral("closeSessionQuestion"));
    if (!box || !box->isVisible())
        return false;
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == answer) {
            button->click();
            QCoreApplication::processEvents();
            return true;
        }
    }
    return false;
}

} // namespace

TEST_F(ImageEditorTabTest, CloseSessionAsksOnlyWithUnsavedChangesAndGivesTheMemoryBack)
{
    model().createNamedSession(QStringLiteral("Kept"));
    model().createNamedSession(QStringLiteral("Edited"));
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/cat.png")), test::solidImage(Qt::white, {300, 200}));
    ASSERT_EQ(model().selectedSession()->name, u"Edited");
    const qsizetype before = state.editorSessions().size();
    QImage held = model().selectedSession()->layers.front().image;
    EXPECT_FALSE(held.isDetached());

    tab.closeSessionButton()->click();
    ASSERT_TRUE(answerCloseQuestion(tab, QStringLiteral("Cancel")));
    EXPECT_EQ(state.editorSessions().size(), before);
    EXPECT_EQ(model().selectedSession()->name, u"Edited");

    tab.closeSessionButton()->click();
    ASSERT_TRUE(answerCloseQuestion(tab, QStringLiteral("Don't Save")));
    EXPECT_EQ(state.editorSessions().size(), before - 1);
    ASSERT_TRUE(model().selectedSession());
    EXPECT_EQ(model().selectedSession()->name, u"Kept");
    EXPECT_EQ(tab.sessionPicker()->findText(QStringLiteral("Edited")), -1);
    // Once the old layer rows are gone (as the event loop deletes them) and the history has
    // compressed the import in the background (that job holds the pixels while it runs), nothing
    // else holds the closed session's pixels any more.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(tab.layerPanel()->rows().isEmpty());
    EXPECT_TRUE(test::waitUntil([&] { return held.isDetached(); }));

    // Nothing changed: closed without a question.
    tab.closeSessionButton()->click();
    EXPECT_FALSE(tab.findChild<QMessageBox*>(QStringLiteral("closeSessionQuestion")));
    EXPECT_EQ(state.editorSessions().size(), before - 2);
}

TEST_F(ImageEditorTabTest, CloseSessionSavesToTheSessionsFileFirst)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("poster.ora"));
    model().createNamedSession(QStringLiteral("Poster"));
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/cat.png")), test::solidImage(Qt::white, {40, 30}));
    model().saveSessionAs(path);
    ASSERT_TRUE(test::waitUntil([&] { return QFile::exists(path); }));
    QFile::remove(path);
    model().addLayer();

    tab.closeSessionButton()->click();
    ASSERT_TRUE(answerCloseQuestion(tab, QStringLiteral("Save")));
    EXPECT_EQ(tab.sessionPicker()->findText(QStringLiteral("Poster")), -1);
    ASSERT_TRUE(test::waitUntil([&] { return QFile::exists(path); }));
    const auto opened = readSessionFile(path);
    ASSERT_TRUE(std::holds_alternative<OpenedDocument>(opened));
    EXPECT_EQ(std::get<OpenedDocument>(opened).session.layers.size(), 2);
}

// Save Session As… and Open Session… open in the user's Documents folder (made when missing),
// then beside the session's file once it has one: never in the folder the program was started in.
TEST_F(ImageEditorTabTest, SessionDialogsOpenInDocumentsThenBesideTheSessionsFile)
{
    QTemporaryDir started, saved;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(started.path()));
    const auto openDialog = [this](const char* name) {
        for (auto* dialog : tab.findChildren<QFileDialog*>(QString::fromLatin1(name)))
            if (dialog->isVisible())
                return dialog;
        return static_cast<QFileDialog*>(nullptr);
    };
    const auto folderOf = [](QFileDialog* dialog) { return QDir(dialog->directory()).canonicalPath(); };
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    model().createNamedSession(QStringLiteral("Poster"));
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/cat.png")), test::solidImage(Qt::white, {40, 30}));

    tab.saveSessionAs();
    QFileDialog* dialog = openDialog("saveSessionDialog");
    ASSERT_TRUE(dialog);
    EXPECT_EQ(folderOf(dialog), QDir(documents).canonicalPath());
    EXPECT_FALSE(documents.isEmpty());
    EXPECT_EQ(dialog->findChild<QLineEdit*>()->text(), u"Poster.ora");
    dialog->selectFile(saved.filePath(QStringLiteral("mine.ora")));
    static_cast<QDialog*>(dialog)->accept();
    const QString path = saved.filePath(QStringLiteral("mine.ora"));
    ASSERT_TRUE(test::waitUntil([&] { return QFile::exists(path); }));

    tab.saveSessionAs();
    dialog = openDialog("saveSessionDialog");
    ASSERT_TRUE(dialog);
    EXPECT_EQ(folderOf(dialog), QDir(saved.path()).canonicalPath());
    EXPECT_EQ(dialog->findChild<QLineEdit*>()->text(), u"mine.ora");
    dialog->reject();

    tab.openSession();
    dialog = openDialog("openSessionDialog");
    ASSERT_TRUE(dialog);
    EXPECT_EQ(folderOf(dialog), QDir(saved.path()).canonicalPath());
    dialog->reject();

    // A new session has no file: Documents again, and a name with a date's slashes is offered
    // as a file name there, not as a path.
    model().createNamedSession(QStringLiteral("Session - 12/07/2026 08:19"));
    model().importImage(QUrl::fromLocalFile(QStringLiteral("/photos/cat.png")), test::solidImage(Qt::white, {40, 30}));
    tab.saveSessionAs();
    dialog = openDialog("saveSessionDialog");
    ASSERT_TRUE(dialog);
    EXPECT_EQ(folderOf(dialog), QDir(documents).canonicalPath());
    EXPECT_EQ(dialog->findChild<QLineEdit*>()->text(), u"Session - 12-07-2026 08:19.ora");
    dialog->reject();
    tab.openSession();
    dialog = openDialog("openSessionDialog");
    ASSERT_TRUE(dialog);
    EXPECT_EQ(folderOf(dialog), QDir(documents).canonicalPath());
    dialog->reject();
    QDir::setCurrent(previous);
}
