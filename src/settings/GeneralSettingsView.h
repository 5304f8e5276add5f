#pragma once

#include <QWidget>

namespace kivo {

class AppState;

// The "General" tab: appearance, behaviour and performance preferences.
class GeneralSettingsView : public QWidget {
    Q_OBJECT
public:
    explicit GeneralSettingsView(AppState& appState, QWidget* parent = nullptr);
};

} // namespace kivo
