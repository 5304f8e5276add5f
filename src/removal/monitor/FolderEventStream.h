#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace kivo {

// One file-system event below a watched folder.
struct FolderEvent {
    // The markers an arrival carries, with the values the monitor's event filter expects.
    enum Flag : quint32 {
        historyDone = 0x10, // the folders that existed at the start are all watched now
        rootChanged = 0x20, // the watched folder itself was removed or moved away
        itemCreated = 0x100,
        itemRenamed = 0x800, // arrived by a rename or move (with itemCreated)
        itemModified = 0x1000, // an existing file rewritten in place (with itemCreated)
        itemIsFile = 0x10000,
        itemFoundAtStart = 0x100000, // found by the first walk, newer than Options::reportFilesNewerThan
    };
    QString path; // full path
    quint32 flags = 0;
};

// Watches one folder and every folder below it with Linux inotify, on a thread of its own
// ("com.kivopro.folderMonitor"), and reports each file that arrives there once it is complete,
// however it came (every report carries itemCreated | itemIsFile):
// - created and then closed after writing (cp, a download written in place);
// - moved or renamed in (IN_MOVED_TO: mv, a download's ".part" renamed, rsync, an editor's or a
//   QSaveFile's temporary renamed over the photo), at once, since a rename is atomic;
// - linked in: a hard link, a symbolic link, or an O_TMPFILE file given its name by linkat.
//   These show as IN_CREATE of a file that is already complete and no close follows, so such a
//   file is reported once it has kept its size and time for the quiet time;
// - rewritten in place (opened, changed, closed): a close after a change counts again, a close
//   without one does not.
// Folders created later are watched as they appear (and the files already in them reported,
// since they may have been written before the watch existed); a folder moved in from outside
// brings its files as arrivals, a folder renamed inside the tree does not. Folders removed or
// moved out are dropped.
//
// Only the root's watch is set up by start(); the folders below are walked and watched on the
// stream's thread (a tree of thousands of folders takes seconds), and historyDone is reported
// when that walk is over. The walk reports the files newer than Options::reportFilesNewerThan
// (itemFoundAtStart): those that arrived while nobody watched.
//
// When the kernel's event queue overflows, the events lost are lost (one log line says so), as
// with any file-system event stream; the watch limit reached is logged once and the folders
// watched so far stay watched.
class FolderEventStream {
public:
    // Called on the stream's thread with the events read together, in order.
    using Callback = std::function<void(const QList<FolderEvent>& events)>;

    struct Options {
        // How long a file found in a new folder without a close event must keep its size and
        // time before it counts as complete.
        int quietMilliseconds = 1000;
        // Files found by the first walk with a later modification time are reported; an
        // invalid time reports none (nothing from before the start).
        QDateTime reportFilesNewerThan;
    };

    // Sets up the watch of `folder` and starts reading; the folders below follow on the thread. Nothing, with
    // the reason in `error`, when the folder cannot be watched at all.
    static std::unique_ptr<FolderEventStream> start(const QString& folder, Callback callback,
                                                    QString* error = nullptr);
    static std::unique_ptr<FolderEventStream> start(const QString& folder, Callback callback, Options options,
                                                    QString* error = nullptr);

    // Stops the thread; no callback runs once this returns.
    ~FolderEventStream();

    FolderEventStream(const FolderEventStream&) = delete;
    FolderEventStream& operator=(const FolderEventStream&) = delete;

    QString folder() const;

private:
    class Reader;
    explicit FolderEventStream(std::unique_ptr<Reader> reader);

    std::unique_ptr<Reader> m_reader;
};

} // namespace kivo
