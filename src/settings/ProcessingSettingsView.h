#pragma once

#include <QWidget>

namespace kivo {

class AppState;

// The "Processing" tab: background removal, batch processing and performance preferences.
class ProcessingSettingsView : public QWidget {
    Q_OBJECT
public:
    explicit ProcessingSettingsView(AppState& appState, QWidget* parent = nullptr);
};

} // namespace kivo
