// The full-size preview: zoom limits, panning and closing.

#include "editor/window/ImagePreviewPopup.h"

#include "EditorTestImages.h"
#include "support/IsolatedAppState.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace kivo;

TEST(ImagePreviewPopup, ZoomStaysBetweenTenAndFiveHundredPercent)
{
    test::IsolatedAppState isolated;
    ImagePreviewPopup popup(isolated.appState, test::solidImage(Qt::red, {400, 300}), QStringLiteral("Processed - a.png"));
    popup.show();
    EXPECT_EQ(popup.size(), QSize(800, 600));
    EXPECT_EQ(popup.titleLabel()->text(), u"Processed - a.png");
    EXPECT_EQ(popup.zoomLabel()->text(), u"100%");

    for (int press = 0; press < 20; ++press)
        popup.zoomInButton()->click();
    EXPECT_EQ(popup.zoomLevel(), 5.0);
    EXPECT_EQ(popup.zoomLabel()->text(), u"500%");

    popup.resetZoomButton()->click();
    for (double expected : {0.75, 0.5, 0.25, 0.1, 0.1}) {
        popup.zoomOutButton()->click();
        EXPECT_DOUBLE_EQ(popup.zoomLevel(), expected);
    }
    // 0.35 − 0.25 lands on the floor exactly.
    popup.zoomInButton()->click();
    popup.zoomOutButton()->click();
    EXPECT_DOUBLE_EQ(popup.zoomLevel(), 0.1);
    EXPECT_EQ(popup.zoomLabel()->text(), u"10%");

    // Dragging pans; a second drag continues from where the first left the image.
    QWidget* area = popup.imageArea();
    QTest::mousePress(area, Qt::LeftButton, {}, QPoint(100, 100));
    QTest::mouseMove(area, QPoint(110, 100));
    QTest::mouseMove(area, QPoint(140, 130));
    EXPECT_TRUE(popup.isDragging());
    QTest::mouseRelease(area, Qt::LeftButton, {}, QPoint(140, 130));
    EXPECT_FALSE(popup.isDragging());
    EXPECT_EQ(popup.imageOffset(), QSizeF(30, 30));
    QTest::mousePress(area, Qt::LeftButton, {}, QPoint(50, 50));
    QTest::mouseMove(area, QPoint(51, 50));
    QTest::mouseMove(area, QPoint(61, 50));
    QTest::mouseRelease(area, Qt::LeftButton, {}, QPoint(61, 50));
    EXPECT_EQ(popup.imageOffset(), QSizeF(40, 30));
    popup.resetZoomButton()->click();
    EXPECT_EQ(popup.imageOffset(), QSizeF(0, 0));
    EXPECT_EQ(popup.zoomLevel(), 1.0);

    QSignalSpy closing(&popup, &ImagePreviewPopup::closeRequested);
    popup.closeButton()->click();
    EXPECT_EQ(closing.count(), 1);
}
