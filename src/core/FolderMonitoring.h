#pragma once

#include <QString>

namespace kivo {

// The folder monitor's watching and processing, as AppState reaches them. They need the removal
// engines, which live above this folder, so the application implements this interface there
// and installs it into AppState (AppState::installFolderMonitor); AppState keeps the status,
// the preferences and the log lines of starting and stopping.
//
// All calls come on the window's thread.
class FolderMonitoring {
public:
    virtual ~FolderMonitoring() = default;

    // Starts watching `folderPath` and every folder below it, replacing any earlier watch.
    // False when the watch cannot be set up (failureReason() says why; the implementation keeps
    // trying until it can, or until stopWatching()).
    virtual bool startWatching(const QString& folderPath) = 0;
    virtual QString failureReason() const = 0;
    // Stops at once: no file reported after this returns starts processing and no waiting file
    // is started. The file in progress finishes. Returns how many files were left waiting.
    virtual int stopWatching() = 0;
    // The folder being watched (or waited for after a failure), or empty.
    virtual QString watchedFolder() const = 0;
    bool isWatching() const { return !watchedFolder().isEmpty(); }
};

} // namespace kivo
