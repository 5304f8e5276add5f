#pragma once

#include <QString>

#include <cstdio>

namespace kivo {

// Diagnostics are plain lines on standard output, one per event, no levels or time stamps.
// Safe to call from any thread; never pass a password or an API key.
void logLine(const QString& line);

// Keeps the last line logged on the creating thread while it lives: work whose parts say why
// they failed only in their log lines (the engines) passes that reason on to the user.
class ThreadLogCapture {
public:
    ThreadLogCapture();
    ~ThreadLogCapture();
    ThreadLogCapture(const ThreadLogCapture&) = delete;
    ThreadLogCapture& operator=(const ThreadLogCapture&) = delete;

    QString lastLine() const { return m_lastLine; }

private:
    friend void logLine(const QString& line);
    ThreadLogCapture* m_outer = nullptr;
    QString m_lastLine;
};

// Command-line tools whose standard output carries their results send the diagnostics to
// standard error instead. Set it before any thread logs.
void setLogStream(std::FILE* stream);

} // namespace kivo
