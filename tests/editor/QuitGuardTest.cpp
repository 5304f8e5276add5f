// The question before closing with unsaved editor sessions, and its three answers.

#include "editor/document/ImageEditorModel.h"
#include "editor/window/QuitGuard.h"

#include "EditorTestImages.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include "core/AppState.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

class QuitGuardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        model.createNamedSession(QStringLiteral("edited"));
        model.importImage(QUrl::fromLocalFile(QStringLiteral("/photos/a.png")), test::solidImage(Qt::red, {8, 8}));
        guard.setAsk([this](int count) {
            ++asked;
            lastCount = count;
            return answer;
        });
        guard.setChooseFile([this](const QString&) { return folder.filePath(QStringLiteral("chosen.ora")); });
    }

    bool closes()
    {
        QCloseEvent event;
        QCoreApplication::sendEvent(&window, &event);
        return event.isAccepted();
    }

    test::IsolatedAppState isolated;
    ImageEditorModel model{isolated.appState};
    QWidget window;
    QuitGuard guard{&window, model};
    QTemporaryDir folder;
    QuitGuard::Answer answer = QuitGuard::Answer::cancel;
    int asked = 0;
    int lastCount = 0;
};

} // namespace

TEST_F(QuitGuardTest, CancelKeepsTheWindowDontSaveClosesSaveWritesTheSessions)
{
    answer = QuitGuard::Answer::cancel;
    EXPECT_FALSE(closes());
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(lastCount, 1);

    answer = QuitGuard::Answer::discard;
    EXPECT_TRUE(closes());
    EXPECT_FALSE(QFile::exists(folder.filePath(QStringLiteral("chosen.ora"))));

    answer = QuitGuard::Answer::save;
    EXPECT_TRUE(closes());
    EXPECT_TRUE(QFile::exists(folder.filePath(QStringLiteral("chosen.ora"))));
}

TEST_F(QuitGuardTest, NothingIsAskedWhenEverythingIsSavedOrThePreferenceIsOff)
{
    UserPreferences preferences = isolated.appState.userPreferences();
    preferences.confirmBeforeClosing = false;
    isolated.appState.setUserPreferences(preferences);
    EXPECT_TRUE(closes());
    EXPECT_EQ(asked, 0);

    preferences.confirmBeforeClosing = true;
    isolated.appState.setUserPreferences(preferences);
    model.saveSessionAs(folder.filePath(QStringLiteral("saved.ora")));
    EXPECT_TRUE(model.unsavedSessions().isEmpty());
    EXPECT_TRUE(closes());
    EXPECT_EQ(asked, 0);
    model.addLayer();
    EXPECT_EQ(model.unsavedSessions().size(), 1);
}

TEST_F(QuitGuardTest, ABatchRunInProgressIsAskedAboutBeforeTheSessions)
{
    bool running = true;
    bool stop = false;
    int askedAboutBatch = 0;
    guard.setBatchRunning([&] { return running; });
    guard.setAskAboutBatch([&] {
        ++askedAboutBatch;
        return stop;
    });
    answer = QuitGuard::Answer::discard;

    // Cancel keeps the window, and the sessions are not asked about.
    EXPECT_FALSE(closes());
    EXPECT_EQ(askedAboutBatch, 1);
    EXPECT_EQ(asked, 0);

    // Quit goes on to the sessions' question.
    stop = true;
    EXPECT_TRUE(closes());
    EXPECT_EQ(askedAboutBatch, 2);
    EXPECT_EQ(asked, 1);

    // No run: no question about it.
    running = false;
    EXPECT_TRUE(closes());
    EXPECT_EQ(askedAboutBatch, 2);
}
