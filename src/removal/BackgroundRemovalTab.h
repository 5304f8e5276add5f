#pragma once

#include <QWidget>

namespace kivo {

class AppState;

// The Background Removal tab.
class BackgroundRemovalTab : public QWidget {
    Q_OBJECT
public:
    explicit BackgroundRemovalTab(AppState& appState, QWidget* parent = nullptr);

private:
    AppState& m_appState;
};

} // namespace kivo
