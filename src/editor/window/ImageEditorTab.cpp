#include "ImageEditorTab.h"

#include "LayerPanel.h"
#include "NewSessionDialog.h"
#include "ToolPanel.h"

#include "editor/canvas/EditorCanvasView.h"
#include "editor/canvas/EditorIcons.h"
#include "editor/document/ImageEditorModel.h"
#include "editor/document/OpenRasterFile.h"
#include "editor/document/SessionEdits.h"
#include "editor/export/ExportFlow.h"

#include "core/AppState.h"
#include "core/WidgetStyle.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace kivo {

namespace {

enum Page { emptyPage, editorPage };

} // namespace

ImageEditorTab::ImageEditorTab(AppState& appState, QWidget* parent)
    : QWidget(parent)
    , m_model(std::make_unique<ImageEditorModel>(appState))
    , m_pages(new QStackedWidget)
    , m_newSessionDialog(new NewSessionDialog(this))
{
    m_toolPanel = new ToolPanel(*m_model);
    m_canvas = new EditorCanvasView(*m_model);
    m_layerPanel = new LayerPanel(*m_model);
    m_toolPanel->setFixedWidth(std::max(m_toolPanel->minimumWidth(), 250));
    m_layerPanel->setFixedWidth(240);

    auto* work = new QHBoxLayout;
    work->setContentsMargins(0, 0, 0, 0);
    work->setSpacing(0);
    m_toolPanelLine = new QFrame;
    m_toolPanelLine->setFrameShape(QFrame::VLine);
    m_layerPanelLine = new QFrame;
    m_layerPanelLine->setFrameShape(QFrame::VLine);
    work->addWidget(m_toolPanel);
    work->addWidget(m_toolPanelLine);
    work->addWidget(m_canvas, 1);
    work->addWidget(m_layerPanelLine);
    work->addWidget(m_layerPanel);

    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    auto* editor = new QWidget;
    auto* column = new QVBoxLayout(editor);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildTopBar());
    column->addWidget(divider);
    column->addLayout(work, 1);

    m_pages->insertWidget(emptyPage, buildEmptyState());
    m_pages->insertWidget(editorPage, editor);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pages);

    m_newSessionDialog->setWindowModality(Qt::WindowModal);
    connect(m_newSessionDialog, &NewSessionDialog::createRequested, m_model.get(), &ImageEditorModel::createNamedSession);

    connect(m_model.get(), &ImageEditorModel::selectedSessionChanged, this, &ImageEditorTab::refreshControls);
    connect(m_model.get(), &ImageEditorModel::restoringHistoryChanged, this, &ImageEditorTab::refreshControls);
    connect(&appState, &AppState::editorSessionsChanged, this, &ImageEditorTab::refreshSessionPicker);
    connect(m_model.get(), &ImageEditorModel::alertRequested, this, [this](const QString& message) { showEditorAlert(this, message); });
    connect(m_model.get(), &ImageEditorModel::exportRequested, this, &ImageEditorTab::exportCanvas);
    connect(&appState, &AppState::userPreferencesChanged, this, &ImageEditorTab::refreshPanels);
    refreshSessionPicker();
    refreshControls();
    refreshPanels();
}

// The widgets refer to the model: they go first.
ImageEditorTab::~ImageEditorTab()
{
    delete m_pages;
    delete m_newSessionDialog;
}

QWidget* ImageEditorTab::buildEmptyState()
{
    auto* title = new QLabel(tr("No Editor Session"));
    styleFont(title, 1.5, QFont::Bold);
    // One line: a wrapping label centred in the column would be given one line's height and cut.
    QLabel* line = secondaryLabel(tr("Create a new session to start editing images"));
    line->setWordWrap(false);
    m_createSessionButton = new QPushButton(tr("Create Session"));
    makeProminent(m_createSessionButton);
    connect(m_createSessionButton, &QPushButton::clicked, this, &ImageEditorTab::showNewSessionDialog);
    return centredColumn({symbolLabel(QStringLiteral(":/editor-icons/paintbrush.svg"),
                                      palette().color(QPalette::PlaceholderText), 64),
                          title, line, m_createSessionButton},
                         10);
}

