#pragma once

#include "core/DomainModel.h"

#include <QFrame>

class QLabel;
class QPushButton;
class QStackedWidget;

namespace kivo {

class BusyIndicator;

// One task of the batch: its name and status, the original beside the result, and the
// "Download" and "Edit" buttons once a result is there.
class BackgroundRemovalCard : public QFrame {
    Q_OBJECT
public:
    explicit BackgroundRemovalCard(QWidget* parent = nullptr);

    // Shows the task's thumbnails; the full images stay where they are kept.
    // `note` says what a waiting task waits for ("Waiting for the service…").
    void setTask(const ImageProcessingTask& task, const QString& note = {});
    const ImageProcessingTask& task() const { return m_task; }

    QPushButton* downloadButton() const { return m_downloadButton; }
    QPushButton* editButton() const { return m_editButton; }
    QString statusText() const;

signals:
    void downloadRequested(const kivo::ImageProcessingTask& task);
    void editRequested(const kivo::ImageProcessingTask& task);
    void imageTapped(const kivo::CachedImage& image, const QString& title);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildResultPane();

    ImageProcessingTask m_task;
    // Whether the card shows a task yet: the first one draws everything, later ones only what
    // changed (restyling and scaling images for hundreds of cards at once would hold the window).
    bool m_showsTask = false;
    QLabel* m_nameLabel = nullptr;
    QLabel* m_statusBadge = nullptr;
    QLabel* m_originalImage = nullptr;
    QLabel* m_processedImage = nullptr;
    QStackedWidget* m_resultPane = nullptr;
    BusyIndicator* m_busy = nullptr;
    QLabel* m_errorLabel = nullptr;
    QLabel* m_pendingCaption = nullptr;
    QLabel* m_processingCaption = nullptr;
    QPushButton* m_downloadButton = nullptr;
    QPushButton* m_editButton = nullptr;
};

} // namespace kivo
