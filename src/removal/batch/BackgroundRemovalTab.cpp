#include "BackgroundRemovalTab.h"

#include "BatchCardView.h"
#include "BatchTaskModel.h"
#include "BusyIndicator.h"
#include "CutoutFiles.h"
#include "DropZoneView.h"

#include "core/AppState.h"
#include "core/ExportFolders.h"
#include "core/KeychainHelper.h"
#include "core/NotificationCenter.h"
#include "core/WidgetStyle.h"

#include <QComboBox>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

namespace {

enum ContentPage { dropZonePage, gridPage };

bool carriesLocalFiles(const QMimeData* data)
{
    if (!data->hasUrls())
        return false;
    const QList<QUrl> urls = data->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
}

} // namespace

BackgroundRemovalTab::BackgroundRemovalTab(AppState& appState, QWidget* parent)
    : QWidget(parent)
    , m_appState(appState)
    , m_queue(appState, m_client)
    , m_client(KeychainHelper::standard())
{
    setAcceptDrops(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setSpacing(14);
    layout->addWidget(buildHeader());
    layout->addWidget(buildControlBar());
    layout->addWidget(buildProgressSection());
    layout->addWidget(buildContentArea(), 1);

    connect(&m_queue, &BatchRemovalQueue::tasksChanged, this, &BackgroundRemovalTab::refreshControls);
    connect(&m_queue, &BatchRemovalQueue::taskChanged, this, &BackgroundRemovalTab::refreshControls);
    connect(&m_queue, &BatchRemovalQueue::processingStateChanged, this, &BackgroundRemovalTab::refreshControls);
    connect(&m_queue, &BatchRemovalQueue::addingChanged, this, &BackgroundRemovalTab::refreshControls);
    connect(&m_queue, &BatchRemovalQueue::alertRequested, this, &BackgroundRemovalTab::showAlert);

    // The main window's "Process All" and the shortcut reach the tab only while it is on screen.
    connect(&NotificationCenter::defaultCenter(), &NotificationCenter::posted, this,
            [this](const QString& name) {
                if (name == kProcessAllImages && isVisible())
                    m_queue.processAllImagesInTab();
            });

    refreshControls();
}

BackgroundRemovalTab::~BackgroundRemovalTab()
{
    m_queue.shutdown();
}

QWidget* BackgroundRemovalTab::buildHeader()
{
    auto* title = new QLabel(QStringLiteral("KIVOPRO"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 2.0);
    titleFont.setBold(true);
    title->setFont(titleFont);
    auto* subtitle = new QLabel(tr("Professional Background Removal"));
    subtitle->setForegroundRole(QPalette::PlaceholderText);

    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(title);
    titles->addWidget(subtitle);

    m_countLabel = new QLabel;
    m_processedCountLabel = new QLabel;
    m_processedCountLabel->setStyleSheet(QStringLiteral("color: #30b050;"));
    QFont countFont = m_countLabel->font();
    countFont.setWeight(QFont::DemiBold);
    m_countLabel->setFont(countFont);
    m_processedCountLabel->setFont(countFont);
    auto* counts = new QVBoxLayout;
    counts->setSpacing(2);
    counts->addWidget(m_countLabel, 0, Qt::AlignRight);
    counts->addWidget(m_processedCountLabel, 0, Qt::AlignRight);

    auto* header = new QWidget;
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->addLayout(titles);
    row->addStretch();
    row->addLayout(counts);
    return header;
}

QWidget* BackgroundRemovalTab::buildControlBar()
{
    m_selectButton = new QPushButton(tr("Select Images"));
    m_processButton = new QPushButton(tr("Process All"));
    makeProminent(m_selectButton);
    makeProminent(m_processButton);
    m_clearButton = new QPushButton(tr("Clear All"));
    m_downloadAllButton = new QPushButton(tr("Download All"));
    m_editSelectedButton = new QPushButton(tr("Edit Selected"));

    connect(m_selectButton, &QPushButton::clicked, this, &BackgroundRemovalTab::pickImages);
    connect(m_processButton, &QPushButton::clicked, &m_queue, &BatchRemovalQueue::processAllImagesInTab);
    connect(m_clearButton, &QPushButton::clicked, &m_queue, &BatchRemovalQueue::clearAll);
    connect(m_downloadAllButton, &QPushButton::clicked, this, &BackgroundRemovalTab::saveAll);
    connect(m_editSelectedButton, &QPushButton::clicked, &m_queue, &BatchRemovalQueue::editSelected);

    m_aiModelMenu = new QComboBox;
    m_aiModelMenu->setFixedWidth(220);
    for (AIModelSelection model : allCases<AIModelSelection>())
        m_aiModelMenu->addItem(rawValue(model), QVariant::fromValue(int(model)));
    connect(m_aiModelMenu, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_queue.setAiModel(allCases<AIModelSelection>()[size_t(index)]);
    });

    auto* bar = new QWidget;
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    for (QPushButton* button : {m_selectButton, m_processButton, m_clearButton, m_downloadAllButton, m_editSelectedButton})
        row->addWidget(button);
    row->addStretch();
    row->addWidget(new QLabel(tr("AI Model")));
    row->addWidget(m_aiModelMenu);
    return bar;
}

QWidget* BackgroundRemovalTab::buildProgressSection()
{
    m_progressBar = new QProgressBar;
    m_progressBar->setRange(0, 1000);
    m_progressBar->setTextVisible(false);
    m_progressBar->setFixedHeight(8);
    m_progressCaption = new QLabel;
    m_cancelButton = new QPushButton(tr("Cancel"));
    connect(m_cancelButton, &QPushButton::clicked, &m_queue, &BatchRemovalQueue::cancelProcessing);

    m_progressSection = new QWidget;
    auto* progress = new QVBoxLayout(m_progressSection);
    progress->setContentsMargins(0, 0, 0, 0);
    progress->addWidget(m_progressBar);
    auto* captionRow = new QHBoxLayout;
    captionRow->addWidget(m_progressCaption);
    captionRow->addStretch();
    captionRow->addWidget(m_cancelButton);
    progress->addLayout(captionRow);

    m_addingLabel = new QLabel;
    m_addingRow = new QWidget;
    auto* adding = new QHBoxLayout(m_addingRow);
    adding->setContentsMargins(0, 0, 0, 0);
    adding->addWidget(new BusyIndicator);
    adding->addWidget(m_addingLabel);
    adding->addStretch();

    auto* section = new QWidget;
    auto* layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_progressSection);
    layout->addWidget(m_addingRow);
    return section;
}

