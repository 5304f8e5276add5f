#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace kivo {

// What an empty batch shows: an invitation to drop images, and a button to pick them.
class DropZoneView : public QWidget {
    Q_OBJECT
public:
    explicit DropZoneView(QWidget* parent = nullptr);

    void setDragOver(bool dragOver);
    // With drag and drop switched off the zone says how to add photos instead.
    void setDropsEnabled(bool enabled);
    bool dropsEnabled() const { return m_dropsEnabled; }
    QLabel* hint() const { return m_text; }
    QPushButton* browseButton() const { return m_browseButton; }

signals:
    void browseRequested();

private:
    QLabel* m_badge = nullptr;
    QLabel* m_heading = nullptr;
    QLabel* m_text = nullptr;
    bool m_dropsEnabled = true;
    QPushButton* m_browseButton = nullptr;
};

} // namespace kivo
