#include "NewSessionDialog.h"

#include "core/WidgetStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace kivo {

NewSessionDialog::NewSessionDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(tr("Create New Session"));
    auto* title = new QLabel(tr("Create New Session"));
    styleFont(title, 1.2, QFont::Bold);

    m_nameField = new QLineEdit;
    m_nameField->setPlaceholderText(tr("Session Name"));
    m_nameField->setMinimumWidth(260);
    m_nameField->setStyleSheet(QStringLiteral("QLineEdit { border: 1px solid palette(mid); border-radius: 6px; padding: 4px 8px; }"));

    m_cancelButton = new QPushButton(tr("Cancel"));
    m_createButton = new QPushButton(tr("Create"));
    makeProminent(m_createButton);
    m_createButton->setDefault(true);
    m_createButton->setEnabled(false);
    connect(m_nameField, &QLineEdit::textChanged, this, [this](const QString& text) { m_createButton->setEnabled(!text.isEmpty()); });
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_createButton, &QPushButton::clicked, this, [this] {
        if (m_nameField->text().isEmpty())
            return;
        emit createRequested(m_nameField->text());
        accept();
    });
    // Closing clears the name for the next time.
    connect(this, &QDialog::finished, m_nameField, &QLineEdit::clear);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_cancelButton);
    buttons->addWidget(m_createButton);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(14);
    layout->addWidget(title);
    layout->addWidget(m_nameField);
    layout->addLayout(buttons);
}

} // namespace kivo