QWidget* BackgroundRemovalTab::buildContentArea()
{
    m_dropZone = new DropZoneView;
    const auto showDropsEnabled = [this] { m_dropZone->setDropsEnabled(m_appState.userPreferences().enableDragAndDrop); };
    connect(&m_appState, &AppState::userPreferencesChanged, m_dropZone, showDropsEnabled);
    showDropsEnabled();
    connect(m_dropZone, &DropZoneView::browseRequested, this, &BackgroundRemovalTab::pickImages);

    // The cards are painted by the view for the rows on screen only.
    m_taskModel = new BatchTaskModel(m_queue, this);
    m_cardView = new BatchCardView(*m_taskModel);
    BatchCardDelegate* cards = m_cardView->cardDelegate();
    connect(cards, &BatchCardDelegate::downloadRequested, this, &BackgroundRemovalTab::saveOne);
    connect(cards, &BatchCardDelegate::editRequested, &m_queue, &BatchRemovalQueue::openInEditor);
    connect(cards, &BatchCardDelegate::imageTapped, this, &BackgroundRemovalTab::showImagePreview);

    m_content = new QStackedWidget;
    m_content->insertWidget(dropZonePage, m_dropZone);
    m_content->insertWidget(gridPage, m_cardView);

    m_contentFrame = new QFrame;
    m_contentFrame->setObjectName(QStringLiteral("contentArea"));
    auto* layout = new QVBoxLayout(m_contentFrame);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(m_content);
    setDragOver(false);
    return m_contentFrame;
}

bool BackgroundRemovalTab::showsDropZone() const
{
    return m_content->currentIndex() == dropZonePage;
}

void BackgroundRemovalTab::refreshControls()
{
    const QList<ImageProcessingTask>& tasks = m_queue.selectedImages();
    const auto completed = std::count_if(tasks.begin(), tasks.end(), [](const ImageProcessingTask& task) {
        return task.status == ProcessingStatus::completed;
    });
    const bool processing = m_queue.isProcessing();
    const bool empty = tasks.isEmpty();

    m_countLabel->setText(tr("%1 images").arg(tasks.size()));
    m_processedCountLabel->setText(tr("%1 processed").arg(completed));

    m_selectButton->setEnabled(!processing);
    m_processButton->setEnabled(!empty && !processing);
    m_clearButton->setEnabled(!empty && !processing);
    m_downloadAllButton->setEnabled(completed > 0 && !processing);
    m_editSelectedButton->setVisible(!empty);
    m_editSelectedButton->setEnabled(completed > 0);

    m_progressSection->setVisible(processing);
    m_progressBar->setValue(int(m_queue.processingProgress() * 1000));
    m_cancelButton->setEnabled(!m_queue.isCancelling());
    m_progressCaption->setText(m_queue.isCancelling()
                                   ? tr("Stopping after the current image…")
                                   : progressCaptionText());

    m_addingRow->setVisible(m_queue.isAdding());
    m_addingLabel->setText(m_queue.filesBeingAdded() > 0 ? tr("Adding images… %1 left").arg(m_queue.filesBeingAdded())
                                                         : tr("Looking for images…"));

    m_content->setCurrentIndex(empty && !processing ? dropZonePage : gridPage);
}

