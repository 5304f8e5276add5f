#include "ExportFlow.h"

#include "ExportManager.h"

#include "editor/document/ImageEditorModel.h"
#include "editor/document/OpenRasterFile.h"
#include "editor/rendering/CanvasRenderer.h"

#include "core/AppState.h"
#include "core/FileNaming.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

QMessageBox* showEditorAlert(QWidget* parent, const QString& message)
{
    auto* alert = new QMessageBox(QMessageBox::NoIcon, QObject::tr("Background Removal"), message, QMessageBox::Ok, parent);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    alert->open();
    return alert;
}

void showExportDialog(QWidget* parent, const std::optional<QString>& suggestedName, const UserPreferences& preferences,
                      const QString& folder, std::function<void(std::optional<QString>)> done)
{
    const ExportManager::SaveDialogSetup setup = ExportManager::saveDialogSetup(suggestedName, preferences, folder);
    auto* dialog = new QFileDialog(parent, QObject::tr("Export Image"));
    dialog->setObjectName(QStringLiteral("exportDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilters(setup.nameFilters);
    dialog->selectNameFilter(setup.nameFilter);
    if (!setup.directory.isEmpty())
        dialog->setDirectory(setup.directory);
    dialog->selectFile(setup.proposedName);
    dialog->setWindowModality(Qt::WindowModal);
    // Choosing another type changes the proposed name's extension with it.
    QObject::connect(dialog, &QFileDialog::filterSelected, dialog, [dialog](const QString& filter) {
        auto* name = dialog->findChild<QLineEdit*>();
        const auto format = ExportManager::formatOfNameFilter(filter);
        if (!name || !format || name->text().isEmpty())
            return;
        const QFileInfo typed(name->text());
        const QString base = ExportManager::formatOfFileName(typed.fileName()) ? typed.completeBaseName() : typed.fileName();
        name->setText(base + QLatin1Char('.') + fileExtension(*format));
    });
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, done = std::move(done)](int result) {
        const QStringList files = dialog->selectedFiles();
        if (result == QDialog::Accepted && !files.isEmpty()) {
            // The extension typed decides the format; the count is taken in the folder the user
            // ended up choosing.
            const QFileInfo chosen(ExportManager::pathWithFormat(files.front(), dialog->selectedNameFilter()));
            done(chosen.dir().filePath(fillCounter(chosen.fileName(), chosen.path())));
        }
        else
            done(std::nullopt);
    });
    dialog->open();
}

namespace {

// The preferences with the format the chosen file's extension asks for.
UserPreferences withFormatOf(const QString& path, UserPreferences preferences)
{
    preferences.defaultExportFormat = ExportManager::formatOfFileName(path).value_or(preferences.defaultExportFormat);
    return preferences;
}

// What a format without alpha is flattened onto: the canvas background, white when it is
// transparent.
QColor flatteningColour(const EditorSession& session)
{
    switch (session.canvasBackground) {
    case CanvasBackground::transparent: return Qt::white;
    case CanvasBackground::white: return Qt::white;
    case CanvasBackground::black: return Qt::black;
    case CanvasBackground::custom: return session.customBackgroundColor;
    }
    return Qt::white;
}

// A failed export shows in the editor's alert once it is known.
void alertOnFailure(const QPointer<QWidget>& owner, const QFuture<ExportManager::Placement>& exporting)
{
    auto* watcher = new QFutureWatcher<ExportManager::Placement>(owner);
    QObject::connect(watcher, &QFutureWatcherBase::finished, owner, [owner, watcher] {
        watcher->deleteLater();
        const ExportManager::Placement placement = watcher->result();
        if (placement.error && owner)
            showEditorAlert(owner, placement.error->description());
    });
    watcher->setFuture(exporting);
}

} // namespace

void exportImageWithDialog(QWidget* parent, const QImage& image, const std::optional<QString>& suggestedName,
                           const UserPreferences& preferences)
{
    QPointer<QWidget> owner(parent);
    showExportDialog(parent, suggestedName, preferences, sessionDialogFolder(std::nullopt),
                     [owner, image, preferences](std::optional<QString> path) {
        if (!path || !owner)
            return;
        alertOnFailure(owner, ExportManager::shared().exportTo(image, *path, withFormatOf(*path, preferences)));
    });
}

void exportCanvas(QWidget* parent, const ImageEditorModel& model)
{
    const std::optional<EditorSession>& session = model.selectedSession();
    if (!session || !session->currentImage)
        return;
    // The session is a value: it is composed off the window's thread once a path is chosen,
    // through the same composition the canvas shows.
    const EditorSession document = *session;
    const QList<DrawingStroke> overlay = model.overlayDrawing().strokes;
    const UserPreferences preferences = model.appState().userPreferences();
    QPointer<QWidget> owner(parent);
    showExportDialog(parent, session->name, preferences, sessionDialogFolder(model.sessionFile()),
                     [owner, document, overlay, preferences](std::optional<QString> path) {
        if (!path || !owner)
            return;
        alertOnFailure(owner, QtConcurrent::run(QThreadPool::globalInstance(), [document, overlay, path = *path, preferences] {
            const QImage image = renderCanvasToImage(document, overlay).value_or(QImage());
            return ExportManager::shared()
                .exportTo(image, path, withFormatOf(path, preferences), flatteningColour(document))
                .result();
        }));
    });
}

} // namespace kivo
