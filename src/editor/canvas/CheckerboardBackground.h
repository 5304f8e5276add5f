#pragma once

#include <QWidget>

class QPainter;

namespace kivo {

// White with light grey squares of 20 × 20 on the cells whose column plus row is even, counted
// from the area's origin: what shows through the transparent parts of an image.
void paintCheckerboard(QPainter& painter, const QRect& area);

// A widget that is nothing but the checkerboard.
class CheckerboardBackground : public QWidget {
    Q_OBJECT
public:
    explicit CheckerboardBackground(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace kivo
