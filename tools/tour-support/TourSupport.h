#pragma once

// Helpers of the drivers that walk through the real window and take screenshots.

#include <QString>

#include <functional>

class QWidget;

namespace kivo::tour {

// Runs the event loop for the given time.
void pump(int milliseconds);
// Runs the event loop until `condition` holds or the time runs out; returns the condition.
bool waitFor(const std::function<bool()>& condition, int seconds);
// Lets pending painting happen, then saves the whole screen when there is one (dialogs
// included), else the window alone, and prints the path.
void saveScreenshot(QWidget& window, const QString& path);

} // namespace kivo::tour
