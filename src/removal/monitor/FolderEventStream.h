#pragma once

#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace kivo {

// One file-system event below a watched folder.
struct FolderEvent {
    // The markers a creation carries, with the values the monitor's event filter expects.
    enum Flag : quint32 {
        rootChanged = 0x20, // the watched folder itself was removed or moved away
        itemCreated = 0x100,
        itemIsFile = 0x10000,
    };
    QString path; // full path
    quint32 flags = 0;
};

// Watches one folder and every folder below it with Linux inotify, on a thread of its own
// ("com.kivopro.folderMonitor"), and reports each file created there once it is complete:
// created and then closed after writing, so a file still being written is never reported.
// A file moved or renamed into the tree is not a creation, nor is a file overwritten in place.
// Folders created later are watched as they appear (and the files already in them reported,
// since they may have been written before the watch existed); folders removed or moved out are
// dropped. Nothing from before the start is reported.
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
    };

    // Sets up the watches of `folder` and the folders below it and starts reading. Nothing, with
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
