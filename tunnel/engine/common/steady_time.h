#pragma once
// The monotonic clock of the tunnel engine: nanoseconds from an arbitrary start that
// never go back. On Windows it is the performance counter scaled to nanoseconds.
#include <cstdint>

namespace wireguard
{
std::int64_t steady_time_ns() noexcept;
} // namespace wireguard
