#pragma once

#include "core/WidgetStyle.h"

#include <QWidget>

namespace kivo {

// A widget that is nothing but the checkerboard (paintCheckerboard).
class CheckerboardBackground : public QWidget {
    Q_OBJECT
public:
    explicit CheckerboardBackground(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace kivo
