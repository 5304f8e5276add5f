#include "commands/KeyboardShortcutsModifier.h"
#include "commands/KeyboardShortcutsView.h"
#include "core/NotificationCenter.h"
#include "support/IsolatedAppState.h"
#include "support/TestSupport.h"

#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using namespace kivo;
using A = KeyboardAction;

namespace {

constexpr quint64 cmd = modifier::command;
constexpr quint64 shift = modifier::shift;
constexpr quint64 alt = modifier::option;

QStringList postedNames(const QSignalSpy& spy)
{
    QStringList names;
    for (const auto& arguments : spy)
        names << arguments.at(0).toString();
    return names;
}

QList<A> triggeredActions(const QSignalSpy& spy)
{
    QList<A> actions;
    for (const auto& arguments : spy)
        if (arguments.at(0).toString() == kKeyboardShortcutTriggered)
            actions << arguments.at(1).toMap().value(QStringLiteral("action")).value<A>();
    return actions;
}

} // namespace

TEST(ShortcutMatching, EachPressMeansOneActionWhateverTheLockKeys)
{
    const auto shortcuts = defaultKeyboardShortcuts();
    struct Case {
        const char* characters;
        quint64 flags;
        std::optional<A> expected;
    };
    const Case cases[] = {
        {"1", cmd, A::switchToBackgroundRemoval},
        {"2", cmd, A::switchToImageEditor},
        {"3", cmd, A::switchToTransactions},
        {"4", cmd, A::switchToTrigger},
        {"0", cmd, A::fitToScreen},
        {"0", cmd | alt, A::actualSize},
        {"Z", cmd | shift, A::redo},
        {"z", cmd, A::undo},
        {"x", cmd, A::cut},
        {"p", 0, A::selectPenTool},
        {"P", cmd | shift, A::processAll},
        {"p", cmd, std::nullopt},
        {"e", 0, A::selectEraserTool},
        {"e", cmd, A::exportImage},
        {"E", shift, std::nullopt}, // Shift changes what a letter means
        // Caps Lock, the keypad and other device bits never change a key's meaning.
        {"n", cmd | modifier::capsLock, A::newSession},
        {"N", cmd | modifier::capsLock, A::newSession},
        {"b", modifier::capsLock, A::selectBrushTool},
        {"+", cmd | modifier::numericPad, A::zoomIn},
        {",", cmd | 0x108, A::settings},
        // "+" is Shift+= on many keyboards, "=" is the plus key without Shift.
        {"+", cmd | shift, A::zoomIn},
        {"=", cmd, A::zoomIn},
        {"-", cmd, A::zoomOut},
        {".", cmd, A::stopProcessing},
        {"t", cmd | alt, A::toggleToolsPanel},
        {"t", cmd | alt | modifier::control, std::nullopt},
        {"nn", cmd, std::nullopt},
        {"", cmd, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(matchKeyPress(shortcuts, {QString::fromUtf8(c.characters), c.flags}), c.expected)
            << c.characters << " " << std::hex << c.flags;

    // One key, one action: every default binding is reached by its own keys.
    for (const KeyboardShortcut& shortcut : shortcuts)
        EXPECT_EQ(matchKeyPress(shortcuts, {shortcut.key, shortcut.modifiers}), shortcut.action) << shortcut.name.toStdString();
}

TEST(ShortcutMatching, KeyEventsMapCtrlToCommandAltToOptionMetaToControl)
{
    const auto press = [](Qt::Key key, Qt::KeyboardModifiers mods, const QString& text = {}, bool caps = false) {
        return KeyPress::fromEvent(QKeyEvent(QEvent::KeyPress, key, mods, text), caps);
    };
    KeyPress p = press(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier, QStringLiteral("\x1a"));
    EXPECT_EQ(p.characters, u"Z");
    EXPECT_EQ(p.modifierFlags, cmd | shift);
    EXPECT_EQ(press(Qt::Key_T, Qt::AltModifier | Qt::MetaModifier).modifierFlags, alt | modifier::control);
    EXPECT_EQ(press(Qt::Key_Plus, Qt::ControlModifier | Qt::KeypadModifier, QStringLiteral("+")).modifierFlags,
              cmd | modifier::numericPad);
    EXPECT_EQ(press(Qt::Key_N, Qt::ControlModifier, {}, true).modifierFlags, cmd | modifier::capsLock);
    EXPECT_TRUE(press(Qt::Key_Control, Qt::ControlModifier).characters.isEmpty());
    EXPECT_TRUE(press(Qt::Key_F5, {}).characters.isEmpty());
    EXPECT_EQ(press(Qt::Key_unknown, {}, QStringLiteral("ab")).characters, u"ab");
}

TEST(ShortcutKeys, DesktopNamesAndKeysFromSequences)
{
    const struct {
        const char* portable;
        const char* key;
        quint64 modifiers;
        const char* shown;
    } cases[] = {
        {"Ctrl+Shift+Z", "Z", cmd | shift, "Ctrl+Shift+Z"},
        {"Ctrl+Alt+0", "0", cmd | alt, "Ctrl+Alt+0"},
        {"Ctrl++", "+", cmd, "Ctrl++"},
        {"Ctrl+Shift++", "+", cmd, "Ctrl++"}, // Shift is already in the "+"
        {"B", "B", 0, "B"},
        {"Meta+K", "K", modifier::control, "Meta+K"},
    };
    for (const auto& c : cases) {
        const auto binding = keyBindingFromSequence(QKeySequence(QString::fromLatin1(c.portable)));
        ASSERT_TRUE(binding) << c.portable;
        EXPECT_EQ(binding->key, QLatin1String(c.key)) << c.portable;
        EXPECT_EQ(binding->modifiers, c.modifiers) << c.portable;
        KeyboardShortcut shortcut;
        shortcut.key = binding->key;
        shortcut.modifiers = binding->modifiers;
        EXPECT_EQ(shortcut.keyText(), QLatin1String(c.shown)) << c.portable;
    }
    for (const char* none : {"", "F5", "Ctrl+Left", "Shift", "Space"})
        EXPECT_FALSE(keyBindingFromSequence(QKeySequence(QString::fromLatin1(none)))) << none;
}

TEST(ShortcutTable, ChangesAreKeptRefusedWhenTakenAndReset)
{
    test::IsolatedAppState isolated;
    KeyboardShortcutsManager manager(isolated.store);
    KeyboardShortcutsManager other(isolated.store); // e.g. the settings window's

    EXPECT_EQ(manager.rebind(A::actualSize, {QStringLiteral("Z"), cmd}),
              std::optional<QString>(QStringLiteral("Ctrl+Z is already used by \u201cUndo\u201d.")));
    EXPECT_EQ(matchKeyPress(manager.shortcuts(), {QStringLiteral("0"), cmd | alt}), A::actualSize);

    EXPECT_FALSE(manager.rebind(A::actualSize, {QStringLiteral("9"), cmd}));
    EXPECT_EQ(matchKeyPress(other.shortcuts(), {QStringLiteral("9"), cmd}), A::actualSize);
    EXPECT_FALSE(matchKeyPress(other.shortcuts(), {QStringLiteral("0"), cmd | alt}));
    // Kept in the preferences file: a new start finds it.
    EXPECT_EQ(matchKeyPress(loadKeyboardShortcuts(isolated.store), {QStringLiteral("9"), cmd}), A::actualSize);
    // Rebinding to its own keys is no conflict.
    EXPECT_FALSE(manager.rebind(A::actualSize, {QStringLiteral("9"), cmd}));

    // A damaged or foreign entry is skipped, the rest of the table stands.
    isolated.store.setData(KeyboardShortcutsManager::storeKey,
                           R"({"undo":"Ctrl+F5","nothing":"Ctrl+K","redo":"Ctrl+Y","save":7})");
    const auto loaded = loadKeyboardShortcuts(isolated.store);
    EXPECT_EQ(matchKeyPress(loaded, {QStringLiteral("z"), cmd}), A::undo);
    EXPECT_EQ(matchKeyPress(loaded, {QStringLiteral("y"), cmd}), A::redo);
    EXPECT_EQ(matchKeyPress(loaded, {QStringLiteral("s"), cmd}), A::save);

    other.resetToDefaults();
    EXPECT_FALSE(isolated.store.data(KeyboardShortcutsManager::storeKey));
    EXPECT_EQ(matchKeyPress(manager.shortcuts(), {QStringLiteral("0"), cmd | alt}), A::actualSize);
    EXPECT_FALSE(matchKeyPress(manager.shortcuts(), {QStringLiteral("9"), cmd}));
}

// The key monitor on a main window with a text field and a button, and a dialog beside it.
class ShortcutMonitor : public ::testing::Test {
protected:
    test::IsolatedAppState isolated;
    KeyboardShortcutsManager manager{isolated.store};
    QWidget window;
    QLineEdit* field = new QLineEdit(&window);
    QSpinBox* number = new QSpinBox(&window);
    QPushButton* button = new QPushButton(QStringLiteral("Button"), &window);
    QSignalSpy posted{&NotificationCenter::defaultCenter(), &NotificationCenter::posted};

    void SetUp() override
    {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(field);
        layout->addWidget(number);
        layout->addWidget(button);
        manager.installKeyMonitor(*QCoreApplication::instance(),
                                  [this](QObject* target) { return mainWindowShortcutMayFire(window, target); });
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }
    QList<A> settle()
    {
        QTest::qWait(20);
        QCoreApplication::processEvents();
        return triggeredActions(posted);
    }
};

TEST_F(ShortcutMonitor, FiresOnTheWindowButNeverFromTextFieldsOrDialogs)
{
    button->setFocus();
    QTest::keyClick(window.windowHandle(), Qt::Key_E, Qt::ControlModifier);
    QTest::keyClick(window.windowHandle(), Qt::Key_B);
    QTest::keyClick(window.windowHandle(), Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_EQ(settle(), (QList<A>{A::exportImage, A::selectBrushTool, A::zoomIn}));

    posted.clear();
    field->setFocus();
    for (const char c : std::string("bep@x.org"))
        QTest::keyClick(window.windowHandle(), c);
    QTest::keyClick(window.windowHandle(), Qt::Key_N, Qt::ControlModifier);
    number->setFocus();
    QTest::keyClick(window.windowHandle(), Qt::Key_E);
    EXPECT_EQ(settle(), QList<A>{});
    EXPECT_EQ(field->text(), u"bep@x.org");

    QDialog dialog(&window);
    auto* dialogButton = new QPushButton(QStringLiteral("OK"), &dialog);
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    dialogButton->setFocus();
    QTest::keyClick(dialog.windowHandle(), Qt::Key_N, Qt::ControlModifier);
    QTest::keyClick(dialog.windowHandle(), Qt::Key_P);
    EXPECT_EQ(settle(), QList<A>{});
}

class ShortcutActions : public ::testing::Test {
protected:
    test::IsolatedAppState isolated;
    AppState& state = isolated.appState;
    int quitRequests = 0;
    KeyboardShortcutsModifier modifier{state, [this] { ++quitRequests; }};
    QSignalSpy posted{&NotificationCenter::defaultCenter(), &NotificationCenter::posted};

    void trigger(const QVariant& action)
    {
        NotificationCenter::defaultCenter().post(kKeyboardShortcutTriggered, {{QStringLiteral("action"), action}});
    }
};

TEST_F(ShortcutActions, WindowActionsChangeTheState)
{
    const struct {
        A action;
        AppTab tab;
    } tabs[] = {{A::switchToImageEditor, AppTab::imageEditor},
                {A::switchToTransactions, AppTab::transactions},
                {A::switchToTrigger, AppTab::trigger},
                {A::switchToBackgroundRemoval, AppTab::backgroundRemoval}};
    for (const auto& c : tabs) {
        trigger(QVariant::fromValue(c.action));
        EXPECT_EQ(state.activeTab(), c.tab);
    }

    trigger(QVariant::fromValue(A::toggleToolsPanel));
    trigger(QVariant::fromValue(A::toggleLayersPanel));
    trigger(QVariant::fromValue(A::toggleLayersPanel));
    EXPECT_FALSE(isolated.preferences.loadPreferences().showToolsPanel);
    EXPECT_TRUE(state.userPreferences().showLayersPanel);

    trigger(QVariant::fromValue(A::quit));
    EXPECT_EQ(quitRequests, 1);

    posted.clear();
    trigger(QVariant::fromValue(A::processAll));
    trigger(QVariant::fromValue(A::exportImage));
    trigger(QVariant::fromValue(A::settings));
    // The handed-on notification is recorded before the one that triggered it.
    EXPECT_EQ(postedNames(posted).join(u' '), u"processAllImages keyboardShortcutTriggered exportImage "
                                              "keyboardShortcutTriggered openSettings keyboardShortcutTriggered");
}

TEST_F(ShortcutActions, NewSessionDependsOnTheActiveTabAndBadNotificationsDoNothing)
{
    trigger(QVariant::fromValue(A::newSession));
    EXPECT_EQ(postedNames(posted).filter(QStringLiteral("processAllImages")).size(), 1);
    EXPECT_TRUE(state.editorSessions().isEmpty());

    state.setActiveTab(AppTab::imageEditor);
    trigger(QStringLiteral("newSession"));
    NotificationCenter::defaultCenter().post(kKeyboardShortcutTriggered);
    EXPECT_TRUE(state.editorSessions().isEmpty());

    trigger(QVariant::fromValue(A::newSession));
    ASSERT_EQ(state.editorSessions().size(), 1);
    EXPECT_EQ(state.editorSessions().front().name, u"New Session");
}

TEST(ShortcutsView, EveryBindingByCategoryChangedByPressingKeys)
{
    test::IsolatedAppState isolated;
    KeyboardShortcutsManager running(isolated.store);
    KeyboardShortcutsView view(isolated.store);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));

    EXPECT_EQ(view.findChildren<QPushButton*>(QStringLiteral("shortcutKey")).size(), defaultKeyboardShortcuts().size());
    for (const QLabel* label : view.findChildren<QLabel*>())
        EXPECT_FALSE(label->text().contains(u'⌘')) << label->text().toStdString();
    EXPECT_EQ(view.keyButton(A::redo)->text(), u"Ctrl+Shift+Z");
    EXPECT_EQ(view.keyButton(A::actualSize)->text(), u"Ctrl+Alt+0");

    // Click, then press the new keys.
    QTest::mouseClick(view.keyButton(A::actualSize), Qt::LeftButton);
    EXPECT_EQ(view.keyButton(A::actualSize)->text(), u"Press the new keys…");
    QTest::keyClick(view.keyButton(A::actualSize), Qt::Key_Control, Qt::ControlModifier); // still waiting
    QTest::keyClick(view.keyButton(A::actualSize), Qt::Key_9, Qt::ControlModifier);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view.keyButton(A::actualSize)->text(), u"Ctrl+9");
    EXPECT_EQ(matchKeyPress(running.shortcuts(), {QStringLiteral("9"), cmd}), A::actualSize);

    // A key another binding has is refused with its name.
    QTest::mouseClick(view.keyButton(A::selectPenTool), Qt::LeftButton);
    QTest::keyClick(view.keyButton(A::selectPenTool), Qt::Key_B);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view.message(), u"B is already used by \u201cSelect Brush Tool\u201d.");
    EXPECT_EQ(view.keyButton(A::selectPenTool)->text(), u"P");

    // Escape leaves the binding as it was.
    QTest::mouseClick(view.keyButton(A::undo), Qt::LeftButton);
    QTest::keyClick(view.keyButton(A::undo), Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view.keyButton(A::undo)->text(), u"Ctrl+Z");

    QTest::mouseClick(view.findChild<QPushButton*>(QStringLiteral("resetShortcuts")), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view.keyButton(A::actualSize)->text(), u"Ctrl+Alt+0");
    EXPECT_EQ(matchKeyPress(running.shortcuts(), {QStringLiteral("0"), cmd | alt}), A::actualSize);
}
