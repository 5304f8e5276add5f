// Benchmark of the editor's canvas on a 12-megapixel base image at 2560 × 1440: a brush stroke
// from mouse release to the canvas showing the result, and the repaint work per mouse move
// while a stroke is dragged. Runs on the offscreen platform unless told otherwise.
//
//   kivo_editor_canvas_bench --source PHOTO --work DIR [--runs N]    (bash bench/run.sh editor)

#include "BenchSupport.h"
#include "support/IsolatedAppState.h"

#include "editor/canvas/DrawingCanvas.h"
#include "editor/canvas/EditorCanvasView.h"
#include "editor/document/ImageEditorModel.h"

#include <QApplication>
#include <QTest>

namespace {

using namespace kivo;
using namespace kivo::bench;

constexpr QSize canvasSize(2560, 1440);

// Counts the paint events a widget receives.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("MISSED");
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const CommonOptions options = parseCommonOptions(app.arguments());
    const QString photo = prepareWork(options, QStringLiteral("kivo_editor_canvas_bench --source PHOTO --work DIR [--runs N]"));
    if (photo.isEmpty())
        return 2;
    const int runs = options.runs;

    test::IsolatedAppState state;
    ImageEditorModel model(state.appState);
    model.createNamedSession(QStringLiteral("bench"));
    model.importImage(QUrl::fromLocalFile(photo), decode(photo));
    model.setBrushSize(24);

    EditorCanvasView canvas(model);
    canvas.resize(canvasSize);
    canvas.show();
    canvas.repaint();
    QWidget* drawing = canvas.drawingCanvas();
    PaintCounter counter;
    drawing->installEventFilter(&counter);
    say(QStringLiteral("KIVOPRO editor canvas: load %1, 12 MP base shown at %2 x %3, platform %4, medians of %5 strokes")
            .arg(loadAverages())
            .arg(canvasSize.width())
            .arg(canvasSize.height())
            .arg(QGuiApplication::platformName())
            .arg(runs));

    Timings release;
    Timings applied;
    Timings redrawn;
    Timings moves;
    int moveCount = 0;
    int movePaints = 0;
    for (int run = 0; run < runs; ++run) {
        const QPoint start(400 + run * 60, 300);
        QTest::mousePress(drawing, Qt::LeftButton, {}, start);
        QCoreApplication::processEvents();
        // 60 moves of 20 pixels: every move is one point and one repaint of what it touched.
        for (int step = 1; step <= 60; ++step) {
            const QPoint at = start + QPoint(step * 20, (step % 10) * 40);
            const int paintsBefore = counter.paints;
            moves.measure([&] {
                QTest::mouseMove(drawing, at);
                QCoreApplication::sendPostedEvents();
                QCoreApplication::processEvents();
            });
            ++moveCount;
            movePaints += counter.paints - paintsBefore;
        }
        const QPoint end = start + QPoint(1200, 0);
        double appliedAt = 0;
        release.measure([&] {
            appliedAt = milliseconds([&] { QTest::mouseRelease(drawing, Qt::LeftButton, {}, end); });
            redrawn.measure([&] { canvas.repaint(); });
        });
        applied.wall.push_back(appliedAt);
        ImageHistory::waitForCompression();
    }
    say(QStringLiteral("brush stroke, release to canvas shown  %1   (target < 150 ms) %2")
            .arg(release.describe(), verdict(release.medianWall() < 150)));
    say(QStringLiteral("    of which the stroke painted and stored %1, the canvas redrawn %2")
            .arg(ms(median(applied.wall)), redrawn.describe()));
    const double slowestMove = *std::max_element(moves.wall.begin(), moves.wall.end());
    say(QStringLiteral("repaint per move while dragging       %1, slowest %2, %3 repaints for %4 moves   (target <= 16 ms) %5")
            .arg(moves.describe(), ms(slowestMove))
            .arg(movePaints)
            .arg(moveCount)
            .arg(verdict(moves.medianWall() <= 16)));
    return 0;
}