QWidget* ImageEditorTab::buildTopBar()
{
    m_sessionPicker = new QComboBox;
    m_sessionPicker->setFixedWidth(200);
    connect(m_sessionPicker, &QComboBox::activated, this, [this](int index) {
        const QUuid id = m_sessionPicker->itemData(index).toUuid();
        m_model->selectSession(id.isNull() ? std::nullopt : std::optional(id));
    });

    m_newSessionButton = new QPushButton(tr("New Session"));
    makeProminent(m_newSessionButton);
    connect(m_newSessionButton, &QPushButton::clicked, this, &ImageEditorTab::showNewSessionDialog);

    const QColor text = palette().color(QPalette::ButtonText);
    m_undoButton = new QPushButton(editorIcon(QStringLiteral("arrow-uturn-left"), text), tr("Undo"));
    m_undoButton->setToolTip(tr("Undo last action"));
    m_redoButton = new QPushButton(editorIcon(QStringLiteral("arrow-uturn-right"), text), tr("Redo"));
    m_redoButton->setToolTip(tr("Redo last undone action"));
    connect(m_undoButton, &QPushButton::clicked, m_model.get(), &ImageEditorModel::undo);
    connect(m_redoButton, &QPushButton::clicked, m_model.get(), &ImageEditorModel::redo);

    m_importButton = new QPushButton(tr("Import Image"));
    m_exportButton = new QPushButton(tr("Export"));
    connect(m_importButton, &QPushButton::clicked, this, &ImageEditorTab::importImages);
    connect(m_exportButton, &QPushButton::clicked, this, &ImageEditorTab::exportCanvas);
    m_saveSessionButton = new QPushButton(tr("Save Session"));
    m_openSessionButton = new QPushButton(tr("Open Session…"));
    connect(m_saveSessionButton, &QPushButton::clicked, this, &ImageEditorTab::saveSession);
    m_saveSessionAsButton = new QPushButton(tr("Save Session As…"));
    connect(m_saveSessionAsButton, &QPushButton::clicked, this, &ImageEditorTab::saveSessionAs);
    connect(m_openSessionButton, &QPushButton::clicked, this, &ImageEditorTab::openSession);
    m_closeSessionButton = new QPushButton(tr("Close Session"));
    connect(m_closeSessionButton, &QPushButton::clicked, this, &ImageEditorTab::closeSession);

    auto* bar = new QWidget;
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(16, 10, 16, 10);
    row->setSpacing(10);
    row->addWidget(new QLabel(tr("Session")));
    row->addWidget(m_sessionPicker);
    row->addWidget(m_newSessionButton);
    row->addWidget(m_closeSessionButton);
    row->addSpacing(12);
    row->addWidget(m_undoButton);
    row->addWidget(m_redoButton);
    row->addStretch();
    row->addWidget(m_openSessionButton);
    row->addWidget(m_saveSessionButton);
    row->addWidget(m_saveSessionAsButton);
    row->addWidget(m_importButton);
    row->addWidget(m_exportButton);
    return bar;
}

bool ImageEditorTab::showsEmptyState() const
{
    return m_pages->currentIndex() == emptyPage;
}

void ImageEditorTab::refreshSessionPicker()
{
    const QSignalBlocker blocker(m_sessionPicker);
    m_sessionPicker->clear();
    m_sessionPicker->addItem(tr("Select Session"), QUuid());
    for (const EditorSession& session : m_model->appState().editorSessions())
        m_sessionPicker->addItem(session.name, session.id);
    const auto& selected = m_model->selectedSession();
    m_sessionPicker->setCurrentIndex(selected ? std::max(0, m_sessionPicker->findData(selected->id)) : 0);
}

void ImageEditorTab::refreshControls()
{
    const bool hasSession = m_model->selectedSession().has_value();
    m_pages->setCurrentIndex(hasSession ? editorPage : emptyPage);
    const bool restoring = m_model->isRestoringHistory();
    m_undoButton->setEnabled(m_model->canUndo() && !restoring);
    m_redoButton->setEnabled(m_model->canRedo() && !restoring);
    m_importButton->setEnabled(hasSession);
    m_exportButton->setEnabled(hasSession);
    m_saveSessionButton->setEnabled(hasSession);
    m_saveSessionAsButton->setEnabled(hasSession);
    m_closeSessionButton->setEnabled(hasSession);
    refreshSessionPicker();
}

// The panels follow the preferences that the "Toggle Tools Panel" and "Toggle Layers Panel"
// shortcuts and the settings change.
void ImageEditorTab::refreshPanels()
{
    const UserPreferences& preferences = m_model->appState().userPreferences();
    m_toolPanel->setVisible(preferences.showToolsPanel);
    m_toolPanelLine->setVisible(preferences.showToolsPanel);
    m_layerPanel->setVisible(preferences.showLayersPanel);
    m_layerPanelLine->setVisible(preferences.showLayersPanel);
}

