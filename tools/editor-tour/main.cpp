// kivopro-editor-tour: drives the real main window as a user would, from a batch result into
// the image editor and through its tools, and saves a screenshot of every step (run it under
// Xvfb or on a desktop).
//
//   kivopro-editor-tour OUTDIR PHOTO
//
// PHOTO goes through the Background Removal tab with the local engine; its result is opened
// with "Edit", painted, erased, selected, cropped, layered, filtered, cut out again, undone,
// redone and exported as PNG and JPEG, and the batch tab's preview is opened.

#include "app/MainTabView.h"
#include "core/AppConstants.h"
#include "core/AppState.h"
#include "editor/canvas/DrawingCanvas.h"
#include "editor/canvas/EditorCanvasView.h"
#include "editor/document/ImageEditorModel.h"
#include "editor/rendering/CanvasRenderer.h"
#include "editor/window/ImageEditorTab.h"
#include "editor/window/ImagePreviewPopup.h"
#include "editor/window/LayerPanel.h"
#include "editor/window/NewSessionDialog.h"
#include "editor/window/ToolButton.h"
#include "editor/window/ToolPanel.h"
#include "removal/batch/BatchCardView.h"
#include "removal/batch/BackgroundRemovalTab.h"
#include "tour-support/TourSupport.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTest>
#include <QThread>
#include <QToolButton>

#include <cstdio>

namespace {

using namespace kivo;

using tour::pump;
using tour::waitFor;

class Tour {
public:
    Tour(QMainWindow& window, const QString& folder)
        : m_window(window)
        , m_folder(folder)
    {
    }

    void shoot(const QString& name)
    {
        tour::saveScreenshot(m_window, QDir(m_folder).filePath(
                                           QStringLiteral("%1-%2.png").arg(++m_step, 2, 10, QLatin1Char('0')).arg(name)));
    }

    // A drag over the drawing canvas through `points` (widget coordinates), as the mouse does.
    static void drag(QWidget* canvas, const QList<QPoint>& points)
    {
        QTest::mousePress(canvas, Qt::LeftButton, {}, points.front());
        for (qsizetype i = 1; i < points.size(); ++i)
            QTest::mouseMove(canvas, points[i]);
        QTest::mouseRelease(canvas, Qt::LeftButton, {}, points.back());
        pump(100);
    }

private:
    QMainWindow& m_window;
    QString m_folder;
    int m_step = 0;
};

QFileDialog* openDialog(const QString& objectName)
{
    QFileDialog* found = nullptr;
    waitFor([&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible() && dialog->objectName() == objectName)
                found = dialog;
        return found != nullptr;
    }, 10);
    return found;
}

// Chooses the export format in the preferences, presses "Export" and saves as `fileName`.
bool exportAs(Tour& tour, AppState& appState, ImageEditorTab& editor, ExportFormat format, const QString& folder,
              const QString& shotName)
{
    UserPreferences preferences = appState.userPreferences();
    preferences.defaultExportFormat = format;
    preferences.defaultExportLocation = QUrl::fromLocalFile(folder);
    appState.setUserPreferences(preferences);
    editor.exportButton()->click();
    QFileDialog* dialog = openDialog(QStringLiteral("exportDialog"));
    if (!dialog)
        return false;
    tour.shoot(shotName);
    const QString name = dialog->findChild<QLineEdit*>()->text();
    static_cast<QDialog*>(dialog)->accept();
    const QString written = QDir(folder).filePath(name);
    const bool ok = waitFor([&] { return QFileInfo(written).size() > 0; }, 60);
    std::printf("exported %s: %s (%lld bytes)\n", qPrintable(rawValue(format)), qPrintable(written),
                static_cast<long long>(QFileInfo(written).size()));
    return ok;
}

} // namespace

