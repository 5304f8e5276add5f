// The batch's card view on the offscreen platform: what the delegate draws for each status, the
// buttons, image taps, selection and keys through the view, and the reduced decode of photos
// as they are added.

#include "removal/batch/BatchCardView.h"
#include "removal/batch/BatchRemovalQueue.h"
#include "removal/batch/BatchTaskModel.h"
#include "removal/batch/TaskImages.h"

#include "core/ImageFileLoader.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QHelpEvent>
#include <QScrollBar>
#include <QImageWriter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

const QString longError = u"The service could not use this photo: the image is truncated (the file ends before its "
                          "image data does), so nothing was charged and nothing was kept."_s;

ImageProcessingTask task(ProcessingStatus status, const QString& name)
{
    ImageProcessingTask t;
    t.originalURL = QUrl::fromLocalFile(u"/photos/"_s + name);
    QImage original(80, 60, QImage::Format_ARGB32);
    original.fill(QColor(200, 120, 40));
    t.originalImage = test::keptImage(original);
    t.status = status;
    if (status == ProcessingStatus::completed) {
        QImage processed(80, 60, QImage::Format_ARGB32);
        processed.fill(QColor(20, 60, 220));
        t.processedImage = test::keptImage(processed);
    }
    if (status == ProcessingStatus::failed)
        t.error = longError;
    return t;
}

class BatchCardViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        appState.setProcessingQueue({task(ProcessingStatus::pending, "pending.png"),
                                     task(ProcessingStatus::processing, "processing.png"),
                                     task(ProcessingStatus::completed, "completed.png"),
                                     task(ProcessingStatus::failed, "failed-with-a-long-name-that-does-not-fit.png")});
        queue.takeListFromAppState();
        view.resize(1200, 700);
        view.show();
        QCoreApplication::processEvents();
    }

    QImage shot() { return view.viewport()->grab().toImage(); }

    // Adds a small photo through the open panel's path and waits for the model's new row.
    void addPhoto(const QString& name)
    {
        QImage photo(64, 48, QImage::Format_RGB32);
        photo.fill(Qt::darkGreen);
        const QString path = photos.filePath(name);
        ASSERT_TRUE(photo.save(path));
        const int rows = model.rowCount();
        queue.addImages({QUrl::fromLocalFile(path)});
        ASSERT_TRUE(test::waitUntil([&] { return model.rowCount() == rows + 1; }));
    }

    QTemporaryDir photos;

    test::IsolatedAppState state;
    AppState& appState = state.appState;
    RemovalServiceClient client{state.keychain};
    BatchRemovalQueue queue{appState, client};
    BatchTaskModel model{queue};
    BatchCardView view{model};
};

// The dominant colour of a rectangle's pixels that are not the card's own background.
bool paintsColour(const QImage& image, const QRect& rect, const QColor& colour, int tolerance = 40)
{
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (std::abs(pixel.red() - colour.red()) + std::abs(pixel.green() - colour.green())
                    + std::abs(pixel.blue() - colour.blue())
                < tolerance)
                return true;
        }
    return false;
}

} // namespace

TEST_F(BatchCardViewTest, EachStatusIsDrawnWithItsBadgeColourAndItsPane)
{
    ASSERT_EQ(model.rowCount(), 4);
    const QImage image = shot();
    const struct {
        int row;
        QColor badge;
        const char16_t* status;
    } cases[] = {{0, QColor(0x8e, 0x8e, 0x93), u"Pending"},
                 {1, QColor(0x0a, 0x84, 0xff), u"Processing..."},
                 {2, QColor(0x30, 0xb0, 0x50), u"Completed"},
                 {3, QColor(0xff, 0x3b, 0x30), u"Failed"}};
    for (const auto& c : cases) {
        const CardGeometry g = view.cardGeometry(c.row);
        ASSERT_FALSE(g.card.isEmpty()) << c.row;
        EXPECT_TRUE(view.viewport()->rect().contains(g.card)) << c.row;
        EXPECT_TRUE(paintsColour(image, g.badge, c.badge, 30)) << c.row;
        EXPECT_EQ(model.data(model.index(c.row), BatchTaskModel::StatusRole).toString(), QStringView(c.status));
    }
    // The originals' thumbnails, the completed card's result and its two buttons.
    EXPECT_TRUE(paintsColour(image, view.cardGeometry(0).original, QColor(200, 120, 40), 10));
    EXPECT_TRUE(paintsColour(image, view.cardGeometry(2).result, QColor(20, 60, 220), 10));
    EXPECT_FALSE(paintsColour(image, view.cardGeometry(0).result, QColor(20, 60, 220), 10));
    const QImage noButtons = image.copy(view.cardGeometry(0).download);
    const QImage buttons = image.copy(view.cardGeometry(2).download);
    EXPECT_NE(noButtons, buttons);
    // The long failure stays inside its box, in red, and its tooltip holds all of it.
    const CardGeometry failed = view.cardGeometry(3);
    EXPECT_TRUE(paintsColour(image, failed.result.adjusted(0, 50, 0, 0), QColor(0xff, 0x3b, 0x30), 60));
    EXPECT_FALSE(paintsColour(image, failed.resultCaption.adjusted(0, 2, 0, 0), QColor(0xff, 0x3b, 0x30), 60));
    QHelpEvent help(QEvent::ToolTip, failed.result.center(), view.viewport()->mapToGlobal(failed.result.center()));
    QStyleOptionViewItem option;
    option.initFrom(&view);
    option.rect = view.cardRect(3);
    view.cardDelegate()->helpEvent(&help, &view, option, model.index(3));
    EXPECT_EQ(QToolTip::text(), longError);
    QHelpEvent nameHelp(QEvent::ToolTip, failed.name.center(), view.viewport()->mapToGlobal(failed.name.center()));
    view.cardDelegate()->helpEvent(&nameHelp, &view, option, model.index(3));
    EXPECT_EQ(QToolTip::text(), u"failed-with-a-long-name-that-does-not-fit.png");
}

