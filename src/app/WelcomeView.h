#pragma once

#include <QDialog>

class QCheckBox;
class QPushButton;

namespace kivo {

class AppState;

// The first screen at launch ("Show welcome screen on launch"): what the four tabs do, where to
// drop photos and which engine works on them. "Don't show this again" switches the preference
// off (and on again when unticked).
class WelcomeView : public QDialog {
    Q_OBJECT
public:
    explicit WelcomeView(AppState& appState, QWidget* parent = nullptr);

    QCheckBox* dontShowAgain() const { return m_dontShowAgain; }
    QPushButton* startButton() const { return m_startButton; }

private:
    QCheckBox* m_dontShowAgain = nullptr;
    QPushButton* m_startButton = nullptr;
};

} // namespace kivo
