// Sessions, layers and history as plain edits of session values.

#include "editor/document/SessionEdits.h"

#include "EditorTestImages.h"

#include <gtest/gtest.h>

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

} // namespace

TEST(SessionHistory, UndoRedoWalkAndBranchCut)
{
    const QImage a = solidImage(Qt::red), b = solidImage(Qt::green), c = solidImage(Qt::blue), d = solidImage(Qt::cyan);
    EditorSession session;
    for (const QImage& image : {a, b, c})
        saveToHistory(session, image, actions::brushStroke);
    ASSERT_EQ(session.currentHistoryIndex, 2);

    EXPECT_TRUE(undo(session));
    EXPECT_EQ(session.currentHistoryIndex, 1);
    EXPECT_EQ(session.currentImage, b);
    EXPECT_TRUE(undo(session));
    EXPECT_EQ(session.currentImage, a);
    // The first snapshot is never undone.
    EXPECT_FALSE(canUndo(session));
    EXPECT_FALSE(undo(session));
    EXPECT_EQ(session.currentHistoryIndex, 0);
    EXPECT_TRUE(redo(session));
    EXPECT_EQ(session.currentImage, b);
    EXPECT_TRUE(canRedo(session));

    saveToHistory(session, d, actions::brushStroke);
    ASSERT_EQ(session.imageHistory.size(), 3);
    EXPECT_EQ(session.imageHistory.at(0), a);
    EXPECT_EQ(session.imageHistory.at(1), b);
    EXPECT_EQ(session.imageHistory.at(2), d);
    EXPECT_EQ(session.currentHistoryIndex, 2);
    EXPECT_FALSE(canRedo(session));
    EXPECT_EQ(actionsOf(session), (QStringList{"Brush Stroke", "Brush Stroke", "Brush Stroke", "Undo", "Undo", "Redo",
                                               "Brush Stroke"}));
}

TEST(SessionHistory, ASnapshotReplacesTheCurrentImageTheFilterBaseAndTheBaseLayerOnly)
{
    EditorSession session;
    importImage(session, QStringLiteral("base.png"), solidImage(Qt::red));
    addLayer(session);
    toggleLayerVisibility(session, session.layers[1].id);
    toggleFilter(session, FilterType::brightness, true);
    saveToHistory(session, solidImage(QColor(10, 10, 10)), actions::brushStroke);

    ASSERT_TRUE(undo(session));
    EXPECT_EQ(session.currentImage, solidImage(Qt::red));
    EXPECT_EQ(session.filterBaseImage, solidImage(Qt::red));
    EXPECT_EQ(session.layers[0].image, solidImage(Qt::red));
    // The filtered image follows the snapshot; the hidden layer stays hidden.
    ASSERT_TRUE(session.filteredImage);
    EXPECT_EQ(session.filteredImage->pixelColor(0, 0), QColor(255, 51, 51));
    EXPECT_FALSE(session.layers[1].isVisible);
    EXPECT_EQ(session.layers[1].image.size(), QSize(100, 100));
}

TEST(SessionHistory, TheFirstEditOfASessionMadeFromAnImageCanBeUndone)
{
    const QImage original = solidImage(Qt::yellow);
    EditorSession session = EditorSession::fromImage(QStringLiteral("cut.png"), original);
    EXPECT_FALSE(canUndo(session));

    saveToHistory(session, solidImage(Qt::black), actions::brushStroke);
    EXPECT_EQ(session.imageHistory.size(), 2);
    ASSERT_TRUE(canUndo(session));
    ASSERT_TRUE(undo(session));
    EXPECT_EQ(session.currentImage, original);
    EXPECT_EQ(session.layers.front().image, original);
    EXPECT_EQ(actionsOf(session), (QStringList{"Brush Stroke", "Undo"}));
}

TEST(SessionLayers, ThreeImportsIntoAnEmptySession)
{
    EditorSession session = makeNamedSession(QStringLiteral("s"));
    importImage(session, QStringLiteral("a.png"), solidImage(Qt::red));
    importImage(session, QStringLiteral("b.jpg"), solidImage(Qt::green, {8, 8}));
    importImage(session, QStringLiteral("c.tiff"), solidImage(Qt::blue, {2, 2}));

    EXPECT_EQ(layerNames(session), (QStringList{"a.png", "b.jpg", "c.tiff"}));
    EXPECT_TRUE(session.layers[0].isBaseLayer);
    EXPECT_FALSE(session.layers[1].isBaseLayer);
    EXPECT_FALSE(session.layers[2].isBaseLayer);
    ASSERT_TRUE(session.selectedLayer);
    EXPECT_EQ(session.selectedLayer->id, session.layers[2].id);
    EXPECT_EQ(session.imageHistory.size(), 1);
    EXPECT_EQ(session.currentHistoryIndex, 0);
    EXPECT_EQ(session.currentImage, solidImage(Qt::red));
    EXPECT_EQ(actionsOf(session), QStringList{"Import Image"});
}

TEST(SessionLayers, AddedLayersAreNumberedAfterTheLayerCount)
{
    EditorSession session;
    importImage(session, QStringLiteral("base.png"), solidImage(Qt::red));
    addLayer(session);
    addLayer(session);
    EXPECT_EQ(layerNames(session), (QStringList{"base.png", "Layer 2", "Layer 3"}));
    const ImageLayer& added = session.layers.back();
    EXPECT_EQ(added.image.size(), QSize(100, 100));
    EXPECT_EQ(added.image.pixelColor(50, 50).alpha(), 0);
    EXPECT_EQ(session.selectedLayer->id, added.id);
    EXPECT_EQ(session.history.size(), 1);
}

TEST(SessionLayers, MoveLayerDropsAboveTheTarget)
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
    };
    for (const Case& c : cases) {
        EditorSession session;
        for (const char* name : {"A", "B", "C"})
            importImage(session, QString::fromLatin1(name), solidImage(Qt::red));
        const QUuid dragged = session.layers[c.dragged].id;
        const QUuid target = session.layers[c.target].id;
        moveLayer(session, dragged, target);
        EXPECT_EQ(layerNames(session), c.expected) << c.dragged << " onto " << c.target;
    }
}

TEST(SessionLayers, EditsOfAMissingLayerChangeNothing)
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
    EXPECT_EQ(session.history.size(), 1);
    EXPECT_TRUE(session.layers[0].isVisible);
}

TEST(SessionLayers, UpdateLayerImageStoresTheFlattenedCanvas)
{
    EditorSession session;
    importImage(session, QStringLiteral("base.png"), solidImage(Qt::white, {10, 10}));
    addLayer(session);
    QImage stroke(100, 100, QImage::Format_ARGB32);
    stroke.fill(Qt::transparent);
    stroke.setPixelColor(0, 0, Qt::black);
    ASSERT_TRUE(updateLayerImage(session, stroke, session.layers[1].id, actions::brushStroke));
    EXPECT_EQ(session.layers[1].image, stroke);
    EXPECT_EQ(session.imageHistory.size(), 2);
    ASSERT_TRUE(session.currentImage);
    EXPECT_EQ(session.currentImage->size(), QSize(10, 10));
    EXPECT_EQ(actionsOf(session), (QStringList{"Import Image", "Brush Stroke"}));
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
