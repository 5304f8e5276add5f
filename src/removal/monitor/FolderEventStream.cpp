#include "FolderEventStream.h"

#include "core/Log.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QThread>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>

namespace kivo {

namespace {

constexpr quint32 folderEvents = IN_CREATE | IN_OPEN | IN_MODIFY | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE
    | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

constexpr quint32 arrival = FolderEvent::itemCreated | FolderEvent::itemIsFile;

// Files changed but never closed after writing (pipes, files held open) would pile up; past
// this many, the ones older than an hour are forgotten.
constexpr qsizetype createdFilesToKeep = 10000;
constexpr qint64 createdFileMemoryMs = 60 * 60 * 1000;

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString childPath(const QString& folder, const QString& name)
{
    return folder.endsWith(u'/') ? folder + name : folder + u'/' + name;
}

bool isInside(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(childPath(folder, QString()));
}

} // namespace

// Owns the inotify instance and the thread that reads it. Everything below start() runs on
// that thread only.
class FolderEventStream::Reader {
public:
    Reader(QString root, Callback callback, Options options)
        : m_root(std::move(root))
        , m_callback(std::move(callback))
        , m_options(options)
    {
        m_clock.start();
    }

    ~Reader()
    {
        m_stopping = true;
        if (m_thread) {
            const quint64 one = 1;
            [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
            m_thread->wait();
        }
        if (m_inotify >= 0)
            ::close(m_inotify);
        if (m_wake >= 0)
            ::close(m_wake);
    }

    QString root() const { return m_root; }

    // The root's own watch decides whether the stream can run; the folders below are walked on
    // the thread (see run()).
    bool setUp(QString* error)
    {
        m_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify < 0) {
            *error = errno == EMFILE
                ? QStringLiteral("the per-user limit of inotify instances is reached (fs.inotify.max_user_instances)")
                : errnoText(errno);
            return false;
        }
        m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_wake < 0) {
            *error = errnoText(errno);
            return false;
        }
        // The root may be a link to the folder the user chose; the folders below are not followed.
        m_rootWatch = inotify_add_watch(m_inotify, QFile::encodeName(m_root).constData(), folderEvents);
        if (m_rootWatch < 0) {
            *error = errno == ENOSPC ? watchLimitText() : errnoText(errno);
            return false;
        }
        m_folders.insert(m_rootWatch, m_root);
        return true;
    }

    void startThread()
    {
        m_thread.reset(QThread::create([this] { run(); }));
        m_thread->setObjectName(QStringLiteral("com.kivopro.folderMonitor"));
        m_thread->start();
    }

private:
    struct QuietFile {
        qint64 size = -1;
        QDateTime modified;
        qint64 deadline = 0;
    };

    static QString watchLimitText()
    {
        return QStringLiteral("the per-user limit of inotify watches is reached (raise fs.inotify.max_user_watches)");
    }

