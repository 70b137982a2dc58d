#include "replay_window.h"

namespace wireguard::engine {

std::optional<error> replay_window::check(std::uint64_t counter) const noexcept
{
    if (counter >= reject_after_messages)
        return error::invalid_counter;
    if (counter >= next_)
        return std::nullopt;
    if (next_ - counter > window_size)
        return error::invalid_counter;
    if (seen(counter))
        return error::duplicate_counter;
    return std::nullopt;
}

std::optional<error> replay_window::accept(std::uint64_t counter) noexcept
{
    if (auto e = check(counter))
        return e;
    if (counter >= next_) {
        // Forget the counters that leave the window: the ring positions from next_ to
        // counter now stand for the new counters.
        if (counter - next_ >= window_size) {
            bits_.fill(0);
        } else {
            for (std::uint64_t c = next_; c < counter; ++c) {
                const std::uint64_t bit = c % window_size;
                bits_[bit / 64] &= ~(std::uint64_t{1} << (bit % 64));
            }
            const std::uint64_t bit = counter % window_size;
            bits_[bit / 64] &= ~(std::uint64_t{1} << (bit % 64));
        }
        next_ = counter + 1;
    }
    const std::uint64_t bit = counter % window_size;
    bits_[bit / 64] |= std::uint64_t{1} << (bit % 64);
    ++accepted_;
    return std::nullopt;
}

}  // namespace wireguard::engine
