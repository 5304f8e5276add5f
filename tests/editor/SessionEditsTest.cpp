// Documents, layers and their one history as plain edits of session values.

#include "editor/document/SessionEdits.h"
#include "editor/document/PixelEdits.h"
#include "editor/rendering/CanvasRenderer.h"

#include "EditorTestImages.h"

#include <gtest/gtest.h>

#include <functional>

using namespace kivo;
using test::solidImage;

namespace {

QStringList actionsOf(const EditorSession& session)
{
    QStringList names;
    for (const HistoryItem& item : session.history)
        names << item.action;
    return names;
}

QStringList layerNames(const EditorSession& session)
{
    QStringList names;
    for (const ImageLayer& layer : session.layers)
        names << layer.name;
    return names;
}

// A layer image with one opaque pixel.
QImage dotAt(QSize size, QPoint at, const QColor& color)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setPixelColor(at, color);
    return image;
}

} // namespace

TEST(SessionDocument, TheFirstImportSetsTheSizeAndLaterImportsAreFittedIntoIt)
{
    EditorSession session = makeNamedSession(QStringLiteral("s"));
    importImage(session, QStringLiteral("photo.png"), solidImage(Qt::red, {40, 30}));
    importImage(session, QStringLiteral("square.png"), solidImage(Qt::blue, {10, 10}));
    addLayer(session);
    EXPECT_EQ(layerNames(session), (QStringList{"photo.png", "square.png", "Layer 3"}));
    EXPECT_TRUE(session.layers[0].isBaseLayer);
    for (const ImageLayer& layer : session.layers)
        EXPECT_EQ(layer.image.size(), QSize(40, 30));
    // The square is 30 × 30, centred: transparent beside it, blue inside.
    const QImage& square = session.layers[1].image;
    EXPECT_EQ(square.pixelColor(2, 15).alpha(), 0);
    EXPECT_EQ(square.pixelColor(37, 15).alpha(), 0);
    EXPECT_EQ(square.pixelColor(20, 15), QColor(Qt::blue));
    EXPECT_EQ(square.pixelColor(20, 0), QColor(Qt::blue));
    EXPECT_EQ(session.layers[2].image.pixelColor(20, 15).alpha(), 0);
    EXPECT_EQ(session.selectedLayer->id, session.layers[2].id);
    EXPECT_EQ(actionsOf(session), (QStringList{"Import Image", "Import Image", "Add Layer"}));
}

TEST(SessionDocument, ABlankSessionGetsItsBaseLayerAndEmptySessionsAreOfTheBlankSize)
{
    EditorSession blank;
    QImage transparent(800, 600, QImage::Format_ARGB32_Premultiplied);
    transparent.fill(Qt::transparent);
    blank.currentImage = transparent;
    addLayer(blank);
    ASSERT_EQ(blank.layers.size(), 2);
    EXPECT_TRUE(blank.layers[0].isBaseLayer);
    EXPECT_EQ(blank.layers[1].image.size(), QSize(800, 600));
    EXPECT_EQ(documentSize(makeNamedSession(QStringLiteral("empty"))), QSize(800, 600));
}

TEST(SessionDocument, AnEditChangesExactlyItsLayer)
{
    EditorSession session;
    importImage(session, QStringLiteral("base.png"), solidImage(Qt::white, {10, 10}));
    addLayer(session);
    addLayer(session);
    const EditorSession before = session;
    ASSERT_TRUE(updateLayerImage(session, dotAt({10, 10}, {3, 3}, Qt::black), session.layers[1].id,
                                 actions::brushStroke));
    EXPECT_EQ(session.layers[0].image, before.layers[0].image);
    EXPECT_EQ(session.layers[2].image, before.layers[2].image);
    EXPECT_EQ(session.layers[1].image.pixelColor(3, 3), QColor(Qt::black));
    EXPECT_EQ(*session.currentImage, before.layers[0].image);
}

// A painted copy is taken as it is, and the stroke stays undoable like any other edit.
TEST(SessionDocument, APaintedImageIsSharedAndUndoable)
{
    EditorSession session;
    importImage(session, QStringLiteral("base.png"), solidImage(Qt::white, {10, 10}));
    addLayer(session);
    const QImage original = session.layers[1].image;
    const QImage painted = paintStroke(original, {QPointF(1, 1), QPointF(8, 8)}, 3, Qt::red, false);
    ASSERT_TRUE(updatePaintedLayerImage(session, painted, session.layers[1].id, actions::brushStroke));
    EXPECT_EQ(session.layers[1].image.cacheKey(), painted.cacheKey());
    EXPECT_EQ(session.layers[1].image.pixelColor(5, 5), QColor(Qt::red));
    ASSERT_TRUE(undo(session));
    EXPECT_EQ(session.layers[1].image, original);
    ASSERT_TRUE(redo(session));
    EXPECT_EQ(session.layers[1].image, painted);
}

