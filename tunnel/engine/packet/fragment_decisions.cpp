// The place of a packet in its datagram.
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
} // namespace wireguard
