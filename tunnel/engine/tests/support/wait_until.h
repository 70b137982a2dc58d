#pragma once
// Polling for a condition that another thread brings about.
#include <chrono>
#include <functional>
#include <thread>

namespace tunnel_test
{
// Polls the condition every 2 ms for at most limit; true when it held.
inline bool wait_until(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
} // namespace tunnel_test
