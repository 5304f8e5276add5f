#include "Clock.h"

#include <QDateTime>

#include <atomic>
#include <cmath>

namespace kivo::clock {

namespace {
std::atomic<double> pinned{NAN};
}

double nowInSeconds()
{
    const double fixed = pinned.load();
    if (!std::isnan(fixed))
        return fixed;
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

void pinForTesting(std::optional<double> seconds)
{
    pinned.store(seconds.value_or(NAN));
}

} // namespace kivo::clock
