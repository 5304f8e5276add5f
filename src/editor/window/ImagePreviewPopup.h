#pragma once

#include <QFrame>
#include <QImage>
#include <QSizeF>

class QLabel;
class QPushButton;

namespace kivo {

class AppState;

// The full-size preview of one image (800 × 600): its title and "Close", the image over a
// checkerboard when it has alpha (white otherwise), zoom from 10 % to 500 % in steps of 25 %,
// panning by dragging, and "Export Image" through the export flow.
class ImagePreviewPopup : public QFrame {
    Q_OBJECT
public:
    static constexpr double zoomStep = 0.25;
    static constexpr double minimumZoom = 0.1;
    static constexpr double maximumZoom = 5.0;

    ImagePreviewPopup(AppState& appState, const QImage& image, const QString& title, QWidget* parent = nullptr);

    double zoomLevel() const { return m_zoomLevel; }
    QSizeF imageOffset() const { return m_imageOffset; }
    bool isDragging() const { return m_isDragging; }
    QLabel* titleLabel() const { return m_titleLabel; }
    QLabel* zoomLabel() const { return m_zoomLabel; }
    QPushButton* closeButton() const { return m_closeButton; }
    QPushButton* zoomInButton() const { return m_zoomInButton; }
    QPushButton* zoomOutButton() const { return m_zoomOutButton; }
    QPushButton* resetZoomButton() const { return m_resetZoomButton; }
    QPushButton* exportButton() const { return m_exportButton; }
    QWidget* imageArea() const { return m_imageArea; }

    void zoomIn();
    void zoomOut();
    void resetZoom();

signals:
    void closeRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setZoom(double zoom);
    void paintImageArea();

    AppState& m_appState;
    QImage m_image;
    QString m_title;
    double m_zoomLevel = 1.0;
    QSizeF m_imageOffset{0, 0};
    bool m_isDragging = false;
    QPointF m_dragStart;
    QLabel* m_titleLabel = nullptr;
    QLabel* m_zoomLabel = nullptr;
    QPushButton* m_closeButton = nullptr;
    QPushButton* m_zoomInButton = nullptr;
    QPushButton* m_zoomOutButton = nullptr;
    QPushButton* m_resetZoomButton = nullptr;
    QPushButton* m_exportButton = nullptr;
    QWidget* m_imageArea = nullptr;
};

} // namespace kivo
