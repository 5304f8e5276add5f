#pragma once

#include <QWidget>

namespace kivo {

// "Version 1.2" followed by " (build)" when there is a build number; "Unknown" without a version.
QString aboutVersionLine(const QString& appVersion, const QString& buildNumber);

// The "About" tab: the application's name, version, links to the website and its pages.
class AboutSettingsView : public QWidget {
    Q_OBJECT
public:
    AboutSettingsView(const QString& appVersion, const QString& buildNumber, QWidget* parent = nullptr);
};

} // namespace kivo
