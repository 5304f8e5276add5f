#pragma once

#include <QString>
#include <QWidget>

namespace kivo {

class AppState;

// The "Processing" tab: background removal, batch processing and performance preferences.
class ProcessingSettingsView : public QWidget {
    Q_OBJECT
public:
    // With a reason, the acceleration control is disabled and shows it (no accelerated runtime).
    explicit ProcessingSettingsView(AppState& appState, const QString& accelerationUnavailableReason = {},
                    QWidget* parent = nullptr);
};

} // namespace kivo
