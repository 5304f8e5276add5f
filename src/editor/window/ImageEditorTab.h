#pragma once

#include <functional>

#include <QWidget>

class QComboBox;
class QFrame;
class QPushButton;
class QStackedWidget;

namespace kivo {

class AppState;
class EditorCanvasView;
class ImageEditorModel;
class LayerPanel;
class NewSessionDialog;
class ToolPanel;

// The Image Editor tab: the session bar, then the tools, the canvas and the layers; or, with no
// session selected, the invitation to create one. The state and every operation live in
// ImageEditorModel; this widget shows them and turns clicks, panels and drops into calls.
class ImageEditorTab : public QWidget {
    Q_OBJECT
public:
    explicit ImageEditorTab(AppState& appState, QWidget* parent = nullptr);
    ~ImageEditorTab() override;

    ImageEditorModel& model() const { return *m_model; }

    bool showsEmptyState() const;
    QPushButton* createSessionButton() const { return m_createSessionButton; }
    QComboBox* sessionPicker() const { return m_sessionPicker; }
    QPushButton* newSessionButton() const { return m_newSessionButton; }
    QPushButton* undoButton() const { return m_undoButton; }
    QPushButton* redoButton() const { return m_redoButton; }
    QPushButton* importButton() const { return m_importButton; }
    QPushButton* exportButton() const { return m_exportButton; }
    QPushButton* saveSessionButton() const { return m_saveSessionButton; }
    QPushButton* saveSessionAsButton() const { return m_saveSessionAsButton; }
    QPushButton* openSessionButton() const { return m_openSessionButton; }
    QPushButton* closeSessionButton() const { return m_closeSessionButton; }
    ToolPanel* toolPanel() const { return m_toolPanel; }
    EditorCanvasView* canvas() const { return m_canvas; }
    LayerPanel* layerPanel() const { return m_layerPanel; }
    NewSessionDialog* newSessionDialog() const { return m_newSessionDialog; }

    // The open panel of "Import Image" (multiple image files).
    void importImages();
    void exportCanvas();
    void showNewSessionDialog();
    // "Save Session": to the session's file, asking for one the first time; "Save Session
    // As…" always asks; "Open Session…" opens an OpenRaster file as a new session.
    void saveSession();
    void saveSessionAs();
    void openSession();
    // "Close Session": the selected session goes; with unsaved changes (and "Confirm before
    // closing unsaved sessions" on) a window-modal question first offers "Save", "Don't Save"
    // and "Cancel".
    void closeSession();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildEmptyState();
    QWidget* buildTopBar();
    // The save dialog of a session's file; `chosen` receives the path when the user picks one.
    void chooseSessionFile(std::function<void(const QString&)> chosen);
    void refreshSessionPicker();
    void refreshControls();
    void refreshPanels();

    std::unique_ptr<ImageEditorModel> m_model;
    QStackedWidget* m_pages = nullptr;
    QPushButton* m_createSessionButton = nullptr;
    QComboBox* m_sessionPicker = nullptr;
    QPushButton* m_newSessionButton = nullptr;
    QPushButton* m_undoButton = nullptr;
    QPushButton* m_redoButton = nullptr;
    QPushButton* m_importButton = nullptr;
    QPushButton* m_exportButton = nullptr;
    QPushButton* m_saveSessionButton = nullptr;
    QPushButton* m_saveSessionAsButton = nullptr;
    QPushButton* m_closeSessionButton = nullptr;
    QPushButton* m_openSessionButton = nullptr;
    ToolPanel* m_toolPanel = nullptr;
    EditorCanvasView* m_canvas = nullptr;
    LayerPanel* m_layerPanel = nullptr;
    QFrame* m_toolPanelLine = nullptr;
    QFrame* m_layerPanelLine = nullptr;
    NewSessionDialog* m_newSessionDialog = nullptr;
};

} // namespace kivo
