// The monotonic clock of the tunnel engine.
#include "steady_time.h"

#ifdef _WIN32
#include "win32.h"
#else
#include <chrono>
#endif

namespace wireguard
{
#ifdef _WIN32
std::int64_t steady_time_ns() noexcept
{
    // The frequency is fixed at boot; reading it once is enough.
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? f.QuadPart : 1;
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    // Whole seconds and the remainder apart, so that the product cannot overflow.
    const std::int64_t seconds = counter.QuadPart / frequency;
    const std::int64_t rest = counter.QuadPart % frequency;
    return seconds * 1'000'000'000 + rest * 1'000'000'000 / frequency;
}
#else
std::int64_t steady_time_ns() noexcept
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
#endif
} // namespace wireguard
