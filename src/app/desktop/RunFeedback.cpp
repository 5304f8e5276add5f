#include "RunFeedback.h"

#include "CompletionSound.h"
#include "DesktopNotifier.h"
#include "LauncherProgress.h"

#include "core/AppState.h"
#include "core/ImageHistory.h"
#include "removal/monitor/FolderMonitor.h"

#include <QPixmapCache>

#include <cmath>

namespace kivo {

RunFeedback::RunFeedback(AppState& appState, DesktopNotifier& notifier, LauncherProgress& launcher,
                         CompletionSound& sound, std::function<bool()> windowIsActive, QObject* parent)
    : QObject(parent)
    , m_appState(appState)
    , m_notifier(notifier)
    , m_launcher(launcher)
    , m_sound(sound)
    , m_windowIsActive(std::move(windowIsActive))
{
    // Switching "Show progress in dock" during a run shows or hides the progress at once.
    connect(&appState, &AppState::userPreferencesChanged, this, [this] {
        showProgress(m_processing, m_progress);
        followMemoryUsage();
    });
    followMemoryUsage();
}

void RunFeedback::followMemoryUsage()
{
    const MemoryUsage memoryUsage = m_appState.userPreferences().memoryUsage;
    ImageHistory::setResidentNeighbours(decodedHistoryNeighbours(memoryUsage));
    // A smaller limit drops the least used pixmaps at once.
    QPixmapCache::setCacheLimit(thumbnailCacheKiB(memoryUsage));
}

int RunFeedback::thumbnailCacheKiB(MemoryUsage memoryUsage)
{
    // A card holds two thumbnails of at most 120 × 120: Conservative keeps about a screenful of
    // cards painted, Aggressive a long batch scrolled to and fro without painting them again.
    switch (memoryUsage) {
    case MemoryUsage::conservative: return 4 * 1024;
    case MemoryUsage::balanced: return 16 * 1024;
    case MemoryUsage::aggressive: return 64 * 1024;
    }
    return 16 * 1024;
}

int RunFeedback::decodedHistoryNeighbours(MemoryUsage memoryUsage)
{
    // A 12 MP step is 48 MB decoded; undo to a step that is not held takes about 60 ms.
    switch (memoryUsage) {
    case MemoryUsage::conservative: return 0;
    case MemoryUsage::balanced: return 1;
    case MemoryUsage::aggressive: return 3;
    }
    return 1;
}

QString RunFeedback::runSummary(int completed, int failed)
{
    QString summary = completed == 1 ? tr("1 photo cut out") : tr("%1 photos cut out").arg(completed);
    if (failed > 0)
        summary += tr(", %1 failed").arg(failed);
    return summary;
}

void RunFeedback::runProgressed(bool processing, double progress)
{
    m_processing = processing;
    m_progress = progress;
    showProgress(processing, progress);
}

void RunFeedback::showProgress(bool processing, double progress)
{
    if (processing && m_appState.userPreferences().showProgressInDock) {
        m_launcher.show(progress);
        // The application's name last: the platform appends it to any title not ending with it.
        setWindowTitle(QStringLiteral("%1% — %2").arg(int(std::floor(progress * 100))).arg(baseTitle));
    } else {
        m_launcher.hide();
        setWindowTitle(QString(baseTitle));
    }
}

void RunFeedback::runEnded(int completed, int failed)
{
    runProgressed(false, 0);
    const UserPreferences& preferences = m_appState.userPreferences();
    if (preferences.showProcessingNotifications && !m_windowIsActive())
        m_notifier.notify(tr("Background removal finished"), runSummary(completed, failed));
    if (preferences.playSoundOnCompletion)
        m_sound.play();
    if (preferences.openProcessedInEditor && completed > 0)
        emit openResultsInEditor();
    if (preferences.memoryUsage == MemoryUsage::conservative)
        emit releaseEngineMemory();
}

void RunFeedback::monitoredFileFinished(const QString& fileName, bool succeeded)
{
    if (!m_appState.userPreferences().showProcessingNotifications || m_windowIsActive())
        return;
    m_notifier.notify(tr("Folder Trigger"),
                      succeeded ? tr("%1: background removed").arg(fileName) : tr("%1 could not be processed").arg(fileName));
}

void RunFeedback::announceFilesOf(const FolderMonitor& monitor)
{
    connect(&monitor, &FolderMonitor::fileFinished, this, &RunFeedback::monitoredFileFinished);
}

void RunFeedback::setWindowTitle(const QString& title)
{
    if (title == m_windowTitle)
        return;
    m_windowTitle = title;
    emit windowTitleChanged(title);
}

} // namespace kivo
