#pragma once

#include <QObject>

#include <functional>

class QWidget;

namespace kivo {

class ImageEditorModel;

// Asks before the window closes (the close button, or quitting, which closes the windows
// first) while an editor session has changes not saved to a file and "Confirm before closing
// unsaved sessions" is on: "Save" writes the sessions that have a file and asks for one for each
// of the others, "Don't Save" closes, "Cancel" keeps the window open. A batch run in progress is
// asked about first: "Quit" throws it away, "Cancel" keeps the window open.
class QuitGuard : public QObject {
    Q_OBJECT
public:
    QuitGuard(QWidget* window, ImageEditorModel& model);

    enum class Answer { save, discard, cancel };
    // Where the question goes; the default shows a window-modal question and waits for it.
    void setAsk(std::function<Answer(int unsavedCount)> ask) { m_ask = std::move(ask); }
    // Where a file for an unsaved session without one comes from; empty skips the session.
    void setChooseFile(std::function<QString(const QString& sessionName)> choose) { m_chooseFile = std::move(choose); }

    // Whether a batch run is in progress; while one is, closing asks first whether to stop it.
    void setBatchRunning(std::function<bool()> running) { m_batchRunning = std::move(running); }
    // Where that question goes: true stops the run and goes on closing.
    void setAskAboutBatch(std::function<bool()> ask) { m_askAboutBatch = std::move(ask); }

    // Whether the window may close now.
    bool mayClose();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_window;
    ImageEditorModel& m_model;
    std::function<Answer(int)> m_ask;
    std::function<QString(const QString&)> m_chooseFile;
    std::function<bool()> m_batchRunning;
    std::function<bool()> m_askAboutBatch;
};

} // namespace kivo
