#include "commands/KeyboardShortcutsView.h"
#include "core/NotificationCenter.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsView.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace kivo;

namespace {

template <typename W>
W* childWithText(QWidget* parent, const QString& text)
{
    for (W* widget : parent->findChildren<W*>())
        if (widget->text() == text)
            return widget;
    return nullptr;
}

// Answers the next modal dialog (a file panel or an alert) once it is shown.
void answerNextModal(const std::function<void(QWidget*)>& answer)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, answer] {
        if (QWidget* modal = QApplication::activeModalWidget(); modal && modal->isVisible()
            && !modal->inherits("kivo::SettingsView")) {
            poll->deleteLater();
            poll->stop();
            answer(modal);
        }
    });
    poll->start(20);
}

class SettingsWindowTest : public ::testing::Test {
protected:
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    SettingsView view{state, {}};
    QSignalSpy posted{&NotificationCenter::defaultCenter(), &NotificationCenter::posted};

    void SetUp() override
    {
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    }

    QWidget* tab(SettingsTab which)
    {
        view.setSelectedTab(which);
        return view.findChild<QTabWidget*>()->currentWidget();
    }

    QString lastPosted() const { return posted.isEmpty() ? QString() : posted.back().at(0).toString(); }

    // Runs `trigger`, answering the file panel with `file` and returning the alert's text.
    QString runWithPanel(const std::function<void()>& trigger, const QString& file)
    {
        QString alertText;
        answerNextModal([&alertText, file](QWidget* panel) {
            auto* dialog = qobject_cast<QFileDialog*>(panel);
            ASSERT_TRUE(dialog);
            // Typed as a user would: selectFile() leaves the name box alone while it has the focus.
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            ASSERT_TRUE(name);
            name->setText(file);
            answerNextModal([&alertText](QWidget* alert) {
                auto* box = qobject_cast<QMessageBox*>(alert);
                ASSERT_TRUE(box) << alert->metaObject()->className();
                EXPECT_EQ(box->windowTitle(), u"Settings");
                alertText = box->text();
                box->buttons().front()->click();
            });
            QMetaObject::invokeMethod(dialog, &QDialog::accept); // the panel checks the typed name
        });
        trigger();
        return alertText;
    }
};

} // namespace

TEST_F(SettingsWindowTest, SevenTabsInOrderWithTheSizeOfTheWindow)
{
    auto* tabs = view.findChild<QTabWidget*>();
    QStringList labels;
    for (int i = 0; i < tabs->count(); ++i)
        labels << tabs->tabText(i);
    EXPECT_EQ(labels.join(u','), u"General,Export,Processing,Shortcuts,Trigger,About,Account");
    EXPECT_EQ(view.size(), QSize(900, 650));
    EXPECT_TRUE(qobject_cast<KeyboardShortcutsView*>(tab(SettingsTab::shortcuts)));
    for (int i = 0; i < tabs->count(); ++i)
        EXPECT_FALSE(tabs->tabIcon(i).isNull());
    EXPECT_TRUE(childWithText<QLabel>(tab(SettingsTab::about), QStringLiteral("Kivo Pro for Linux")));
}

TEST_F(SettingsWindowTest, TogglesPersistAtOnceAndPostTheirNotification)
{
    QWidget* general = tab(SettingsTab::general);
    childWithText<QCheckBox>(general, QStringLiteral("Auto-save sessions"))->click();
    EXPECT_EQ(lastPosted(), u"com.kivopro.preferencesChanged");
    childWithText<QCheckBox>(general, QStringLiteral("Show processing notifications"))->click();
    EXPECT_EQ(lastPosted(), u"com.kivopro.processingPreferencesChanged");
    childWithText<QPushButton>(general, QStringLiteral("High Quality"))->click();
    const UserPreferences stored = isolated.preferences.loadPreferences();
    EXPECT_FALSE(stored.autoSaveSessions);
    EXPECT_FALSE(stored.showProcessingNotifications);
    EXPECT_EQ(stored.processingQuality, ProcessingQuality::highQuality);

    // A change made elsewhere shows at once.
    settings_file::resetToDefaults(state);
    EXPECT_TRUE(childWithText<QCheckBox>(general, QStringLiteral("Auto-save sessions"))->isChecked());
    EXPECT_TRUE(childWithText<QPushButton>(general, QStringLiteral("Balanced"))->isChecked());
}

