#pragma once

#include <QColor>
#include <QPushButton>

namespace kivo {

// A colour well: a swatch of the colour that opens the colour dialog (opacity included).
class ColorButton : public QPushButton {
    Q_OBJECT
public:
    explicit ColorButton(const QColor& color = Qt::black, QWidget* parent = nullptr);

    const QColor& color() const { return m_color; }
    // Shows the colour without signalling.
    void setColor(const QColor& color);

signals:
    // The user picked a colour.
    void colorPicked(const QColor& color);

private:
    void pick();

    QColor m_color;
};

} // namespace kivo