TEST_F(BatchCardViewTest, ButtonsAndImagesAnswerClicksThroughTheView)
{
    QSignalSpy downloads(view.cardDelegate(), &BatchCardDelegate::downloadRequested);
    QSignalSpy edits(view.cardDelegate(), &BatchCardDelegate::editRequested);
    QSignalSpy taps(view.cardDelegate(), &BatchCardDelegate::imageTapped);

    const CardGeometry completed = view.cardGeometry(2);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, completed.download.center());
    ASSERT_EQ(downloads.size(), 1);
    EXPECT_EQ(downloads[0][0].value<ImageProcessingTask>().originalURL.fileName(), u"completed.png");
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, completed.edit.center());
    EXPECT_EQ(edits.size(), 1);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, completed.result.center());
    ASSERT_EQ(taps.size(), 1);
    EXPECT_EQ(taps[0][1].toString(), u"Processed - completed.png");

    // A pending card has no buttons there, and its original still opens.
    const CardGeometry pending = view.cardGeometry(0);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, pending.download.center());
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, pending.result.center());
    EXPECT_EQ(downloads.size(), 1);
    EXPECT_EQ(taps.size(), 1);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, pending.original.center());
    ASSERT_EQ(taps.size(), 2);
    EXPECT_EQ(taps[1][1].toString(), u"Original - pending.png");
}

TEST_F(BatchCardViewTest, AClickSelectsACardAndKeysMoveAndAct)
{
    QSignalSpy edits(view.cardDelegate(), &BatchCardDelegate::editRequested);
    QSignalSpy taps(view.cardDelegate(), &BatchCardDelegate::imageTapped);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, view.cardGeometry(1).name.center());
    EXPECT_EQ(view.currentIndex().row(), 1);
    EXPECT_TRUE(view.selectionModel()->isSelected(model.index(1)));

    QTest::keyClick(&view, Qt::Key_Right);
    EXPECT_EQ(view.currentIndex().row(), 2);
    QTest::keyClick(&view, Qt::Key_Return);
    ASSERT_EQ(edits.size(), 1);
    EXPECT_EQ(edits[0][0].value<ImageProcessingTask>().originalURL.fileName(), u"completed.png");
    QTest::keyClick(&view, Qt::Key_Space);
    ASSERT_EQ(taps.size(), 1);
    EXPECT_EQ(taps[0][1].toString(), u"Processed - completed.png");

    // The next row of cards lies below the first.
    QTest::keyClick(&view, Qt::Key_Left);
    QTest::keyClick(&view, Qt::Key_Left);
    EXPECT_EQ(view.currentIndex().row(), 0);
    QTest::keyClick(&view, Qt::Key_Down);
    EXPECT_EQ(view.currentIndex().row(), 3);
    EXPECT_GT(view.cardRect(3).top(), view.cardRect(0).bottom());
}

// Changing one task redraws its row; adding tasks appends rows without resetting the others.
TEST_F(BatchCardViewTest, TheModelFollowsTheQueueRowByRow)
{
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserts(&model, &QAbstractItemModel::rowsInserted);
    addPhoto(u"new.png"_s);
    ASSERT_EQ(model.rowCount(), 5);
    EXPECT_EQ(inserts.size(), 1);
    EXPECT_EQ(resets.size(), 0);
    queue.clearAll();
    EXPECT_EQ(model.rowCount(), 0);
}

class ReducedDecodeTest : public ::testing::Test {
protected:
    QString writeJpeg(const QString& name, QSize size)
    {
        QImage image(size, QImage::Format_RGB32);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                image.setPixel(x, y, qRgb((x * 255) / size.width(), (y * 255) / size.height(), (x ^ y) & 0xff));
        const QString path = folder.filePath(name);
        QImageWriter writer(path, "jpeg");
        writer.setQuality(90);
        EXPECT_TRUE(writer.write(image));
        return path;
    }

