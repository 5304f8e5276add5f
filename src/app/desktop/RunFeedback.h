#pragma once

#include "core/DomainModel.h"

#include <QObject>
#include <QString>

#include <functional>

namespace kivo {

class AppState;
class CompletionSound;
class DesktopNotifier;
class FolderMonitor;
class LauncherProgress;

// What the desktop learns of the work: a batch run's progress on the launcher entry and in the
// window title ("Show progress in dock"), a notification when a run ends or the folder monitor
// finishes a file while the window is not the active one ("Show processing notifications"), the
// completion sound once per run ("Play sound on completion"), and, when a run ends, its results
// opened in the editor ("Open processed images in editor") and the network let go when memory
// is to be kept low ("Memory Usage": conservative). It also sets how many editor history steps
// stay decoded and how large the pixmap cache of the batch's card thumbnails grows for the
// "Memory Usage" chosen. Each preference is read when its moment
// comes, so a change applies at once.
class RunFeedback : public QObject {
    Q_OBJECT
public:
    static constexpr QLatin1StringView baseTitle{"KIVOPRO"};

    RunFeedback(AppState& appState, DesktopNotifier& notifier, LauncherProgress& launcher, CompletionSound& sound,
                std::function<bool()> windowIsActive, QObject* parent = nullptr);

    // The batch queue's state after each change.
    void runProgressed(bool processing, double progress);
    // The batch run ended with these counts over the list.
    void runEnded(int completed, int failed);
    // The folder monitor finished a file.
    void monitoredFileFinished(const QString& fileName, bool succeeded);
    // Announces every file the monitor finishes from now on.
    void announceFilesOf(const FolderMonitor& monitor);

    QString windowTitle() const { return m_windowTitle; }

    // "58 photos cut out, 2 failed".
    static QString runSummary(int completed, int failed);
    // Editor history steps held decoded on each side of the current one for a "Memory Usage".
    static int decodedHistoryNeighbours(MemoryUsage memoryUsage);
    // The pixmap cache's limit in KiB (card thumbnails, about 115 KiB a card) for a "Memory Usage".
    static int thumbnailCacheKiB(MemoryUsage memoryUsage);

signals:
    void windowTitleChanged(const QString& title);
    // The run's completed photos are to open as editor sessions, the editor tab shown.
    void openResultsInEditor();
    // The engine's network and memory are to be given back (off the window's thread).
    void releaseEngineMemory();

private:
    void setWindowTitle(const QString& title);
    void showProgress(bool processing, double progress);
    void followMemoryUsage();

    AppState& m_appState;
    DesktopNotifier& m_notifier;
    LauncherProgress& m_launcher;
    CompletionSound& m_sound;
    std::function<bool()> m_windowIsActive;
    QString m_windowTitle = QString(baseTitle);
    bool m_processing = false;
    double m_progress = 0;
};

} // namespace kivo
