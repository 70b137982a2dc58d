#pragma once
// The spin lock of the virtual adapter's name in the dual tunnel: a word that is 0 when
// free and 1 when held, taken by exchange with 1; between tries the holder-to-be pauses,
// doubling its pause count up to 64.
#include <algorithm>
#include <atomic>
#include <cstdint>

#include "win32.h"

namespace wireguard
{
class name_spin_guard
{
public:
    explicit name_spin_guard(std::atomic<std::uint32_t>& word) noexcept : word_(word)
    {
        std::uint32_t pause = 1;
        while (word_.exchange(1) == 1) {
            for (std::uint32_t i = 0; i < pause; ++i)
                YieldProcessor();
            pause = std::min<std::uint32_t>(pause * 2, 64);
        }
    }
    ~name_spin_guard() { word_.exchange(0); }

    name_spin_guard(const name_spin_guard&) = delete;
    name_spin_guard& operator=(const name_spin_guard&) = delete;

private:
    std::atomic<std::uint32_t>& word_;
};
} // namespace wireguard
