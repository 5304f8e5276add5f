#include "KeyboardShortcutsView.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QWindow>

namespace kivo {

namespace {

constexpr int nameColumnWidth = 220;
constexpr int rowSpacing = 8;
const char* const actionProperty = "shortcutAction";

QLabel* categoryHeader(ShortcutCategory category)
{
    auto* label = new QLabel(rawValue(category));
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    label->setContentsMargins(0, 8, 0, 0);
    return label;
}

bool isTextEntry(const QWidget* widget)
{
    if (!widget)
        return false;
    if (const auto* line = qobject_cast<const QLineEdit*>(widget))
        return !line->isReadOnly();
    if (const auto* text = qobject_cast<const QTextEdit*>(widget))
        return !text->isReadOnly();
    if (const auto* plain = qobject_cast<const QPlainTextEdit*>(widget))
        return !plain->isReadOnly();
    if (const auto* combo = qobject_cast<const QComboBox*>(widget))
        return combo->isEditable();
    return qobject_cast<const QAbstractSpinBox*>(widget) || qobject_cast<const QKeySequenceEdit*>(widget);
}

} // namespace

KeyboardShortcutsView::KeyboardShortcutsView(DefaultsStore& store, QWidget* parent)
    : QWidget(parent)
    , m_manager(store)
{
    auto* title = new QLabel(tr("Keyboard Shortcuts"));
    QFont headline = title->font();
    headline.setBold(true);
    title->setFont(headline);

    auto* caption = new QLabel(tr("Click a shortcut, then press the keys you want for it."));
    caption->setForegroundRole(QPalette::PlaceholderText);

    m_message = new QLabel;
    m_message->setObjectName(QStringLiteral("shortcutMessage"));
    m_message->setWordWrap(true);

    auto* list = new QWidget;
    m_rows = new QVBoxLayout(list);
    m_rows->setContentsMargins(0, 0, 0, 0);
    m_rows->setSpacing(rowSpacing);
    m_rows->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    auto* scroll = new QScrollArea;
    scroll->setWidget(list);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);

    auto* reset = new QPushButton(tr("Reset to Defaults"));
    reset->setObjectName(QStringLiteral("resetShortcuts"));
    connect(reset, &QPushButton::clicked, this, &KeyboardShortcutsView::resetToDefaults);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(caption);
    layout->addWidget(m_message);
    layout->addWidget(scroll, 1);
    layout->addWidget(reset, 0, Qt::AlignLeft);

    connect(&m_manager, &KeyboardShortcutsManager::shortcutsChanged, this, &KeyboardShortcutsView::rebuildRows);
    rebuildRows();
}

QPushButton* KeyboardShortcutsView::keyButton(KeyboardAction action) const
{
    for (QPushButton* button : findChildren<QPushButton*>(QStringLiteral("shortcutKey")))
        if (button->property(actionProperty).value<KeyboardAction>() == action)
            return button;
    return nullptr;
}

QString KeyboardShortcutsView::message() const
{
    return m_message->text();
}

void KeyboardShortcutsView::resetToDefaults()
{
    m_capturing.reset();
    m_message->clear();
    m_manager.resetToDefaults();
}

void KeyboardShortcutsView::rebuildRows()
{
    while (QLayoutItem* item = m_rows->takeAt(0)) {
        if (QWidget* widget = item->widget())
            widget->deleteLater();
        delete item;
    }
    std::optional<ShortcutCategory> category;
    for (const KeyboardShortcut& shortcut : m_manager.shortcuts()) {
        if (shortcut.category != category) {
            category = shortcut.category;
            m_rows->addWidget(categoryHeader(shortcut.category));
        }
        auto* row = new QWidget;
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* name = new QLabel(shortcut.name);
        name->setFixedWidth(nameColumnWidth);
        layout->addWidget(name);
        auto* keys = new QPushButton(m_capturing == shortcut.action ? tr("Press the new keys…") : shortcut.keyText());
        keys->setObjectName(QStringLiteral("shortcutKey"));
        keys->setProperty(actionProperty, QVariant::fromValue(shortcut.action));
        keys->setToolTip(tr("Click, then press the keys for \u201c%1\u201d (Esc cancels).").arg(shortcut.name));
        keys->setMinimumWidth(140);
        keys->installEventFilter(this);
        const KeyboardAction action = shortcut.action;
        connect(keys, &QPushButton::clicked, this, [this, action] { startCapture(action); });
        layout->addWidget(keys);
        layout->addStretch(1);
        m_rows->addWidget(row);
    }
}

void KeyboardShortcutsView::startCapture(KeyboardAction action)
{
    m_capturing = action;
    m_message->clear();
    if (QPushButton* button = keyButton(action)) {
        button->setText(tr("Press the new keys…"));
        button->setFocus();
    }
}

bool KeyboardShortcutsView::eventFilter(QObject* watched, QEvent* event)
{
    if (!m_capturing || event->type() != QEvent::KeyPress
        || watched->property(actionProperty).value<KeyboardAction>() != *m_capturing)
        return QWidget::eventFilter(watched, event);
    finishCapture(static_cast<const QKeyEvent&>(*event));
    return true;
}

void KeyboardShortcutsView::finishCapture(const QKeyEvent& event)
{
    const int key = event.key();
    if (key == Qt::Key_Control || key == Qt::Key_Shift || key == Qt::Key_Alt || key == Qt::Key_Meta
        || key == Qt::Key_CapsLock || key == Qt::Key_NumLock || key == Qt::Key_AltGr)
        return; // keep waiting for the key itself
    const KeyboardAction action = *m_capturing;
    m_capturing.reset();
    if (key == Qt::Key_Escape) {
        rebuildRows();
        return;
    }
    const auto keys = keyBindingFromSequence(QKeySequence(event.keyCombination()));
    if (!keys) {
        m_message->setText(tr("That key cannot be a shortcut; choose a letter, digit or punctuation key."));
        rebuildRows();
        return;
    }
    if (const auto refusal = m_manager.rebind(action, *keys)) {
        m_message->setText(*refusal);
        rebuildRows();
    }
}

bool mainWindowShortcutMayFire(const QWidget& mainWindow, QObject* window)
{
    if (window != mainWindow.windowHandle())
        return false;
    if (QApplication::activeModalWidget() || QApplication::activePopupWidget())
        return false;
    return !isTextEntry(QApplication::focusWidget());
}

} // namespace kivo