TEST_F(SettingsWindowTest, JpegQualitySliderFloorAndTruncatedPercentage)
{
    QWidget* exportTab = tab(SettingsTab::exportTab);
    auto* slider = exportTab->findChild<QSlider*>();
    UserPreferences p = state.userPreferences();
    p.jpegQuality = 0.29;
    state.setUserPreferences(p);
    EXPECT_TRUE(childWithText<QLabel>(exportTab, QStringLiteral("28%")));

    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_Home);
    EXPECT_DOUBLE_EQ(state.userPreferences().jpegQuality, 0.1);
    EXPECT_TRUE(childWithText<QLabel>(exportTab, QStringLiteral("10%")));
    EXPECT_EQ(lastPosted(), u"com.kivopro.exportPreferencesChanged");
}

TEST_F(SettingsWindowTest, SubfolderAndCustomPatternShowOnlyWhenTheyApply)
{
    QWidget* exportTab = tab(SettingsTab::exportTab);
    auto* subfolder = exportTab->findChild<QWidget*>(QStringLiteral("subfolderName"));
    auto* custom = exportTab->findChild<QLineEdit*>(QStringLiteral("customPattern"));
    auto* suffix = exportTab->findChild<QLineEdit*>(QStringLiteral("suffix"));
    auto* caption = childWithText<QLabel>(exportTab, QStringLiteral("Available variables: {original}, {date}, {time}, {counter}"));
    EXPECT_FALSE(subfolder->isVisible());
    EXPECT_FALSE(custom->isVisible());
    EXPECT_FALSE(caption->isVisible());
    EXPECT_TRUE(suffix->isVisible());

    childWithText<QCheckBox>(exportTab, QStringLiteral("Create subfolder for exports"))->click();
    EXPECT_TRUE(subfolder->isVisible());

    auto* naming = exportTab->findChild<QComboBox*>(QStringLiteral("namingPattern"));
    EXPECT_EQ(naming->currentText(), u"Original + Suffix");
    naming->setFocus();
    QTest::keyClick(naming, Qt::Key_End); // "Custom Pattern"
    EXPECT_EQ(state.userPreferences().exportNamingPattern, u"custom");
    EXPECT_TRUE(custom->isVisible());
    EXPECT_TRUE(caption->isVisible());
    EXPECT_TRUE(suffix->isVisible());

    custom->setFocus();
    custom->selectAll();
    QTest::keyClicks(custom, QStringLiteral("{original}-{counter}"));
    EXPECT_EQ(isolated.preferences.loadPreferences().customExportPattern, u"{original}-{counter}");
    EXPECT_EQ(lastPosted(), u"com.kivopro.exportPreferencesChanged");
}

TEST_F(SettingsWindowTest, StepperStaysWithinOneToEightAndEdgeSliderFollowsRefineEdges)
{
    QWidget* processing = tab(SettingsTab::processing);
    auto* up = processing->findChild<QToolButton*>(QStringLiteral("stepUp"));
    auto* down = processing->findChild<QToolButton*>(QStringLiteral("stepDown"));
    for (int i = 0; i < 10; ++i)
        up->click();
    EXPECT_EQ(state.userPreferences().maxConcurrentProcesses, 8);
    EXPECT_FALSE(up->isEnabled());
    EXPECT_TRUE(childWithText<QLabel>(processing, QStringLiteral("Max concurrent processes: 8")));
    for (int i = 0; i < 10; ++i)
        QTest::mouseClick(down, Qt::LeftButton);
    EXPECT_EQ(state.userPreferences().maxConcurrentProcesses, 1);
    EXPECT_EQ(lastPosted(), u"com.kivopro.processingPreferencesChanged");

    auto* edge = processing->findChild<QWidget*>(QStringLiteral("edgeRefinement"));
    EXPECT_TRUE(edge->isVisible());
    childWithText<QCheckBox>(processing, QStringLiteral("Refine edges"))->click();
    EXPECT_FALSE(edge->isVisible());
    EXPECT_DOUBLE_EQ(isolated.preferences.loadPreferences().edgeRefinement, 0.5);
    EXPECT_FALSE(isolated.preferences.loadPreferences().refineEdges);
}

