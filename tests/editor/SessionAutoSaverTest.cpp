// Auto-saved sessions: saved after a change, back after a restart, gone when closed.

#include "editor/document/OpenRasterFile.h"
#include "editor/document/SessionAutoSaver.h"
#include "editor/document/SessionEdits.h"

#include "AutoSaveSteps.h"
#include "EditorTestImages.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

using namespace kivo;

TEST(SessionAutoSaver, SessionsComeBackAfterARestartAndClosedOnesDoNot)
{
    QTemporaryDir folder;
    EditorSession kept = makeNamedSession(QStringLiteral("kept"));
    importImage(kept, QStringLiteral("photo.png"), test::solidImage(Qt::red, {12, 8}));
    addLayer(kept);
    setLayerBlendMode(kept, kept.layers[1].id, BlendMode::screen);
    EditorSession closed = makeNamedSession(QStringLiteral("closed"));
    importImage(closed, QStringLiteral("other.png"), test::solidImage(Qt::blue, {4, 4}));
    {
        test::IsolatedAppState before;
        SessionAutoSaver saver(before.appState, folder.path());
        QSignalSpy saved(&saver, &SessionAutoSaver::saved);
        before.appState.appendEditorSession(kept);
        before.appState.appendEditorSession(closed);
        // Nothing is written before the pause after the last change.
        EXPECT_TRUE(QDir(folder.path()).entryList({QStringLiteral("*.ora")}).isEmpty());
        ASSERT_TRUE(saved.wait(SessionAutoSaver::debounceMs * 4));
        EXPECT_EQ(QDir(folder.path()).entryList({QStringLiteral("*.ora")}).size(), 2);
        // Closing a session removes its file.
        before.appState.setEditorSessions({before.appState.editorSessions().front()});
        saver.saveNow();
        ASSERT_TRUE(test::waitUntil([&] { return !saver.isSaving(); }));
        EXPECT_EQ(QDir(folder.path()).entryList({QStringLiteral("*.ora")}).size(), 1);
    }
    test::IsolatedAppState after;
    SessionAutoSaver saver(after.appState, folder.path());
    QSignalSpy restored(&saver, &SessionAutoSaver::restored);
    saver.restore();
    ASSERT_TRUE(restored.wait(10000));
    ASSERT_EQ(after.appState.editorSessions().size(), 1);
    const EditorSession& back = after.appState.editorSessions().front();
    EXPECT_EQ(back.id, kept.id);
    EXPECT_EQ(back.name, u"kept");
    ASSERT_EQ(back.layers.size(), 2);
    EXPECT_EQ(back.layers[1].blendMode, BlendMode::screen);
    EXPECT_EQ(back.layers[0].image.pixelColor(3, 3), QColor(Qt::red));
}

TEST(SessionAutoSaver, ChangesThatKeepComingAreSavedWithoutWaitingForAPause)
{
    QTemporaryDir folder;
    test::IsolatedAppState state;
    SessionAutoSaver saver(state.appState, folder.path());
    saver.setDelays(400, 1200);
    QSignalSpy saved(&saver, &SessionAutoSaver::saved);
    EditorSession session = makeNamedSession(QStringLiteral("busy"));
    importImage(session, QStringLiteral("photo.png"), test::solidImage(Qt::red, {16, 16}));
    // A change every 100 ms for 3 s: the debounce alone would never run out.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 3000 && saved.isEmpty()) {
        addLayer(session);
        state.appState.setEditorSessions({session});
        QTest::qWait(100);
    }
    EXPECT_FALSE(saved.isEmpty()) << "no auto-save while the changes kept coming";
    EXPECT_LT(clock.elapsed(), 2500);
}

// Two saves of one session asked for at once: the file ends with the later state even though
// the earlier one is far slower to write.
TEST(SessionAutoSaver, TheLaterOfTwoQuickSavesIsTheOneKept)
{
    QTemporaryDir folder;
    test::IsolatedAppState state;
    SessionAutoSaver saver(state.appState, folder.path());
    EditorSession large = EditorSession::fromImage(QStringLiteral("large"), test::autoSaveBase({2000, 1500}));
    state.appState.setEditorSessions({large});
    saver.saveNow();
    EditorSession small = EditorSession::fromImage(QStringLiteral("small"), test::solidImage(Qt::green, {8, 8}));
    small.id = large.id;
    state.appState.setEditorSessions({small});
    saver.saveNow();
    ASSERT_TRUE(test::waitUntil([&] { return !saver.isSaving(); }, std::chrono::seconds(60)));
    const auto opened = readSessionFile(QDir(folder.path()).filePath(large.id.toString(QUuid::WithoutBraces) + QStringLiteral(".ora")));
    ASSERT_TRUE(std::holds_alternative<OpenedDocument>(opened));
    EXPECT_EQ(std::get<OpenedDocument>(opened).session.name, QStringLiteral("small"));
}

