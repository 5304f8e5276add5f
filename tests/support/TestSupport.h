#pragma once

#include "core/ImageCache.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QString>

#include <chrono>
#include <functional>
#include <ostream>

// Readable QString values in GoogleTest's failure messages.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace kivo::test {

// Runs the event loop until `condition` holds or the time runs out; returns the condition.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A file under tests/data.
QString testDataPath(const QString& name);

// The image as HEIC bytes (libheif's HEVC encoder), for the loaders' tests; empty on failure.
QByteArray encodeHeic(const QImage& image);

// The image kept as PNG in the application's cache, as tasks keep theirs.
CachedImage keptImage(const QImage& image);

// Captures what the code under test prints on standard output while it is alive.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Everything printed so far.
    QString text();

private:
    int m_savedFd = -1;
    int m_captureFd = -1;
    QString m_path;
};

} // namespace kivo::test