void ImageEditorTab::showNewSessionDialog()
{
    m_newSessionDialog->open();
    m_newSessionDialog->nameField()->setFocus();
}

void ImageEditorTab::importImages()
{
    if (!m_model->selectedSession())
        return;
    auto* dialog = new QFileDialog(this, tr("Import Image"),
                                   QStandardPaths::writableLocation(QStandardPaths::PicturesLocation),
                                   tr("Images (*.png *.jpg *.jpeg *.tif *.tiff *.gif)"));
    dialog->setObjectName(QStringLiteral("importDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setWindowModality(Qt::WindowModal);
    connect(dialog, &QFileDialog::finished, this, [this, dialog](int result) {
        if (result == QDialog::Accepted)
            m_model->importImageFiles(dialog->selectedUrls());
    });
    dialog->open();
}

void ImageEditorTab::saveSession()
{
    if (!m_model->selectedSession() || m_model->saveSession())
        return;
    saveSessionAs();
}

void ImageEditorTab::saveSessionAs()
{
    if (!m_model->selectedSession())
        return;
    chooseSessionFile([this](const QString& path) { m_model->saveSessionAs(path); });
}

void ImageEditorTab::chooseSessionFile(std::function<void(const QString&)> chosen)
{
    const std::optional<QString> file = m_model->sessionFile();
    auto* dialog = new QFileDialog(this, tr("Save Session"), sessionDialogFolder(file), tr("OpenRaster Image (*.ora)"));
    dialog->setObjectName(QStringLiteral("saveSessionDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(QStringLiteral("ora"));
    dialog->selectFile(file ? QFileInfo(*file).fileName() : sessionFileName(m_model->selectedSession()->name));
    dialog->setWindowModality(Qt::WindowModal);
    connect(dialog, &QFileDialog::finished, this, [dialog, chosen = std::move(chosen)](int result) {
        if (result == QDialog::Accepted && !dialog->selectedFiles().isEmpty())
            chosen(dialog->selectedFiles().front());
    });
    dialog->open();
}

void ImageEditorTab::closeSession()
{
    const auto& selected = m_model->selectedSession();
    if (!selected)
        return;
    const QUuid id = selected->id;
    if (!m_model->appState().userPreferences().confirmBeforeClosing || !m_model->unsavedSessions().contains(id)) {
        m_model->closeSession(id);
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Warning, tr("Close Session"),
                                tr("“%1” has unsaved changes. Save them before closing?").arg(selected->name),
                                QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("closeSessionQuestion"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QPushButton* save = box->addButton(tr("Save"), QMessageBox::AcceptRole);
    QPushButton* discard = box->addButton(tr("Don't Save"), QMessageBox::DestructiveRole);
    box->addButton(tr("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(save);
    connect(box, &QMessageBox::finished, this, [this, box, save, discard, id] {
        // The question is window-modal, but the session may have gone meanwhile.
        if (!m_model->selectedSession() || m_model->selectedSession()->id != id)
            return;
        if (box->clickedButton() == discard) {
            m_model->closeSession(id);
        } else if (box->clickedButton() == save) {
            // The file is written from a copy of the session, so it may close at once.
            if (m_model->saveSession())
                m_model->closeSession(id);
            else
                chooseSessionFile([this, id](const QString& path) {
                    if (!m_model->selectedSession() || m_model->selectedSession()->id != id)
                        return;
                    m_model->saveSessionAs(path);
                    m_model->closeSession(id);
                });
        }
    });
    box->open();
}

void ImageEditorTab::openSession()
{
    auto* dialog = new QFileDialog(this, tr("Open Session"), sessionDialogFolder(m_model->sessionFile()),
                                   tr("OpenRaster Image (*.ora)"));
    dialog->setObjectName(QStringLiteral("openSessionDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setWindowModality(Qt::WindowModal);
    connect(dialog, &QFileDialog::finished, this, [this, dialog](int result) {
        if (result == QDialog::Accepted && !dialog->selectedFiles().isEmpty())
            m_model->openSessionFile(dialog->selectedFiles().front());
    });
    dialog->open();
}

void ImageEditorTab::exportCanvas()
{
    kivo::exportCanvas(this, *m_model);
}

void ImageEditorTab::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_model->ensureSelectedSession();
}

} // namespace kivo