// Progress counts finished photos. The local engine works on one at a time; the remote one has
// several at the service while the others wait in the client.
QString BackgroundRemovalTab::progressCaptionText() const
{
    const int total = m_queue.runPhotoCount();
    const int finished = m_queue.runFinishedCount();
    if (m_queue.aiModel() == AIModelSelection::localFree)
        return tr("Processing image %1 of %2").arg(std::min(finished + 1, std::max(total, 1))).arg(total);
    QString caption = tr("Processed %1 of %2 images").arg(finished).arg(total);
    if (const int sent = m_queue.uploadsAtService(); sent > 0)
        caption += tr(" · %1 at the service").arg(sent);
    if (const int waiting = total - finished - m_queue.uploadsAtService(); waiting > 0)
        caption += tr(" · %1 waiting").arg(waiting);
    return caption;
}

void BackgroundRemovalTab::pickImages()
{
    const QList<QUrl> files = QFileDialog::getOpenFileUrls(
        this, tr("Select Images to Process"),
        QUrl::fromLocalFile(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation)),
        tr("Images (*.png *.jpg *.jpeg *.gif *.bmp *.tif *.tiff *.webp *.heic *.heif)"));
    if (!files.isEmpty())
        m_queue.addImages(files);
}

void BackgroundRemovalTab::saveOne(const ImageProcessingTask& task)
{
    if (!task.processedImage)
        return;
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    const QString path = QFileDialog::getSaveFileName(this, tr("Save Processed Image"),
                                                      QDir(folder).filePath(cutoutFileName(task.originalURL)),
                                                      tr("PNG Image (*.png)"));
    if (path.isEmpty())
        return;
    m_queue.downloadImage(task, path, [this](bool ok) {
        showAlert(ok ? tr("Image saved successfully!") : tr("Failed to save image. Please try again."));
    });
}

void BackgroundRemovalTab::saveAll()
{
    // The panel opens in the default export location; the results go into the export subfolder
    // when the preferences ask for one.
    const UserPreferences& preferences = m_appState.userPreferences();
    const QString folder =
        QFileDialog::getExistingDirectory(this, tr("Select Download Folder"), defaultExportDirectory(preferences));
    if (folder.isEmpty())
        return;
    m_queue.downloadAllImages(exportFolderFor(folder, preferences),
                              [this](const QString& message) { showAlert(message); });
}

void BackgroundRemovalTab::showAlert(const QString& message)
{
    if (m_alert)
        m_alert->close();
    m_alert = new QMessageBox(QMessageBox::NoIcon, tr("Background Remover"), message, QMessageBox::Ok, this);
    m_alert->setAttribute(Qt::WA_DeleteOnClose);
    m_alert->setWindowModality(Qt::WindowModal);
    m_alert->open();
}

void BackgroundRemovalTab::showImagePreview(const CachedImage& cached, const QString& title)
{
    if (!m_previewFactory || cached.isNull())
        return;
    const quint64 request = ++m_previewRequests;
    QtConcurrent::run([cached] { return cached.decode(); }).then(this, [this, request, title](const QImage& image) {
        if (request == m_previewRequests && !image.isNull())
            showDecodedPreview(image, title);
    });
}

void BackgroundRemovalTab::showDecodedPreview(const QImage& image, const QString& title)
{
    hideImagePreview();
    QWidget* preview = m_previewFactory(image, title, [this] { hideImagePreview(); });
    m_previewOverlay = new PreviewOverlay(preview, this);
    connect(m_previewOverlay, &PreviewOverlay::dismissed, this, &BackgroundRemovalTab::hideImagePreview);
    m_previewOverlay->show();
    m_previewOverlay->raise();
}

void BackgroundRemovalTab::hideImagePreview()
{
    // The preview may be the one asking: it goes once its event is over.
    if (m_previewOverlay) {
        m_previewOverlay->hide();
        m_previewOverlay->deleteLater();
        m_previewOverlay = nullptr;
    }
}

void BackgroundRemovalTab::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_queue.takeListFromAppState();
}

void BackgroundRemovalTab::setDragOver(bool dragOver)
{
    m_isDragOver = dragOver;
    m_dropZone->setDragOver(dragOver);
    m_contentFrame->setStyleSheet(
        dragOver ? QStringLiteral("QFrame#contentArea { border: 2px dashed #0a84ff; border-radius: 12px;"
                                  " background: rgba(10, 132, 255, 0.08); }")
                 : QStringLiteral("QFrame#contentArea { border: 2px dashed palette(mid); border-radius: 12px; }"));
}

void BackgroundRemovalTab::dragEnterEvent(QDragEnterEvent* event)
{
    // "Enable drag and drop" off: the drop is refused, the zone says to use Browse Files.
    if (!m_appState.userPreferences().enableDragAndDrop || !carriesLocalFiles(event->mimeData()))
        return;
    event->acceptProposedAction();
    setDragOver(true);
}

void BackgroundRemovalTab::dragLeaveEvent(QDragLeaveEvent*)
{
    setDragOver(false);
}

void BackgroundRemovalTab::dropEvent(QDropEvent* event)
{
    setDragOver(false);
    if (!m_appState.userPreferences().enableDragAndDrop || !carriesLocalFiles(event->mimeData()))
        return;
    event->acceptProposedAction();
    m_queue.handleDrop(event->mimeData()->urls());
}

} // namespace kivo