    void run()
    {
        {
            QList<FolderEvent> events;
            watchFoldersBelow(m_root, FoundFiles::newerThanStart, events);
            if (m_stopping)
                return;
            events.append({m_root, FolderEvent::historyDone});
            m_callback(events);
        }
        for (;;) {
            pollfd sources[2] = {{m_inotify, POLLIN, 0}, {m_wake, POLLIN, 0}};
            const int ready = ::poll(sources, 2, pollTimeout());
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0) {
                logLine(QStringLiteral("[FolderEventStream] Stopped reading events: ") + errnoText(errno));
                return;
            }
            if (sources[1].revents != 0)
                return;

            QList<FolderEvent> events;
            if (sources[0].revents & POLLIN)
                readEvents(events);
            reportQuietFiles(events);
            if (!events.isEmpty())
                m_callback(events);
        }
    }

    // Handles every event waiting in the kernel's queue.
    void readEvents(QList<FolderEvent>& events)
    {
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            const ssize_t length = ::read(m_inotify, buffer, sizeof buffer);
            if (length <= 0)
                break;
            for (ssize_t offset = 0; offset < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                handle(*event, events);
                offset += ssize_t(sizeof(inotify_event)) + event->len;
            }
        }
    }

    int pollTimeout() const
    {
        if (m_quietFiles.isEmpty())
            return -1;
        qint64 earliest = std::numeric_limits<qint64>::max();
        for (const QuietFile& file : m_quietFiles)
            earliest = std::min(earliest, file.deadline);
        return int(std::clamp<qint64>(earliest - m_clock.elapsed(), 0, m_options.quietMilliseconds));
    }

    void handle(const inotify_event& event, QList<FolderEvent>& events)
    {
        if (event.mask & IN_Q_OVERFLOW) {
            logLine(QStringLiteral("[FolderEventStream] Too many file events at once in %1: some new files were missed")
                        .arg(m_root));
            return;
        }
        const auto folder = m_folders.constFind(event.wd);
        if (folder == m_folders.cend())
            return;
        if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
            if (event.wd == m_rootWatch)
                rootChanged(events);
            else if (event.mask & IN_IGNORED)
                m_folders.remove(event.wd);
            return;
        }
        if (event.len == 0)
            return;
        const QString path = childPath(*folder, QFile::decodeName(event.name));

        if (event.mask & IN_ISDIR) {
            if (event.mask & IN_MOVED_FROM) {
                rememberCookie(event.cookie);
                forgetFolder(path);
            } else if (event.mask & IN_DELETE) {
                forgetFolder(path);
            } else if (event.mask & IN_CREATE) {
                watchFolder(path, FoundFiles::whenQuiet, events);
            } else if (event.mask & IN_MOVED_TO) {
                // A folder renamed inside the tree holds nothing new; one from outside does.
                const bool renamedInside = m_movedFromCookies.removeAll(event.cookie) > 0;
                watchFolder(path, renamedInside ? FoundFiles::none : FoundFiles::atOnce, events);
            }
            return;
        }
        if (event.mask & IN_CREATE) {
            // A file created by open() is followed by its IN_OPEN and later its close. A link
            // (hard, symbolic, or an O_TMPFILE file named by linkat) is complete already and
            // nobody opened it: reported once quiet unless something else is heard first.
            remember(m_changed, path);
            m_quietFiles.insert(path, quietFile(path));
        } else if (event.mask & IN_OPEN) {
            // Opened after it appeared: its writer's close will tell, or a reader's close
            // (IN_CLOSE_NOWRITE) hands it back to the quiet wait.
            if (m_quietFiles.remove(path) > 0)
                m_openedLinks.insert(path);
        } else if (event.mask & IN_CLOSE_NOWRITE) {
            if (m_openedLinks.remove(path))
                m_quietFiles.insert(path, quietFile(path));
        } else if (event.mask & IN_MODIFY) {
            remember(m_changed, path);
            if (const auto quiet = m_quietFiles.find(path); quiet != m_quietFiles.end())
                quiet->deadline = m_clock.elapsed() + m_options.quietMilliseconds;
        } else if (event.mask & IN_CLOSE_WRITE) {
            // Only a close after a change counts: a writer that merely opened the file for
            // writing (touch) brings nothing new.
            const bool changed = m_changed.remove(path) > 0;
            m_openedLinks.remove(path);
            const bool waitingForQuiet = m_quietFiles.remove(path) > 0;
            if (changed || waitingForQuiet)
                events.append({path, arrival});
        } else if (event.mask & IN_MOVED_TO) {
            m_changed.remove(path);
            m_openedLinks.remove(path);
            m_quietFiles.remove(path);
            events.append({path, arrival | FolderEvent::itemRenamed});
        } else if (event.mask & (IN_MOVED_FROM | IN_DELETE)) {
            m_changed.remove(path);
            m_openedLinks.remove(path);
            m_quietFiles.remove(path);
        }
    }

    void remember(QHash<QString, qint64>& files, const QString& path)
    {
        const qint64 now = m_clock.elapsed();
        if (files.size() >= createdFilesToKeep)
            files.removeIf([now](const auto& entry) { return now - entry.value() > createdFileMemoryMs; });
        files.insert(path, now);
    }

    void rememberCookie(quint32 cookie)
    {
        // The MOVED_TO of a rename follows its MOVED_FROM at once; a few are plenty.
        if (m_movedFromCookies.size() >= 64)
            m_movedFromCookies.removeFirst();
        m_movedFromCookies.append(cookie);
    }

    QuietFile quietFile(const QString& path) const
    {
        const QFileInfo info(path);
        return {info.size(), info.lastModified(), m_clock.elapsed() + m_options.quietMilliseconds};
    }

    // What a walk does with the files it finds.
    enum class FoundFiles {
        none,
        // In a created folder: may have been written before its watch existed; reported once
        // closed, or once unchanged for the quiet time.
        whenQuiet,
        // In a folder moved in: complete, reported now.
        atOnce,
        // At the start: those newer than Options::reportFilesNewerThan, now.
        newerThanStart,
    };

    // A folder that appeared: watched with everything below it.
    void watchFolder(const QString& path, FoundFiles found, QList<FolderEvent>& events)
    {
        const int watch = addWatch(path);
        if (watch < 0)
            return;
        m_folders.insert(watch, path);
        watchFoldersBelow(path, found, events);
    }

    void watchFoldersBelow(const QString& top, FoundFiles found, QList<FolderEvent>& events)
    {
        if (found == FoundFiles::newerThanStart && !m_options.reportFilesNewerThan.isValid())
            found = FoundFiles::none;
        QStringList pending{top};
        ++m_walkDepth;
        int listed = 0;
        while (!pending.isEmpty() && !m_stopping) {
            // Listing a watched folder is itself an event (its opening and closing): a walk of
            // thousands of folders would overflow the kernel's queue and lose real arrivals,
            // so the queue is emptied as the walk goes.
            if (m_walkDepth == 1 && ++listed % 256 == 0)
                readEvents(events);
            const QString folder = pending.takeLast();
            const QFileInfoList entries = QDir(folder).entryInfoList(
                QDir::Dirs | QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
            for (const QFileInfo& entry : entries) {
                const QString path = childPath(folder, entry.fileName());
                // Links to folders are not followed (they may lead out of the tree or in circles);
                // links to files are files.
                if (entry.isDir() && !entry.isSymLink()) {
                    const int watch = addWatch(path);
                    if (watch < 0)
                        continue;
                    m_folders.insert(watch, path);
                    pending.append(path);
                } else if (!entry.isFile()) {
                    continue;
                } else if (found == FoundFiles::whenQuiet) {
                    m_quietFiles.insert(path, {entry.size(), entry.lastModified(),
                                               m_clock.elapsed() + m_options.quietMilliseconds});
                } else if (found == FoundFiles::atOnce) {
                    events.append({path, arrival | FolderEvent::itemRenamed});
                } else if (found == FoundFiles::newerThanStart
                           // A move keeps the time of the content; it changes the metadata's.
                           && std::max(entry.lastModified(), entry.metadataChangeTime())
                               > m_options.reportFilesNewerThan) {
                    events.append({path, arrival | FolderEvent::itemFoundAtStart});
                }
            }
        }
        --m_walkDepth;
    }

    int addWatch(const QString& path)
    {
        const int watch = inotify_add_watch(m_inotify, QFile::encodeName(path).constData(), folderEvents | IN_DONT_FOLLOW);
        if (watch >= 0)
            return watch;
        if (errno == ENOSPC) {
            if (!m_watchLimitLogged)
                logLine(QStringLiteral("[FolderEventStream] Cannot watch %1: %2").arg(path, watchLimitText()));
            m_watchLimitLogged = true;
        } else if (errno != ENOENT && errno != ENOTDIR) {
            // A folder already gone again is no news.
            logLine(QStringLiteral("[FolderEventStream] Cannot watch %1: %2").arg(path, errnoText(errno)));
        }
        return -1;
    }

    void forgetFolder(const QString& path)
    {
        for (auto folder = m_folders.begin(); folder != m_folders.end();) {
            if (isInside(*folder, path)) {
                inotify_rm_watch(m_inotify, folder.key());
                folder = m_folders.erase(folder);
            } else {
                ++folder;
            }
        }
        m_changed.removeIf([&path](const auto& entry) { return isInside(entry.key(), path); });
        m_quietFiles.removeIf([&path](const auto& entry) { return isInside(entry.key(), path); });
    }

    void rootChanged(QList<FolderEvent>& events)
    {
        if (m_rootGone)
            return;
        m_rootGone = true;
        for (auto folder = m_folders.cbegin(); folder != m_folders.cend(); ++folder)
            inotify_rm_watch(m_inotify, folder.key());
        m_folders.clear();
        m_changed.clear();
        m_openedLinks.clear();
        m_quietFiles.clear();
        events.append({m_root, FolderEvent::rootChanged});
    }

    void reportQuietFiles(QList<FolderEvent>& events)
    {
        const qint64 now = m_clock.elapsed();
        for (auto file = m_quietFiles.begin(); file != m_quietFiles.end();) {
            if (file->deadline > now) {
                ++file;
                continue;
            }
            const QFileInfo info(file.key());
            if (!info.isFile()) {
                file = m_quietFiles.erase(file);
            } else if (info.size() == file->size && info.lastModified() == file->modified) {
                events.append({file.key(), arrival});
                m_changed.remove(file.key());
                file = m_quietFiles.erase(file);
            } else {
                *file = {info.size(), info.lastModified(), now + m_options.quietMilliseconds};
                ++file;
            }
        }
    }

    const QString m_root;
    const Callback m_callback;
    const Options m_options;
    QElapsedTimer m_clock;
    int m_inotify = -1;
    int m_wake = -1;
    int m_rootWatch = -1;
    bool m_rootGone = false;
    int m_walkDepth = 0;
    std::atomic_bool m_stopping{false};
    bool m_watchLimitLogged = false;
    QHash<int, QString> m_folders;
    // Files created or changed and not yet closed after writing, with the time of the change.
    QHash<QString, qint64> m_changed;
    // Files created and then opened: a writer's (its close reports them) or a reader's.
    QSet<QString> m_openedLinks;
    // Folders moved away from inside the tree, by the cookie their MOVED_TO will carry.
    QList<quint32> m_movedFromCookies;
    // Files created (links among them) or found in new folders, waiting for their close or for
    // the quiet time to pass.
    QHash<QString, QuietFile> m_quietFiles;
    std::unique_ptr<QThread> m_thread;
};

std::unique_ptr<FolderEventStream> FolderEventStream::start(const QString& folder, Callback callback, QString* error)
{
    return start(folder, std::move(callback), Options{}, error);
}

std::unique_ptr<FolderEventStream> FolderEventStream::start(const QString& folder, Callback callback,
                                                            Options options, QString* error)
{
    auto reader = std::make_unique<Reader>(QDir::cleanPath(folder), std::move(callback), options);
    QString reason;
    if (!reader->setUp(&reason)) {
        if (error)
            *error = reason;
        return nullptr;
    }
    reader->startThread();
    return std::unique_ptr<FolderEventStream>(new FolderEventStream(std::move(reader)));
}

FolderEventStream::FolderEventStream(std::unique_ptr<Reader> reader)
    : m_reader(std::move(reader))
{
}

FolderEventStream::~FolderEventStream() = default;

QString FolderEventStream::folder() const
{
    return m_reader->root();
}

} // namespace kivo