int main(int argc, char* argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString(kApplicationName));
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: kivopro-editor-tour OUTDIR PHOTO\n");
        return 2;
    }
    const QString outDir = args[1];
    QDir().mkpath(outDir);
    const QString exports = QDir(outDir).filePath(QStringLiteral("exports"));
    QDir().mkpath(exports);

    AppState appState;
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("KIVOPRO"));
    window.setMinimumSize(1200, 800);
    window.resize(1600, 1000);
    auto* mainView = new MainTabView(appState);
    window.setCentralWidget(mainView);
    window.show();
    pump(500);
    Tour tour(window, outDir);

    // The batch: one photo, processed with the local engine.
    auto* batch = qobject_cast<BackgroundRemovalTab*>(mainView->screen(AppTab::backgroundRemoval));
    batch->queue().clearAll();
    batch->queue().addImages({QUrl::fromLocalFile(QFileInfo(args[2]).absoluteFilePath())});
    waitFor([&] { return batch->queue().selectedImages().size() == 1; }, 60);
    mainView->processAllButton()->click();
    if (!waitFor([&] { return batch->queue().selectedImages().front().status == ProcessingStatus::completed; }, 600)) {
        std::fprintf(stderr, "the batch did not complete\n");
        return 1;
    }
    tour.shoot(QStringLiteral("batch-processed"));

    // The full-size preview from the card.
    QTest::mouseClick(batch->cardView()->viewport(), Qt::LeftButton, {},
                      batch->cardView()->cardGeometry(0).result.center());
    pump(200);
    tour.shoot(QStringLiteral("preview"));
    auto* popup = qobject_cast<ImagePreviewPopup*>(batch->previewOverlay()->content());
    popup->zoomInButton()->click();
    popup->zoomInButton()->click();
    QTest::mousePress(popup->imageArea(), Qt::LeftButton, {}, QPoint(300, 200));
    QTest::mouseMove(popup->imageArea(), QPoint(360, 240));
    QTest::mouseRelease(popup->imageArea(), Qt::LeftButton, {}, QPoint(360, 240));
    tour.shoot(QStringLiteral("preview-zoomed-panned"));
    // A click on the dimmed part closes it.
    QTest::mouseClick(batch->previewOverlay(), Qt::LeftButton, {}, QPoint(10, 10));
    pump(200);

    // "Edit" hands the result to the editor.
    QTest::mouseClick(batch->cardView()->viewport(), Qt::LeftButton, {}, batch->cardView()->cardGeometry(0).edit.center());
    pump(500);
    auto* editor = qobject_cast<ImageEditorTab*>(mainView->screen(AppTab::imageEditor));
    ImageEditorModel& model = editor->model();
    tour.shoot(QStringLiteral("editor-opened"));
    QWidget* canvas = editor->canvas()->drawingCanvas();
    const QPoint centre = canvas->rect().center();

    // Brush: red, 24.
    model.setBrushColor(QColor(230, 40, 40));
    editor->toolPanel()->brushSizeSlider()->setValue(24);
    editor->toolPanel()->brushButton()->click();
    Tour::drag(canvas, {centre + QPoint(-250, -150), centre + QPoint(-100, -60), centre + QPoint(50, -150), centre + QPoint(200, -40)});
    tour.shoot(QStringLiteral("brush-stroke"));

    editor->toolPanel()->eraserToolAction()->trigger();
    Tour::drag(canvas, {centre + QPoint(-200, 80), centre + QPoint(0, 120), centre + QPoint(200, 80)});
    tour.shoot(QStringLiteral("eraser-stroke"));

    editor->toolPanel()->selectionButton()->click();
    Tour::drag(canvas, {centre + QPoint(-150, -120), centre + QPoint(150, 100)});
    tour.shoot(QStringLiteral("selection"));
    editor->toolPanel()->deleteButton()->click();
    pump(200);
    tour.shoot(QStringLiteral("selection-deleted"));

    editor->toolPanel()->cropButton()->click();
    Tour::drag(canvas, {centre + QPoint(-300, -250), centre + QPoint(300, 250)});
    tour.shoot(QStringLiteral("crop-selection"));
    editor->toolPanel()->applyCropButton()->click();
    pump(300);
    tour.shoot(QStringLiteral("cropped"));

    // A layer of its own: painted, then multiply at 60 %.
    editor->layerPanel()->addButton()->click();
    pump(200);
    editor->toolPanel()->brushButton()->click();
    model.setBrushColor(QColor(40, 90, 230));
    Tour::drag(canvas, {centre + QPoint(-200, 0), centre + QPoint(0, 100), centre + QPoint(200, 0)});
    editor->layerPanel()->blendMenu()->setCurrentIndex(int(BlendMode::multiply));
    emit editor->layerPanel()->blendMenu()->activated(int(BlendMode::multiply));
    editor->layerPanel()->opacitySlider()->setValue(60);
    tour.shoot(QStringLiteral("layer-multiply-60"));

    // A second layer, painted, then hidden; screen blend on the first.
    editor->layerPanel()->addButton()->click();
    pump(200);
    model.setBrushColor(QColor(30, 200, 60));
    Tour::drag(canvas, {centre + QPoint(-150, -100), centre + QPoint(150, 100)});
    tour.shoot(QStringLiteral("second-layer"));
    editor->layerPanel()->rows().front()->visibilityButton()->click();
    pump(200);
    tour.shoot(QStringLiteral("second-layer-hidden"));

    for (FilterType type : {FilterType::contrast, FilterType::saturation, FilterType::sharpen})
        editor->toolPanel()->filterBox(type)->click();
    pump(500);
    tour.shoot(QStringLiteral("filters"));

    // 400 % at the canvas's centre, a small detail painted there, then back to fit.
    editor->canvas()->actualSizeButton()->click();
    model.zoomAt(4.0, canvas->rect().center());
    pump(200);
    model.setBrushColor(QColor(250, 220, 0));
    editor->toolPanel()->brushSizeSlider()->setValue(8);
    Tour::drag(canvas, {centre + QPoint(-60, 0), centre + QPoint(60, 0)});
    tour.shoot(QStringLiteral("zoom-400-detail"));
    editor->canvas()->fitButton()->click();
    pump(200);
    tour.shoot(QStringLiteral("zoom-fit"));

    for (FilterType type : {FilterType::contrast, FilterType::saturation, FilterType::sharpen})
        editor->toolPanel()->filterBox(type)->click();

    // Undo to the start and redo to the end: at every step the canvas's composition and the
    // export's agree.
    auto agree = [&] {
        const auto exported = renderCanvasToImage(*model.selectedSession());
        return exported && *exported == editor->canvas()->composition();
    };
    int steps = 0, disagreements = 0;
    while (model.canUndo()) {
        editor->undoButton()->click();
        waitFor([&] { return !model.isRestoringHistory(); }, 30);
        disagreements += !agree();
        ++steps;
    }
    tour.shoot(QStringLiteral("undone-to-start"));
    while (model.canRedo()) {
        editor->redoButton()->click();
        waitFor([&] { return !model.isRestoringHistory(); }, 30);
        disagreements += !agree();
        ++steps;
    }
    tour.shoot(QStringLiteral("redone-to-end"));
    std::printf("undo to the start and redo to the end: %d steps, canvas and export disagree at %d\n", steps,
                disagreements);

    editor->toolPanel()->removeBackgroundAction()->trigger();
    pump(300);
    tour.shoot(QStringLiteral("removing-background"));
    waitFor([&] { return !model.isRemovingBackground(); }, 600);
    tour.shoot(QStringLiteral("background-removed"));

    editor->undoButton()->click();
    waitFor([&] { return !model.isRestoringHistory(); }, 30);
    tour.shoot(QStringLiteral("undo"));
    editor->undoButton()->click();
    waitFor([&] { return !model.isRestoringHistory(); }, 30);
    tour.shoot(QStringLiteral("undo-twice"));
    editor->redoButton()->click();
    waitFor([&] { return !model.isRestoringHistory(); }, 30);
    tour.shoot(QStringLiteral("redo"));

    const bool png = exportAs(tour, appState, *editor, ExportFormat::png, exports, QStringLiteral("export-png-dialog"));
    const bool jpeg = exportAs(tour, appState, *editor, ExportFormat::jpeg, exports, QStringLiteral("export-jpeg-dialog"));
    tour.shoot(QStringLiteral("after-exports"));

    // A new session with the original photo imported, and its background removed in the editor.
    editor->newSessionButton()->click();
    pump(200);
    QTest::keyClicks(editor->newSessionDialog()->nameField(), QStringLiteral("Portrait"));
    tour.shoot(QStringLiteral("new-session-dialog"));
    editor->newSessionDialog()->createButton()->click();
    pump(300);
    tour.shoot(QStringLiteral("new-session-empty"));
    editor->importButton()->click();
    if (QFileDialog* dialog = openDialog(QStringLiteral("importDialog"))) {
        dialog->selectFile(QFileInfo(args[2]).absoluteFilePath());
        static_cast<QDialog*>(dialog)->accept();
    }
    waitFor([&] { return model.selectedSession() && model.selectedSession()->currentImage.has_value(); }, 30);
    tour.shoot(QStringLiteral("imported"));
    editor->toolPanel()->removeBackgroundAction()->trigger();
    waitFor([&] { return !model.isRemovingBackground(); }, 600);
    tour.shoot(QStringLiteral("imported-background-removed"));

    // "Select Session": no session, the invitation to create one.
    editor->sessionPicker()->setCurrentIndex(0);
    emit editor->sessionPicker()->activated(0);
    tour.shoot(QStringLiteral("no-session"));
    return png && jpeg ? 0 : 1;
}
