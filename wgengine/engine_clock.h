// The clock that the engine's timers read. Product code never touches it: by default
// it is the monotonic clock of the system. Tests replace it to drive the 5, 10, 90,
// 120 and 180 second timers without sleeping.
#pragma once

#include <cstdint>

namespace wireguard::engine {

// Monotonic time in nanoseconds from an arbitrary origin.
using clock_source = std::uint64_t (*)();

// Installs `source` for every tunnel of the process; nullptr restores the system
// clock. Install it before creating the tunnels that should see it.
void set_clock_source(clock_source source) noexcept;

// The current time of the engine's clock.
std::uint64_t clock_now() noexcept;

}  // namespace wireguard::engine
