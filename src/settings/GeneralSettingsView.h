#pragma once

#include <QString>
#include <QWidget>

namespace kivo {

class AppState;

// The "General" tab: appearance, behaviour and performance preferences.
class GeneralSettingsView : public QWidget {
    Q_OBJECT
public:
    // With a reason, the acceleration control is disabled and shows it (no accelerated runtime).
    explicit GeneralSettingsView(AppState& appState, const QString& accelerationUnavailableReason = {},
                    QWidget* parent = nullptr);
};

} // namespace kivo
