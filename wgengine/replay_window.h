// The receive counter of a session: a sliding window of 1024 counters below the
// highest one accepted, so that reordered packets pass and replayed ones do not.
#pragma once

#include "messages.h"

#include <array>
#include <cstdint>
#include <optional>

namespace wireguard::engine {

class replay_window {
public:
    static constexpr std::uint64_t window_size = 1024;
    // Counters from here on are refused (2^64 - 2^13 - 1).
    static constexpr std::uint64_t reject_after_messages = ~std::uint64_t{0} - (std::uint64_t{1} << 13);

    // Whether `counter` may be accepted: invalid_counter when it is below the window
    // (or at the limit), duplicate_counter when it was seen. Changes nothing.
    std::optional<error> check(std::uint64_t counter) const noexcept;

    // Records `counter` after its packet authenticated; same errors as check.
    std::optional<error> accept(std::uint64_t counter) noexcept;

    // One above the highest counter accepted (0 when none), and how many were accepted.
    std::uint64_t next() const noexcept { return next_; }
    std::uint64_t accepted() const noexcept { return accepted_; }

private:
    bool seen(std::uint64_t counter) const noexcept
    {
        const std::uint64_t bit = counter % window_size;
        return (bits_[bit / 64] >> (bit % 64)) & 1;
    }

    std::uint64_t next_ = 0;
    std::uint64_t accepted_ = 0;
    std::array<std::uint64_t, window_size / 64> bits_{};
};

}  // namespace wireguard::engine