namespace {

// The folder's entries with size, inode and modification time: any write into it shows.
QString folderFingerprint(const QString& path)
{
    QString print;
    for (const QFileInfo& info : QDir(path).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name)) {
        struct stat status {};
        if (::stat(QFile::encodeName(info.filePath()).constData(), &status) == 0)
            print += QStringLiteral("%1:%2:%3:%4.%5;").arg(info.fileName()).arg(status.st_size).arg(status.st_ino)
                         .arg(status.st_mtim.tv_sec).arg(status.st_mtim.tv_nsec);
    }
    return print;
}

// The last step the helper reported as saved, -1 before the first.
int lastSavedStep(const QString& output)
{
    int last = -1;
    static const QRegularExpression line(QStringLiteral("^saved (\\d+)$"), QRegularExpression::MultilineOption);
    for (auto match = line.globalMatch(output); match.hasNext();)
        last = match.next().captured(1).toInt();
    return last;
}

} // namespace

// A helper program auto-saves a large session again and again and is killed with SIGKILL: at
// moments spread over a save, and at the moment something in the folder is being written. The
// file left must open and hold the last step saved or the one being saved, never a mix; the next
// start clears what the killed save left and restores the session.
TEST(SessionAutoSaver, KillNineDuringASaveLeavesAWholeFileOfTheLastOrTheNextStep)
{
    const QSize size(1600, 1000);
    const QImage base = test::autoSaveBase(size);
    constexpr int timedKills = 5;
    constexpr int kills = timedKills + 3;
    for (int kill = 0; kill < kills; ++kill) {
        SCOPED_TRACE(QStringLiteral("kill %1").arg(kill).toStdString());
        QTemporaryDir folder;
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QStringLiteral(KIVO_AUTOSAVE_CHILD),
                    {folder.path(), QString::number(size.width()), QString::number(size.height())});
        ASSERT_TRUE(child.waitForStarted());
        QString output;
        QElapsedTimer clock;
        clock.start();
        // Two saves finished: their distance is one save's time.
        qint64 firstAt = 0;
        while (lastSavedStep(output) < 1 + kill % 2 && clock.elapsed() < 120000) {
            child.waitForReadyRead(100);
            output += QString::fromUtf8(child.readAllStandardOutput());
            if (firstAt == 0 && lastSavedStep(output) == 0)
                firstAt = clock.elapsed();
        }
        ASSERT_GE(lastSavedStep(output), 1) << "the helper saved nothing";
        const qint64 saveTime = std::max<qint64>(clock.elapsed() - firstAt, 50) / std::max(1, lastSavedStep(output));
        if (kill < timedKills) {
            QThread::msleep(ulong(saveTime * (kill + 0.5) / timedKills));
        } else {
            const QString before = folderFingerprint(folder.path());
            while (folderFingerprint(folder.path()) == before && clock.elapsed() < 120000)
                QThread::usleep(200);
        }
        ::kill(pid_t(child.processId()), SIGKILL);
        ASSERT_TRUE(child.waitForFinished(10000));
        output += QString::fromUtf8(child.readAllStandardOutput());
        const int saved = lastSavedStep(output);

        const QStringList files = QDir(folder.path()).entryList({QStringLiteral("*.ora")}, QDir::Files);
        ASSERT_EQ(files.size(), 1);
        const auto opened = readSessionFile(QDir(folder.path()).filePath(files.front()));
        const auto* document = std::get_if<OpenedDocument>(&opened);
        ASSERT_TRUE(document) << std::get<QString>(opened).toStdString();
        const QString name = document->session.name;
        const int step = name == test::autoSaveStepName(saved) ? saved : saved + 1;
        EXPECT_EQ(name, test::autoSaveStepName(step)) << "last step saved: " << saved;
        ASSERT_EQ(document->session.layers.size(), 2);
        EXPECT_EQ(document->session.layers[0].image.convertToFormat(QImage::Format_ARGB32), base);
        EXPECT_EQ(document->session.layers[1].image.convertToFormat(QImage::Format_ARGB32),
                  test::autoSaveStepLayer(size, step));

        test::IsolatedAppState restarted;
        SessionAutoSaver saver(restarted.appState, folder.path());
        QSignalSpy restored(&saver, &SessionAutoSaver::restored);
        saver.restore();
        ASSERT_TRUE(restored.wait(60000));
        ASSERT_EQ(restarted.appState.editorSessions().size(), 1);
        EXPECT_EQ(restarted.appState.editorSessions().front().name, name);
        EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), files);
    }
}
