#include "commands/KeyboardShortcutsModifier.h"
#include "commands/KeyboardShortcutsView.h"
#include "core/NotificationCenter.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace kivo;
using A = KeyboardAction;

namespace {

constexpr quint64 cmd = modifier::command;
constexpr quint64 shift = modifier::shift;

QStringList postedNames(const QSignalSpy& spy)
{
    QStringList names;
    for (const auto& arguments : spy)
        names << arguments.at(0).toString();
    return names;
}

} // namespace

TEST(ShortcutMatching, FirstExactMatchOfTheTableWins)
{
    const auto shortcuts = defaultKeyboardShortcuts();
    struct Case {
        const char* characters;
        quint64 flags;
        std::optional<A> expected;
    };
    const Case cases[] = {
        {"1", cmd, A::actualSize}, // before switchToBackgroundRemoval, which shares ⌘1
        {"2", cmd, A::switchToImageEditor},
        {"Z", cmd | shift, A::redo},
        {"z", cmd, A::undo},
        {"p", 0, A::selectPenTool},
        {"P", cmd | shift, A::processAll},
        {"p", cmd, std::nullopt},
        {"e", 0, A::selectEraserTool},
        {"e", cmd, A::exportImage},
        {"n", cmd | modifier::capsLock, std::nullopt},
        {"+", cmd | modifier::numericPad, std::nullopt},
        {"t", cmd | modifier::option, A::toggleToolsPanel},
        {"t", cmd | modifier::option | modifier::control, std::nullopt},
        {"nn", cmd, std::nullopt},
        {"", cmd, std::nullopt},
        // Bits below the device-independent ones are ignored.
        {",", cmd | 0x108, A::settings},
    };
    for (const Case& c : cases)
        EXPECT_EQ(matchKeyPress(shortcuts, {QString::fromUtf8(c.characters), c.flags}), c.expected)
            << c.characters << " " << std::hex << c.flags;
}

TEST(ShortcutMatching, KeyEventsMapCtrlToCommandAltToOptionMetaToControl)
{
    const auto press = [](Qt::Key key, Qt::KeyboardModifiers mods, const QString& text = {}, bool caps = false) {
        return KeyPress::fromEvent(QKeyEvent(QEvent::KeyPress, key, mods, text), caps);
    };
    KeyPress p = press(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier, QStringLiteral("\x1a"));
    EXPECT_EQ(p.characters, u"Z");
    EXPECT_EQ(p.modifierFlags, cmd | shift);

    p = press(Qt::Key_T, Qt::AltModifier | Qt::MetaModifier);
    EXPECT_EQ(p.modifierFlags, modifier::option | modifier::control);

    p = press(Qt::Key_Plus, Qt::ControlModifier | Qt::KeypadModifier, QStringLiteral("+"));
    EXPECT_EQ(p.characters, u"+");
    EXPECT_EQ(p.modifierFlags, cmd | modifier::numericPad);

    EXPECT_EQ(press(Qt::Key_N, Qt::ControlModifier, {}, true).modifierFlags, cmd | modifier::capsLock);
    EXPECT_TRUE(press(Qt::Key_Control, Qt::ControlModifier).characters.isEmpty());
    EXPECT_TRUE(press(Qt::Key_F5, {}).characters.isEmpty());
    EXPECT_EQ(press(Qt::Key_unknown, {}, QStringLiteral("ab")).characters, u"ab");
}

TEST(ShortcutLists, SymbolsInTheProgramsOrderAndTheSettingsRows)
{
    KeyboardShortcut all;
    all.modifiers = modifier::shift | modifier::control | modifier::option | modifier::command;
    EXPECT_EQ(all.modifierSymbols().join(QString()), u"⌘⌥⌃⇧");

    const auto defaults = defaultKeyboardShortcuts();
    ASSERT_EQ(defaults.size(), 24);
    for (int i = 0; i < defaults.size(); ++i)
        EXPECT_EQ(defaults[i].action, allCases<KeyboardAction>()[size_t(i)]);
    EXPECT_NE(defaults[0].id, defaultKeyboardShortcuts()[0].id);

    QStringList names;
    for (const auto& shortcut : settingsShortcutList())
        names << shortcut.name;
    EXPECT_EQ(names.join(u'|'), u"New Session|Open Image|Save|Export|Undo|Redo|Copy|Paste|Zoom In|Zoom Out|"
                                "Fit to Screen|Actual Size|Toggle Layers Panel|Toggle Tools Panel|Process All|"
                                "Settings");
}

