#pragma once

#include "removal/batch/AIModelSelection.h"

#include <QFileDialog>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <optional>

class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace kivo {

class AppState;
class TriggerActivityRow;

// The folder monitor's settings and activity ("Folder Trigger"): the switch, the engine, the
// folder, the status and the recent activity. The main window's Trigger tab shows one and the
// settings window's Trigger tab another, over the same application state; the view is a plain
// widget that any container can host.
//
// The chosen folder and engine are the view's own; they follow the preferences, and every
// change here is stored at once, so two views never disagree and the monitor always runs on
// what the view shows.
class TriggerSettingsView : public QWidget {
    Q_OBJECT
public:
    explicit TriggerSettingsView(AppState& appState, QWidget* parent = nullptr);

    std::optional<QString> chosenFolder() const { return m_chosenFolder; }
    AIModelSelection chosenEngine() const { return m_chosenEngine; }

    QCheckBox* enableSwitch() const { return m_enableSwitch; }
    QPushButton* engineButton(AIModelSelection engine) const;
    QWidget* engineNote() const { return m_engineNote; }
    QPushButton* chooseFolderButton() const { return m_chooseButton; }
    QPushButton* openFolderButton() const { return m_openButton; }
    QPushButton* clearFolderButton() const { return m_clearButton; }
    QLabel* folderPathLabel() const { return m_folderPath; }
    QWidget* noFolderWarning() const { return m_noFolderRow; }
    QLabel* folderMissingLabel() const { return m_folderMissing; }
    QLabel* statusLabel() const { return m_statusText; }
    QWidget* monitoringNote() const { return m_monitoringNote; }
    // The reason of an error, or the note beside "Idle" (files left waiting).
    QLabel* statusReasonLabel() const { return m_statusReason; }
    QLabel* processedCountLabel() const { return m_processedCount; }
    // Failed and waiting files of the session, beside the processed count.
    QLabel* totalsLabel() const { return m_totals; }
    QPushButton* clearHistoryButton() const { return m_clearHistoryButton; }
    QList<TriggerActivityRow*> activityRows() const { return m_rows; }
    QWidget* emptyActivity() const { return m_emptyActivity; }
    // The "Select Folder to Monitor" panel while it is open.
    QFileDialog* folderPanel() const { return m_folderPanel; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildEngineSection();
    QWidget* buildFolderSection();
    QWidget* buildStatusSection();
    QWidget* buildActivitySection();

    void chooseEngine(AIModelSelection engine);
    void chooseFolder();
    void folderChosen(const QString& path);
    void clearFolder();
    void openFolder();
    void storeChoices();
    void adoptPreferences();

    bool folderIsMissing() const;
    void refresh();
    void refreshStatus();
    void refreshActivityRows();
    void refreshActivityHeader();

    AppState& m_appState;
    std::optional<QString> m_chosenFolder;
    AIModelSelection m_chosenEngine = AIModelSelection::localFree;

    QCheckBox* m_enableSwitch = nullptr;
    QPushButton* m_localButton = nullptr;
    QPushButton* m_kivoButton = nullptr;
    QWidget* m_engineNote = nullptr;
    QPushButton* m_chooseButton = nullptr;
    QPushButton* m_openButton = nullptr;
    QWidget* m_folderRow = nullptr;
    QLabel* m_folderPath = nullptr;
    QPushButton* m_clearButton = nullptr;
    QLabel* m_folderMissing = nullptr;
    QWidget* m_noFolderRow = nullptr;
    QLabel* m_statusDot = nullptr;
    QLabel* m_statusText = nullptr;
    QWidget* m_monitoringNote = nullptr;
    QWidget* m_errorNote = nullptr;
    QLabel* m_statusReason = nullptr;
    QLabel* m_processedCount = nullptr;
    QLabel* m_totals = nullptr;
    QPushButton* m_clearHistoryButton = nullptr;
    QVBoxLayout* m_rowsLayout = nullptr;
    QList<TriggerActivityRow*> m_rows;
    QWidget* m_emptyActivity = nullptr;
    QPointer<QFileDialog> m_folderPanel;
    QTimer m_clock;
};

} // namespace kivo