TEST_F(SettingsWindowTest, ExportResetImportThroughTheAdvancedMenu)
{
    const QString file = isolated.folder.filePath(QStringLiteral("exported.json"));
    UserPreferences changed = state.userPreferences();
    changed.accountEmail = QStringLiteral("ada@example.com");
    changed.exportSuffix = QStringLiteral("_cut");
    state.setUserPreferences(changed);

    auto* menu = view.findChild<QToolButton*>(QStringLiteral("advancedMenu"))->menu();
    QStringList items;
    for (QAction* action : menu->actions())
        items << (action->isSeparator() ? QStringLiteral("-") : action->text());
    EXPECT_EQ(items.join(u','), u"Export Settings,Import Settings,-,Reset to Defaults");

    EXPECT_EQ(runWithPanel([&] { menu->actions()[0]->trigger(); }, file), u"Settings exported successfully!");
    EXPECT_EQ(UserPreferences::fromJsonBytes([&] {
                  QFile f(file);
                  f.open(QIODevice::ReadOnly);
                  return f.readAll();
              }()),
              changed);

    // Cancel leaves everything; Reset restores the defaults.
    answerNextModal([](QWidget* box) { childWithText<QPushButton>(box, QStringLiteral("Cancel"))->click(); });
    menu->actions()[3]->trigger();
    EXPECT_EQ(state.userPreferences(), changed);
    QString resetText;
    answerNextModal([&resetText](QWidget* confirm) {
        auto* box = qobject_cast<QMessageBox*>(confirm);
        EXPECT_EQ(box->text(), u"Reset Settings");
        answerNextModal([&resetText](QWidget* alert) {
            resetText = qobject_cast<QMessageBox*>(alert)->text();
            qobject_cast<QMessageBox*>(alert)->buttons().front()->click();
        });
        childWithText<QPushButton>(box, QStringLiteral("Reset"))->click();
    });
    menu->actions()[3]->trigger();
    EXPECT_EQ(resetText, u"Settings reset to defaults!");
    EXPECT_EQ(state.userPreferences(), UserPreferences{});

    EXPECT_EQ(runWithPanel([&] { menu->actions()[1]->trigger(); }, file), u"Settings imported successfully!");
    EXPECT_EQ(state.userPreferences(), changed);
}

