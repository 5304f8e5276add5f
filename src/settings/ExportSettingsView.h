#pragma once

#include <QWidget>

namespace kivo {

class AppState;

// The "Export" tab: default format, JPEG quality, export location and file naming.
class ExportSettingsView : public QWidget {
    Q_OBJECT
public:
    explicit ExportSettingsView(AppState& appState, QWidget* parent = nullptr);

private:
    void chooseDefaultLocation();

    AppState& m_appState;
};

} // namespace kivo
