#pragma once

#include <optional>

namespace kivo::clock {

// Seconds since 1970-01-01 00:00 UTC. Session expiry compares against this.
double nowInSeconds();

// Tests pin the clock to check exact boundaries; nullopt returns to the system clock.
void pinForTesting(std::optional<double> seconds);

} // namespace kivo::clock
