#pragma once

// Shared by the folder monitor's tests: a watched folder in a temporary directory, an isolated
// application state with the monitor installed as start-up installs it, real copies with cp.

#include "removal/monitor/FolderMonitor.h"

#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kivo::test {

class FolderMonitorFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(QDir().mkpath(watched())); }
    // The monitor goes before the servers of derived fixtures: its open connections would keep
    // them waiting.
    void TearDown() override
    {
        appState.installFolderMonitor(nullptr);
        monitor = nullptr;
    }

    QString watched(const QString& relative = {}) const
    {
        const QString root = temporary.filePath(QStringLiteral("watched"));
        return relative.isEmpty() ? root : root + u'/' + relative;
    }

    // The queue's journal, outside the watched folder.
    QString journalPath() const { return temporary.filePath(QStringLiteral("data/monitor-queue.json")); }

    // A file outside the watched folder, to copy or move in.
    QString outside(const QString& name) const { return temporary.filePath(name); }

    // Switches the trigger on for the watched folder with `engine` ("localFree" or "kivo") and
    // installs the monitor, which starts watching as at start-up.
    void startMonitor(const QString& engine, const std::function<void(UserPreferences&)>& adjust = {},
                      FolderMonitor::Options options = {})
    {
        UserPreferences preferences = appState.userPreferences();
        preferences.triggerEnabled = true;
        preferences.triggerFolderPath = watched();
        preferences.triggerAIModel = engine;
        if (adjust)
            adjust(preferences);
        appState.setUserPreferences(preferences);
        if (options.journalPath.isEmpty())
            options.journalPath = journalPath();
        auto owned = std::make_unique<FolderMonitor>(appState, state.keychain, options);
        monitor = owned.get();
        appState.installFolderMonitor(std::move(owned));
    }

    static void run(const QString& program, const QStringList& arguments)
    {
        ASSERT_EQ(QProcess::execute(program, arguments), 0) << program.toStdString();
    }

    void copyIn(const QString& source, const QString& relativeFolder = {})
    {
        run(QStringLiteral("cp"), {source, watched(relativeFolder)});
    }

    QList<TriggerActivity*> activities() const
    {
        QList<TriggerActivity*> list;
        for (const QPointer<TriggerActivity>& activity : appState.triggerRecentActivity())
            list.append(activity.data());
        return list;
    }

    QList<TriggerActivityStatus> statuses() const
    {
        QList<TriggerActivityStatus> list;
        for (TriggerActivity* activity : activities())
            list.append(activity->status());
        return list;
    }

    // Waits until `count` activities exist and none is still processing.
    bool waitForFinishedActivities(qsizetype count, std::chrono::seconds timeout = std::chrono::seconds(20))
    {
        return waitUntil([&] {
            return activities().size() == count && !statuses().contains(TriggerActivityStatus::processing);
        }, timeout);
    }

    // Lets events that would arrive now arrive.
    static void settle(std::chrono::milliseconds time = std::chrono::milliseconds(800))
    {
        waitUntil([] { return false; }, time);
    }

    static bool holdsPNG(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) && file.read(8) == QByteArray("\x89PNG\r\n\x1a\n", 8);
    }

    // The folder outlives the monitor that watches it.
    QTemporaryDir temporary;
    IsolatedAppState state;
    AppState& appState = state.appState;
    FolderMonitor* monitor = nullptr;
};

} // namespace kivo::test
