// The addresses of readdressed first fragments, for the later fragments.
#include "fragment_addresses.h"

#include <cstring>

#include "inner_rewrite.h"

namespace wireguard
{
std::optional<bool> fragment_addresses::follow(const fragment_place& place, rimcap::frame_view& frame,
                                               bool readdressed, bool other_stack) noexcept
{
    const bool ipv4 = place.key.family == family_ipv4;
    const std::size_t source_field = ipv4 ? inner_field::ipv4_source : inner_field::ipv6_source;
    const std::size_t destination_field = ipv4 ? inner_field::ipv4_destination : inner_field::ipv6_destination;
    const std::size_t length = ipv4 ? 4 : 16;
    if (place.role == fragment_role::first && readdressed) {
        addresses a;
        a.other_stack = other_stack;
        if (frame.read(source_field, a.source.data(), length) &&
            frame.read(destination_field, a.destination.data(), length))
            memory_.remember(place.key, a);
        return std::nullopt;
    }
    if (place.role != fragment_role::later)
        return std::nullopt;
    const std::optional<addresses> a = memory_.find(place.key);
    if (!a)
        return std::nullopt;
    if (ipv4) {
        std::uint32_t source = 0;
        std::uint32_t destination = 0;
        std::memcpy(&source, a->source.data(), 4);
        std::memcpy(&destination, a->destination.data(), 4);
        replace_ipv4_address(frame, source_field, source);
        replace_ipv4_address(frame, destination_field, destination);
        finish_inner_ipv4(frame);
    } else {
        replace_ipv6_address(frame, source_field, a->source);
        replace_ipv6_address(frame, destination_field, a->destination);
    }
    return a->other_stack;
}
} // namespace wireguard
