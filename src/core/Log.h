#pragma once

#include <QString>

#include <cstdio>

namespace kivo {

// Diagnostics are plain lines on standard output, one per event, no levels or time stamps.
// Safe to call from any thread; never pass a password or an API key.
void logLine(const QString& line);

// Command-line tools whose standard output carries their results send the diagnostics to
// standard error instead. Set it before any thread logs.
void setLogStream(std::FILE* stream);

} // namespace kivo
