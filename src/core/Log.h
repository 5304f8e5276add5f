#pragma once

#include <QString>

namespace kivo {

// Diagnostics are plain lines on standard output, one per event, no levels or time stamps.
// Safe to call from any thread; never pass a password or an API key.
void logLine(const QString& line);

} // namespace kivo
