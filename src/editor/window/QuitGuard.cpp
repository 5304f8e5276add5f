#include "QuitGuard.h"

#include "editor/document/ImageEditorModel.h"
#include "editor/document/OpenRasterFile.h"
#include "editor/document/SessionEdits.h"

#include "core/AppState.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace kivo {

QuitGuard::QuitGuard(QWidget* window, ImageEditorModel& model)
    : QObject(window)
    , m_window(window)
    , m_model(model)
{
    m_ask = [this](int count) {
        QMessageBox box(QMessageBox::Warning, tr("Unsaved Sessions"),
                        count == 1 ? tr("1 editor session has unsaved changes. Save it before quitting?")
                                   : tr("%1 editor sessions have unsaved changes. Save them before quitting?").arg(count),
                        QMessageBox::NoButton, m_window);
        QPushButton* save = box.addButton(tr("Save"), QMessageBox::AcceptRole);
        QPushButton* discard = box.addButton(tr("Don't Save"), QMessageBox::DestructiveRole);
        box.addButton(tr("Cancel"), QMessageBox::RejectRole);
        box.setDefaultButton(save);
        box.exec();
        if (box.clickedButton() == save)
            return Answer::save;
        return box.clickedButton() == discard ? Answer::discard : Answer::cancel;
    };
    m_chooseFile = [this](const QString& name) {
        return QFileDialog::getSaveFileName(m_window, tr("Save Session"),
                                            QDir(sessionDialogFolder(std::nullopt)).filePath(sessionFileName(name)),
                                            tr("OpenRaster Image (*.ora)"));
    };
    m_askAboutBatch = [this] {
        QMessageBox box(QMessageBox::Warning, tr("Batch Run in Progress"),
                        tr("Images are still being processed. Quit and stop the batch run?"), QMessageBox::NoButton,
                        m_window);
        QPushButton* quit = box.addButton(tr("Quit"), QMessageBox::DestructiveRole);
        QPushButton* cancel = box.addButton(tr("Cancel"), QMessageBox::RejectRole);
        box.setDefaultButton(cancel);
        box.exec();
        return box.clickedButton() == quit;
    };
    window->installEventFilter(this);
}

bool QuitGuard::mayClose()
{
    if (!m_model.appState().userPreferences().confirmBeforeClosing)
        return true;
    if (m_batchRunning && m_batchRunning() && !m_askAboutBatch())
        return false;
    const QList<QUuid> unsaved = m_model.unsavedSessions();
    if (unsaved.isEmpty())
        return true;
    switch (m_ask(int(unsaved.size()))) {
    case Answer::cancel: return false;
    case Answer::discard: return true;
    case Answer::save: break;
    }
    for (const QUuid& id : m_model.saveAllWithFiles()) {
        for (const EditorSession& session : m_model.appState().editorSessions()) {
            if (session.id != id)
                continue;
            const QString path = m_chooseFile(session.name);
            if (path.isEmpty())
                return false;
            if (saveSessionFile(path, session))
                return false;
        }
    }
    return true;
}

bool QuitGuard::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_window && event->type() == QEvent::Close && !mayClose()) {
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace kivo
