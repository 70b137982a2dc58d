// Decisions of first fragments.
#include "fragment_decisions.h"

#include "inner_rewrite.h"

namespace wireguard
{
fragment_place fragment_place_of(const rimcap::frame_view& frame, const ipv6_upper_layer_info& walk) noexcept
{
    fragment_place place;
    const bool ipv4 = frame.is_ipv4();
    if (ipv4 && frame.is_fragment()) {
        place.role = frame.fragment_offset() != 0 ? fragment_role::later : fragment_role::first;
        place.key.protocol = frame.ip_protocol();
        place.key.identification = frame.u16(rimcap::ip_header_offset + 4);
    } else if (!ipv4 && walk.fragment && (walk.fragment->offset != 0 || walk.fragment->more)) {
        place.role = walk.fragment->offset != 0 ? fragment_role::later : fragment_role::first;
        place.key.protocol = walk.protocol;
        place.key.identification = walk.fragment->identification;
    } else {
        return place;
    }
    place.key.family = ipv4 ? family_ipv4 : family_ipv6;
    const std::size_t length = ipv4 ? 4 : 16;
    frame.read(ipv4 ? inner_field::ipv4_source : inner_field::ipv6_source, place.key.source.data(), length);
    frame.read(ipv4 ? inner_field::ipv4_destination : inner_field::ipv6_destination, place.key.destination.data(),
               length);
    return place;
}

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
