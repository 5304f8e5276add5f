#pragma once

#include "BatchRemovalQueue.h"
#include "PreviewOverlay.h"
#include "removal/remote/RemovalServiceClient.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <functional>

class QComboBox;
class QFrame;
class QLabel;

class QProgressBar;
class QPushButton;
class QStackedWidget;

namespace kivo {

class AppState;
class BatchCardView;
class BatchTaskModel;
class DropZoneView;

// The Background Removal tab: the batch's cards, its controls and its progress. The logic lives
// in BatchRemovalQueue; this widget shows it and turns clicks, drops and panels into calls.
class BackgroundRemovalTab : public QWidget {
    Q_OBJECT
public:
    explicit BackgroundRemovalTab(AppState& appState, QWidget* parent = nullptr);
    ~BackgroundRemovalTab() override;

    BatchRemovalQueue& queue() { return m_queue; }

    QPushButton* selectImagesButton() const { return m_selectButton; }
    QPushButton* processAllButton() const { return m_processButton; }
    QPushButton* clearAllButton() const { return m_clearButton; }
    QPushButton* downloadAllButton() const { return m_downloadAllButton; }
    QPushButton* editSelectedButton() const { return m_editSelectedButton; }
    QPushButton* cancelButton() const { return m_cancelButton; }
    QComboBox* aiModelMenu() const { return m_aiModelMenu; }
    QWidget* progressSection() const { return m_progressSection; }
    QLabel* progressCaption() const { return m_progressCaption; }
    bool showsDropZone() const;
    BatchCardView* cardView() const { return m_cardView; }

    // The alert ("Background Remover") currently shown, if any.
    QMessageBox* alert() const { return m_alert; }

    // Makes the full-size preview of a card's image; `close` hides it again. The preview lives
    // with the editor: the main window supplies it.
    using PreviewFactory =
        std::function<QWidget*(const QImage& image, const QString& title, std::function<void()> close)>;
    void setPreviewFactory(PreviewFactory factory) { m_previewFactory = std::move(factory); }
    // The preview over the tab, with the tab dimmed behind it (nothing without a factory). The
    // image is decoded off the window's thread first; a later tap wins over an earlier one.
    void showImagePreview(const CachedImage& image, const QString& title);
    void hideImagePreview();
    bool showingImagePreview() const { return m_previewOverlay != nullptr; }
    PreviewOverlay* previewOverlay() const { return m_previewOverlay; }

protected:
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void showDecodedPreview(const QImage& image, const QString& title);
    QWidget* buildHeader();
    QWidget* buildControlBar();
    QWidget* buildProgressSection();
    QWidget* buildContentArea();

    void pickImages();
    void saveOne(const ImageProcessingTask& task);
    void saveAll();
    void showAlert(const QString& message);

    void refreshControls();
    QString progressCaptionText() const;
    void setDragOver(bool dragOver);

    AppState& m_appState;
    BatchRemovalQueue m_queue;
    // Destroyed before the queue (after the queue's workers stopped), so that the answers of
    // requests it cancels still find the queue alive.
    RemovalServiceClient m_client;

    QLabel* m_countLabel = nullptr;
    QLabel* m_processedCountLabel = nullptr;
    QPushButton* m_selectButton = nullptr;
    QPushButton* m_processButton = nullptr;
    QPushButton* m_clearButton = nullptr;
    QPushButton* m_downloadAllButton = nullptr;
    QPushButton* m_editSelectedButton = nullptr;
    QComboBox* m_aiModelMenu = nullptr;
    QWidget* m_progressSection = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_progressCaption = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QWidget* m_addingRow = nullptr;
    QLabel* m_addingLabel = nullptr;
    QFrame* m_contentFrame = nullptr;
    QStackedWidget* m_content = nullptr;
    DropZoneView* m_dropZone = nullptr;
    BatchTaskModel* m_taskModel = nullptr;
    BatchCardView* m_cardView = nullptr;
    QPointer<QMessageBox> m_alert;
    PreviewFactory m_previewFactory;
    // Counts the taps, so that only the latest decoded image is shown.
    quint64 m_previewRequests = 0;
    QPointer<PreviewOverlay> m_previewOverlay;
    bool m_isDragOver = false;
};

} // namespace kivo