TEST(ShortcutMonitor, OneNotificationPerPressOnTheNextTurnAndTheFocusStillTypes)
{
    KeyboardShortcutsManager manager;
    manager.installKeyMonitor(*QCoreApplication::instance());
    QLineEdit field;
    field.show();
    field.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&field));

    QSignalSpy posted(&NotificationCenter::defaultCenter(), &NotificationCenter::posted);
    QTest::keyClick(field.windowHandle(), Qt::Key_E, Qt::ControlModifier);
    QTest::keyClick(field.windowHandle(), Qt::Key_P);
    ASSERT_TRUE(test::waitUntil([&] { return posted.count() >= 2; }));
    QCoreApplication::processEvents();
    ASSERT_EQ(posted.count(), 2);
    EXPECT_EQ(posted[0].at(1).toMap().value(QStringLiteral("action")).value<A>(), A::exportImage);
    EXPECT_EQ(posted[1].at(1).toMap().value(QStringLiteral("action")).value<A>(), A::selectPenTool);
    EXPECT_EQ(field.text(), u"p");

    // Not at once: on the next turn of the event loop.
    posted.clear();
    EXPECT_EQ(manager.handleKeyDown({QStringLiteral("q"), cmd}), A::quit);
    EXPECT_EQ(posted.count(), 0);
    ASSERT_TRUE(test::waitUntil([&] { return posted.count() == 1; }));
}

class ShortcutActions : public ::testing::Test {
protected:
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    std::optional<QUrl> chosenFile;
    KeyboardShortcutsModifier modifier{state, [this] { return chosenFile; }};
    QSignalSpy posted{&NotificationCenter::defaultCenter(), &NotificationCenter::posted};

    void trigger(const QVariant& action)
    {
        NotificationCenter::defaultCenter().post(kKeyboardShortcutTriggered, {{QStringLiteral("action"), action}});
    }
    void setZoom(double zoom)
    {
        UserPreferences preferences = state.userPreferences();
        preferences.zoomLevel = zoom;
        state.setUserPreferences(preferences);
    }
};

TEST_F(ShortcutActions, ZoomIsCappedAtFiveAndFlooredAtOneTenthAndPersisted)
{
    const struct {
        double from;
        A action;
        double to;
    } cases[] = {{4.9, A::zoomIn, 5.0},    {5.0, A::zoomIn, 5.0},        {1.0, A::zoomIn, 1.25},
                 {0.3, A::zoomOut, 0.1},   {0.1, A::zoomOut, 0.1},       {0.6, A::zoomOut, 0.35},
                 {3.0, A::actualSize, 1.0}, {0.2, A::fitToScreen, 1.0}};
    for (const auto& c : cases) {
        setZoom(c.from);
        trigger(QVariant::fromValue(c.action));
        EXPECT_DOUBLE_EQ(state.userPreferences().zoomLevel, c.to) << c.from;
        EXPECT_DOUBLE_EQ(isolated.preferences.loadPreferences().zoomLevel, c.to);
    }
}