TEST_F(SettingsWindowTest, ResetAndImportAskBeforeMovingASignedInAccountToAnotherServer)
{
    const QString file = isolated.folder.filePath(QStringLiteral("elsewhere.json"));
    UserPreferences elsewhere = state.userPreferences();
    elsewhere.backendBaseURLString = QStringLiteral("http://127.0.0.1:9");
    ASSERT_EQ(settings_file::exportTo(elsewhere, file), u"Settings exported successfully!");

    UserPreferences ownServer = state.userPreferences();
    ownServer.backendBaseURLString = QStringLiteral("http://127.0.0.1:8080");
    ownServer.exportSuffix = QStringLiteral("_own");
    const auto signIn = [&] {
        state.setUserPreferences(ownServer);
        AccountInfo account;
        account.email = QStringLiteral("ada@example.com");
        state.saveAccountInfo(account, 7);
        ASSERT_TRUE(isolated.keychain.save(QString(kApiKeyAccount), QStringLiteral("key-123")));
        state.setAccountInfo(account);
        state.setAuthenticated(true);
    };
    auto* menu = view.findChild<QToolButton*>(QStringLiteral("advancedMenu"))->menu();
    QAction* import = menu->actions()[1];
    QAction* reset = menu->actions()[3];

    // "Reset", then the server question; each way of answering it.
    for (const bool signOut : {false, true}) {
        signIn();
        QString question;
        answerNextModal([&](QWidget* confirm) {
            answerNextModal([&](QWidget* ask) {
                auto* box = qobject_cast<QMessageBox*>(ask);
                ASSERT_TRUE(box);
                question = box->text();
                if (signOut)
                    answerNextModal([](QWidget* alert) { qobject_cast<QMessageBox*>(alert)->buttons().front()->click(); });
                childWithText<QPushButton>(box, signOut ? QStringLiteral("Sign Out") : QStringLiteral("Cancel"))->click();
            });
            childWithText<QPushButton>(confirm, QStringLiteral("Reset"))->click();
        });
        reset->trigger();
        EXPECT_EQ(question, u"Changing the server signs you out of ada@example.com");
        EXPECT_EQ(state.isAuthenticated(), !signOut);
        EXPECT_EQ(state.userPreferences(), signOut ? UserPreferences{} : ownServer);
        EXPECT_EQ(isolated.keychain.load(QString(kApiKeyAccount)).has_value(), !signOut);
    }

    // Import of a file naming another server: cancelled, nothing changes and no alert comes.
    signIn();
    QString question;
    answerNextModal([&](QWidget* panel) {
        auto* dialog = qobject_cast<QFileDialog*>(panel);
        ASSERT_TRUE(dialog);
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(file);
        answerNextModal([&](QWidget* ask) {
            question = qobject_cast<QMessageBox*>(ask)->text();
            childWithText<QPushButton>(ask, QStringLiteral("Cancel"))->click();
        });
        QMetaObject::invokeMethod(dialog, &QDialog::accept);
    });
    import->trigger();
    EXPECT_EQ(question, u"Changing the server signs you out of ada@example.com");
    EXPECT_TRUE(state.isAuthenticated());
    EXPECT_EQ(state.userPreferences(), ownServer);
    EXPECT_EQ(isolated.keychain.load(QString(kApiKeyAccount)), u"key-123");
}

// The acceleration controls with and without a reason they cannot work; the similar-images
// control is not offered, its stored key stays readable.
TEST(SettingsWindowAccelerationTest, AccelerationControlsAreDisabledWithTheirReason)
{
    const QString reason = QStringLiteral("No GPU runtime is available on this system");
    struct Case {
        SettingsTab tab;
        QString label;
    };
    for (const QString& given : {reason, QString()}) {
        test::IsolatedAppState isolated;
        SettingsView view(isolated.appState, HostedSettingsPages{nullptr, nullptr, given});
        for (const Case& c : {Case{SettingsTab::general, QStringLiteral("Use hardware acceleration")},
                              Case{SettingsTab::processing, QStringLiteral("Use GPU acceleration")}}) {
            view.setSelectedTab(c.tab);
            QWidget* page = view.findChild<QTabWidget*>()->currentWidget();
            auto* toggle = childWithText<QCheckBox>(page, c.label);
            ASSERT_TRUE(toggle) << qPrintable(c.label);
            EXPECT_EQ(toggle->isEnabled(), given.isEmpty()) << qPrintable(c.label);
            EXPECT_EQ(childWithText<QLabel>(page, reason) != nullptr, !given.isEmpty()) << qPrintable(c.label);
        }
        view.setSelectedTab(SettingsTab::processing);
        EXPECT_FALSE(childWithText<QCheckBox>(view.findChild<QTabWidget*>()->currentWidget(),
                                              QStringLiteral("Remove background from similar images")));
    }
}
