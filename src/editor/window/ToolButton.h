#pragma once

#include <QToolButton>

namespace kivo {

// A borderless tool choice: the symbol above its caption, on the accent colour at low opacity
// while active.
class ToolButton : public QToolButton {
    Q_OBJECT
public:
    ToolButton(const QString& title, const QString& systemImage, QWidget* parent = nullptr);

    bool isActive() const { return m_isActive; }
    void setActive(bool active);

private:
    void refreshLook();

    bool m_isActive = false;
};

} // namespace kivo