TEST_F(ShortcutActions, NewSessionDependsOnTheActiveTab)
{
    trigger(QVariant::fromValue(A::newSession));
    EXPECT_EQ(postedNames(posted).filter(QStringLiteral("processAllImages")).size(), 1);
    EXPECT_TRUE(state.editorSessions().isEmpty());

    state.setActiveTab(AppTab::imageEditor);
    trigger(QVariant::fromValue(A::newSession));
    ASSERT_EQ(state.editorSessions().size(), 1);
    const EditorSession& session = state.editorSessions().front();
    EXPECT_EQ(session.name, u"New Session");
    ASSERT_TRUE(session.currentImage);
    EXPECT_EQ(session.currentImage->size(), QSize(800, 600));
    EXPECT_TRUE(session.layers.isEmpty());
    EXPECT_EQ(session.currentHistoryIndex, -1);
    EXPECT_EQ(postedNames(posted).filter(QStringLiteral("processAllImages")).size(), 1);
}

TEST_F(ShortcutActions, StateChangesAndHandedOnNotifications)
{
    trigger(QVariant::fromValue(A::switchToImageEditor));
    EXPECT_EQ(state.activeTab(), AppTab::imageEditor);
    trigger(QVariant::fromValue(A::switchToBackgroundRemoval));
    EXPECT_EQ(state.activeTab(), AppTab::backgroundRemoval);

    trigger(QVariant::fromValue(A::toggleToolsPanel));
    trigger(QVariant::fromValue(A::toggleLayersPanel));
    trigger(QVariant::fromValue(A::toggleLayersPanel));
    EXPECT_FALSE(isolated.preferences.loadPreferences().showToolsPanel);
    EXPECT_TRUE(state.userPreferences().showLayersPanel);

    posted.clear();
    trigger(QVariant::fromValue(A::processAll));
    trigger(QVariant::fromValue(A::exportImage));
    trigger(QVariant::fromValue(A::settings));
    // The handed-on notification is recorded before the one that triggered it.
    EXPECT_EQ(postedNames(posted).join(u' '), u"processAllImages keyboardShortcutTriggered exportImage "
                                              "keyboardShortcutTriggered openSettings keyboardShortcutTriggered");
    EXPECT_TRUE(posted[4].at(1).toMap().isEmpty());
}

TEST_F(ShortcutActions, LogOnlyActionsAndTheOpenPanel)
{
    test::StdoutCapture out;
    for (A action : {A::save, A::undo, A::redo, A::copy, A::paste, A::selectAll, A::stopProcessing, A::selectPenTool,
                     A::selectBrushTool, A::selectEraserTool, A::openImage})
        trigger(QVariant::fromValue(action));
    chosenFile = QUrl::fromLocalFile(QStringLiteral("/tmp/cat photo.png"));
    trigger(QVariant::fromValue(A::openImage));
    EXPECT_EQ(out.text(), u"Save current session\nUndo\nRedo\nCopy\nPaste\nSelect all\nStop processing\n"
                          "Select pen tool\nSelect brush tool\nSelect eraser tool\n"
                          "Opened image: file:///tmp/cat photo.png\n");
}

TEST_F(ShortcutActions, NotificationsWithoutAnActionDoNothing)
{
    const UserPreferences before = state.userPreferences();
    state.setActiveTab(AppTab::imageEditor);
    trigger(QStringLiteral("newSession"));
    trigger(QStringLiteral("zoomIn"));
    NotificationCenter::defaultCenter().post(kKeyboardShortcutTriggered);
    EXPECT_TRUE(state.editorSessions().isEmpty());
    EXPECT_EQ(state.userPreferences(), before);
    EXPECT_EQ(posted.count(), 3);
}

TEST(ShortcutsView, SixteenRowsAndResetRebuildsThem)
{
    KeyboardShortcutsView view;
    view.show();
    EXPECT_EQ(view.findChildren<QLabel*>(QStringLiteral("shortcutChip")).size(), 16 /* keys */ + 20 /* modifiers */);
    const QUuid firstId = view.shortcuts().front().id;
    const auto buttons = view.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons.front()->text(), u"Reset to Defaults");
    QTest::mouseClick(buttons.front(), Qt::LeftButton);
    EXPECT_EQ(view.shortcuts().size(), 16);
    EXPECT_NE(view.shortcuts().front().id, firstId);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view.findChildren<QLabel*>(QStringLiteral("shortcutChip")).size(), 36);
}
