#include "KeyboardShortcutsView.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

namespace kivo {

namespace {

constexpr int nameColumnWidth = 150;
constexpr int rowSpacing = 8;

QLabel* chip(const QString& text)
{
    auto* label = new QLabel(text);
    label->setObjectName(QStringLiteral("shortcutChip"));
    label->setAlignment(Qt::AlignCenter);
    label->setMinimumWidth(22);
    const QPalette palette = label->palette();
    label->setStyleSheet(QStringLiteral("QLabel { background-color: %1; border: 1px solid %2; border-radius: 4px;"
                                        " padding: 1px 6px; }")
                             .arg(palette.color(QPalette::Button).name(), palette.color(QPalette::Mid).name()));
    return label;
}

QWidget* shortcutRow(const KeyboardShortcut& shortcut)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto* name = new QLabel(shortcut.name);
    name->setFixedWidth(nameColumnWidth);
    layout->addWidget(name);
    for (const QString& symbol : shortcut.modifierSymbols())
        layout->addWidget(chip(symbol));
    layout->addWidget(chip(shortcut.key));
    layout->addStretch(1);
    return row;
}

} // namespace

KeyboardShortcutsView::KeyboardShortcutsView(QWidget* parent)
    : QWidget(parent)
    , m_shortcuts(settingsShortcutList())
{
    auto* title = new QLabel(tr("Keyboard Shortcuts"));
    QFont headline = title->font();
    headline.setBold(true);
    title->setFont(headline);

    auto* caption = new QLabel(tr("Customize keyboard shortcuts for common actions"));
    caption->setForegroundRole(QPalette::PlaceholderText);

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
    connect(reset, &QPushButton::clicked, this, &KeyboardShortcutsView::resetToDefaults);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(caption);
    layout->addWidget(scroll, 1);
    layout->addWidget(reset, 0, Qt::AlignLeft);
    rebuildRows();
}

void KeyboardShortcutsView::resetToDefaults()
{
    m_shortcuts = settingsShortcutList();
    rebuildRows();
}

void KeyboardShortcutsView::rebuildRows()
{
    while (QLayoutItem* item = m_rows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const KeyboardShortcut& shortcut : m_shortcuts)
        m_rows->addWidget(shortcutRow(shortcut));
}

std::optional<QUrl> chooseImageToOpen(QWidget* parent)
{
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QObject::tr("Images (*.png *.jpg *.jpeg *.tif *.tiff)"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedUrls().isEmpty())
        return std::nullopt;
    return dialog.selectedUrls().constFirst();
}

} // namespace kivo