// Every change a user makes is a step; undoing all of them gives back each earlier stack
// exactly, and redoing all of them each later one.
TEST(SessionHistory, EveryChangeIsANamedStepAndUndoRedoRestoreTheWholeStack)
{
    EditorSession session;
    importImage(session, QStringLiteral("base.png"), solidImage(Qt::white, {12, 8}));
    auto layer = [&](int index) { return session.layers[index].id; };
    struct Change {
        QString action;
        std::function<bool()> apply;
    };
    const QList<Change> changes{
        {actions::addLayer, [&] { addLayer(session); return true; }},
        {actions::brushStroke, [&] { return updateLayerImage(session, dotAt({12, 8}, {1, 1}, Qt::red), layer(1), actions::brushStroke); }},
        {actions::duplicateLayer, [&] { return duplicateLayer(session, layer(1)); }},
        {actions::renameLayer, [&] { return renameLayer(session, layer(2), QStringLiteral("Shadow")); }},
        {actions::layerOpacity, [&] { return setLayerOpacity(session, layer(2), 0.25); }},
        {actions::blendMode, [&] { return setLayerBlendMode(session, layer(2), BlendMode::overlay); }},
        {actions::layerVisibility, [&] { return toggleLayerVisibility(session, layer(1)); }},
        {actions::moveLayer, [&] { return moveLayer(session, layer(2), QUuid()); }},
        {actions::canvasBackground, [&] { return setCanvasBackground(session, CanvasBackground::black); }},
        {actions::toggleFilter, [&] { return toggleFilter(session, FilterType::brightness, true); }},
        {actions::eraserStroke, [&] { return updateLayerImage(session, solidImage(Qt::transparent, {12, 8}), layer(1), actions::eraserStroke); }},
        {actions::cropImage, [&] { return cropDocument(session, QRect(2, 2, 6, 4)); }},
        {actions::deleteLayer, [&] { return deleteLayer(session, layer(2)); }},
    };
    QList<DocumentState> states{documentOf(session)};
    for (const Change& change : changes) {
        SCOPED_TRACE(change.action.toStdString());
        const qsizetype steps = session.documentHistory.size();
        ASSERT_TRUE(change.apply());
        EXPECT_EQ(session.history.back().action, change.action);
        EXPECT_EQ(session.documentHistory.size(), steps + 1);
        states << documentOf(session);
    }
    for (qsizetype index = states.size() - 2; index >= 0; --index) {
        ASSERT_TRUE(undo(session));
        EXPECT_EQ(documentOf(session), states[index]) << "after undo to " << index;
    }
    for (qsizetype index = 1; index < states.size(); ++index) {
        ASSERT_TRUE(redo(session));
        EXPECT_EQ(documentOf(session), states[index]) << "after redo to " << index;
    }
    EXPECT_FALSE(canRedo(session));
}

TEST(SessionHistory, ANewChangeAfterUndoDropsTheRedoBranch)
{
    EditorSession session;
    importImage(session, QStringLiteral("base.png"), solidImage(Qt::white));
    addLayer(session);
    addLayer(session);
    ASSERT_TRUE(undo(session));
    ASSERT_TRUE(setCanvasBackground(session, CanvasBackground::white));
    EXPECT_FALSE(canRedo(session));
    EXPECT_EQ(session.layers.size(), 2);
    ASSERT_TRUE(undo(session));
    EXPECT_EQ(session.canvasBackground, CanvasBackground::transparent);
    EXPECT_EQ(session.layers.size(), 2);
    EXPECT_EQ(actionsOf(session),
              (QStringList{"Import Image", "Add Layer", "Add Layer", "Undo", "Canvas Background", "Undo"}));
}

TEST(SessionHistory, UnchangedLayersShareTheirPixelsWithThePreviousStep)
{
    EditorSession session;
    importImage(session, QStringLiteral("base.png"), solidImage(Qt::white, {256, 256}));
    addLayer(session);
    const QImage basePixels = session.layers[0].image;
    for (int i = 0; i < 5; ++i)
        updateLayerImage(session, dotAt({256, 256}, {i, i}, Qt::red), session.layers[1].id, actions::brushStroke);
    ImageHistory::waitForCompression();
    const qint64 bytes = session.documentHistory.compressedBytes();
    // The base layer went into the history once: five more copies would show.
    toggleLayerVisibility(session, session.layers[1].id);
    ImageHistory::waitForCompression();
    EXPECT_EQ(session.documentHistory.compressedBytes(), bytes);
    ASSERT_TRUE(undo(session));
    EXPECT_EQ(session.layers[0].image.cacheKey(), basePixels.cacheKey());
}

TEST(SessionHistory, ALayerTheStepLacksKeepsAtHandTheVersionTheNextStepUses)
{
    EditorSession session;
    importImage(session, QStringLiteral("base.png"), solidImage(Qt::white, {256, 256}));
    addLayer(session);
    for (int i = 0; i < 5; ++i)
        updateLayerImage(session, dotAt({256, 256}, {i, i}, Qt::red), session.layers[1].id, actions::brushStroke);
    while (session.layers.size() > 1)
        ASSERT_TRUE(undo(session));
    ImageHistory::waitForCompression();
    // The redo adds the layer back as it was added, not as it was last painted.
    EXPECT_TRUE(session.documentHistory.isResident(session.currentHistoryIndex + 1));
    ASSERT_TRUE(redo(session));
    EXPECT_EQ(session.layers[1].image.pixelColor(0, 0).alpha(), 0);
}

