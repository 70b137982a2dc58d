// Decisions of first fragments.
#include "fragment_decisions.h"

namespace wireguard
{
void fragment_decisions::remember(const fragment_key& key, bool tunnel) noexcept
{
    entries_[next_] = entry{key, true, tunnel};
    next_ = (next_ + 1) % capacity;
}

std::optional<bool> fragment_decisions::find(const fragment_key& key) const noexcept
{
    for (std::size_t n = 1; n <= capacity; ++n) {
        const entry& e = entries_[(next_ + capacity - n) % capacity];
        if (!e.used)
            break; // entries are filled in order: the rest are unused too
        if (e.key.identification == key.identification && e.key == key)
            return e.tunnel;
    }
    return std::nullopt;
}

void fragment_decisions::clear() noexcept
{
    entries_.fill(entry{});
    next_ = 0;
}
} // namespace wireguard
