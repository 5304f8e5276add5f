#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace kivo {

// "Create New Session": a name field and "Create", which stays disabled while the name is
// empty. The name is taken exactly as typed.
class NewSessionDialog : public QDialog {
    Q_OBJECT
public:
    explicit NewSessionDialog(QWidget* parent = nullptr);

    QLineEdit* nameField() const { return m_nameField; }
    QPushButton* createButton() const { return m_createButton; }
    QPushButton* cancelButton() const { return m_cancelButton; }

signals:
    void createRequested(const QString& name);

private:
    QLineEdit* m_nameField = nullptr;
    QPushButton* m_createButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
};

} // namespace kivo