TEST(SessionHistory, FiltersNeverReachALayerOrAStep)
{
    EditorSession session;
    importImage(session, QStringLiteral("base.png"), solidImage(QColor(100, 100, 100), {8, 8}));
    const QImage photo = session.layers[0].image;
    for (FilterType type : allFilterTypes)
        toggleFilter(session, type, true);
    QImage dotted = photo.copy();
    dotted.setPixelColor(2, 2, Qt::black);
    updateLayerImage(session, dotted, session.layers[0].id, actions::brushStroke);
    for (FilterType type : allFilterTypes)
        toggleFilter(session, type, false);
    for (qsizetype index = 0; index < session.documentHistory.size(); ++index) {
        const DocumentState state = session.documentHistory.at(index);
        for (const ImageLayer& layer : state.layers)
            for (int y = 0; y < layer.image.height(); ++y)
                for (int x = 0; x < layer.image.width(); ++x) {
                    // The photo's grey, or the stroke's black: never a filtered colour.
                    const QColor pixel = layer.image.pixelColor(x, y);
                    ASSERT_TRUE(pixel == photo.pixelColor(x, y) || pixel == QColor(Qt::black))
                        << "step " << index << " pixel " << x << "," << y;
                }
    }
    // And the export without filters is the photo as it was, the dot aside.
    const auto exported = renderCanvasToImage(session);
    ASSERT_TRUE(exported);
    EXPECT_EQ(exported->pixelColor(5, 5), QColor(100, 100, 100));
}

TEST(SessionLayers, MoveLayerDropsAboveTheTargetOrAtTheBottom)
{
    struct Case {
        int dragged;
        int target;
        QStringList expected;
    };
    const Case cases[] = {
        {0, 2, {"B", "C", "A"}},
        {2, 0, {"A", "C", "B"}},
        {1, 1, {"A", "B", "C"}},
        {1, 0, {"A", "B", "C"}},
        {0, 1, {"B", "A", "C"}},
        {2, -1, {"C", "A", "B"}},
    };
    for (const Case& c : cases) {
        EditorSession session;
        for (const char* name : {"A", "B", "C"})
            importImage(session, QString::fromLatin1(name), solidImage(Qt::red));
        const QUuid dragged = session.layers[c.dragged].id;
        const QUuid target = c.target < 0 ? QUuid() : session.layers[c.target].id;
        moveLayer(session, dragged, target);
        EXPECT_EQ(layerNames(session), c.expected) << c.dragged << " onto " << c.target;
    }
}

TEST(SessionLayers, EditsOfAMissingLayerOrTheBaseLayersDeletionChangeNothing)
{
    EditorSession session;
    importImage(session, QStringLiteral("a.png"), solidImage(Qt::red));
    const QUuid gone = QUuid::createUuid();
    EXPECT_FALSE(selectLayer(session, gone));
    EXPECT_FALSE(toggleLayerVisibility(session, gone));
    EXPECT_FALSE(setLayerOpacity(session, gone, 0.5));
    EXPECT_FALSE(setLayerBlendMode(session, gone, BlendMode::screen));
    EXPECT_FALSE(moveLayer(session, gone, session.layers[0].id));
    EXPECT_FALSE(updateLayerImage(session, solidImage(Qt::blue), gone, actions::brushStroke));
    EXPECT_FALSE(deleteLayer(session, session.layers[0].id));
    EXPECT_FALSE(renameLayer(session, session.layers[0].id, QStringLiteral("  ")));
    EXPECT_EQ(session.history.size(), 1);
    EXPECT_TRUE(session.layers[0].isVisible);
}

TEST(SessionLayers, ADraggedOpacityIsOneStepFromItsFirstToItsLastValue)
{
    EditorSession session;
    importImage(session, QStringLiteral("a.png"), solidImage(Qt::red));
    const QUuid id = session.layers[0].id;
    const qsizetype steps = session.documentHistory.size();
    for (double value : {0.9, 0.7, 0.5})
        setLayerOpacity(session, id, value, false);
    EXPECT_EQ(session.documentHistory.size(), steps);
    ASSERT_TRUE(setLayerOpacity(session, id, 0.5));
    EXPECT_EQ(session.documentHistory.size(), steps + 1);
    ASSERT_TRUE(undo(session));
    EXPECT_EQ(session.layers[0].opacity, 1.0);
}

TEST(SessionChoice, DefaultAndNamedSessions)
{
    const EditorSession dated = makeDefaultSession(QDateTime(QDate(2025, 3, 7), QTime(14, 5)));
    EXPECT_EQ(dated.name, u"Session - 03/07/2025 14:05");
    EXPECT_EQ(makeNamedSession(QStringLiteral("  ")).name, u"  ");
    EXPECT_FALSE(dated.currentImage);
    EXPECT_EQ(dated.currentHistoryIndex, -1);
    EXPECT_NE(dated.id, makeDefaultSession().id);
}
