#pragma once

#include <QAbstractButton>

namespace kivo {

// One tab of the main window's tab bar: icon and title on a rounded rectangle, in the accent
// colour with a light accent fill while selected.
class TabButton : public QAbstractButton {
    Q_OBJECT
public:
    TabButton(const QString& title, const QIcon& icon, QWidget* parent = nullptr);

    bool isSelected() const { return m_selected; }
    void setSelected(bool selected);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_selected = false;
};

} // namespace kivo
