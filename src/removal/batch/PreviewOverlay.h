#pragma once

#include <QWidget>

namespace kivo {

// Black at 50 % over the whole of its parent, holding a preview in its middle. A click on the
// dimmed part (not on the preview) dismisses it.
class PreviewOverlay : public QWidget {
    Q_OBJECT
public:
    PreviewOverlay(QWidget* content, QWidget* parent);

    QWidget* content() const { return m_content; }

signals:
    void dismissed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QWidget* m_content;
};

} // namespace kivo
