#include "engine_clock.h"

#include <atomic>
#include <chrono>

namespace wireguard::engine {
namespace {

std::uint64_t system_monotonic() noexcept
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

std::atomic<clock_source> current_source{nullptr};

}  // namespace

void set_clock_source(clock_source source) noexcept
{
    current_source.store(source, std::memory_order_release);
}

std::uint64_t clock_now() noexcept
{
    const clock_source source = current_source.load(std::memory_order_acquire);
    return source ? source() : system_monotonic();
}

}  // namespace wireguard::engine