    static QByteArray bytesOf(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir folder;
};

TEST_F(ReducedDecodeTest, APhotoIsDecodedSmallWithItsFullSizeKnown)
{
    const QString path = writeJpeg(u"photo.jpg"_s, QSize(2400, 1800));
    QSize full;
    const ImageLoadResult reduced = readImageDataReduced(bytesOf(path), cardThumbnailSide, &full);
    ASSERT_TRUE(reduced.error.isEmpty()) << reduced.error.toStdString();
    EXPECT_EQ(full, QSize(2400, 1800));
    EXPECT_LE(std::max(reduced.image.width(), reduced.image.height()), 2 * cardThumbnailSide);
    EXPECT_GE(std::max(reduced.image.width(), reduced.image.height()), cardThumbnailSide);

    const KeptImage kept = keepOriginal(path, ImageCache::shared());
    ASSERT_FALSE(kept.image.isNull());
    EXPECT_EQ(kept.image.size(), QSize(2400, 1800));
    EXPECT_EQ(kept.image.thumbnail().size(), QSize(240, 180));
}

TEST_F(ReducedDecodeTest, TruncatedAndDamagedPhotosAreStillRefused)
{
    const QByteArray whole = bytesOf(writeJpeg(u"whole.jpg"_s, QSize(1600, 1200)));
    const struct {
        const char* name;
        QByteArray bytes;
    } cases[] = {{"truncated.jpg", whole.left(whole.size() / 2)},
                 {"header-only.jpg", whole.left(600)},
                 {"not-an-image.jpg", QByteArray("plain text, not a photo")}};
    for (const auto& c : cases) {
        QSize full;
        EXPECT_FALSE(readImageDataReduced(c.bytes, cardThumbnailSide, &full).error.isEmpty()) << c.name;
        const QString path = folder.filePath(QString::fromLatin1(c.name));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(c.bytes);
        file.close();
        EXPECT_TRUE(keepOriginal(path, ImageCache::shared()).image.isNull()) << c.name;
    }
}

// The card view counting how often it lays its rows out.
class CountingCardView : public BatchCardView {
public:
    using BatchCardView::BatchCardView;
    void doItemsLayout() override
    {
        ++layouts;
        BatchCardView::doItemsLayout();
    }
    int layouts = 0;
};

// Thousands of cards change state during a run while the user looks at the middle of the
// batch: the view stays where it is, and a change redraws a card without laying out the rows
// again. Rows added at the end leave the view where it is too.
TEST_F(BatchCardViewTest, TheViewStaysWhereItIsWhileCardsChangeDuringARun)
{
    QList<ImageProcessingTask> tasks;
    for (int i = 0; i < 1500; ++i) {
        ImageProcessingTask t;
        // No file behind it: the run fails each one at once, without the network.
        t.originalURL = QUrl::fromLocalFile(u"/nonexistent/photo-%1.jpg"_s.arg(i, 4, 10, QChar(u'0')));
        tasks << t;
    }
    appState.setProcessingQueue(tasks);
    queue.takeListFromAppState();
    CountingCardView cards(model);
    cards.resize(1200, 700);
    cards.show();
    QScrollBar* bar = cards.verticalScrollBar();
    const int fullHeight = 500 * (BatchCardDelegate::cardHeight + BatchCardDelegate::gap);
    ASSERT_TRUE(test::waitUntil([&] { return bar->maximum() > fullHeight - 1000; }));
    const int middle = bar->maximum() / 2;
    bar->setValue(middle);
    const auto rowOnTop = [&] { return cards.indexAt(QPoint(cards.viewport()->width() / 2, 30)).row(); };
    const int shownRow = rowOnTop();
    ASSERT_GT(shownRow, 600);
    QCoreApplication::processEvents();
    const int layoutsBefore = cards.layouts;

    QSignalSpy changes(&queue, &BatchRemovalQueue::taskChanged);
    queue.processAllImagesInTab();
    int lowest = bar->value();
    ASSERT_TRUE(test::waitUntil([&] {
        lowest = std::min(lowest, bar->value());
        return !queue.isProcessing();
    }, std::chrono::minutes(2)));
    QCoreApplication::processEvents();
    EXPECT_GE(changes.size(), 1500);
    EXPECT_EQ(cards.layouts, layoutsBefore);
    EXPECT_EQ(lowest, middle);
    EXPECT_EQ(rowOnTop(), shownRow);
    EXPECT_EQ(model.task(shownRow).status, ProcessingStatus::failed);

    addPhoto(u"later.png"_s);
    ASSERT_EQ(model.rowCount(), 1501);
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->value(), middle);
    EXPECT_EQ(rowOnTop(), shownRow);
}
