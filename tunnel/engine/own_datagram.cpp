// Recognising the tunnel socket's own datagrams.
#include "own_datagram.h"

#include "ipv6_walk.h"

namespace wireguard
{
std::optional<own_datagram> match_own_datagram(const rimcap::frame_view& frame, const ip_endpoint& server,
                                               std::uint16_t local_port) noexcept
{
    if (local_port == 0)
        return std::nullopt;

    std::optional<rimcap::transport_header> udp;
    std::size_t destination_offset = 0;
    std::size_t address_size = 0;
    if (server.family == family_ipv4 && frame.is_ipv4()) {
        udp = frame.ipv4_transport();
        destination_offset = rimcap::ip_header_offset + 16;
        address_size = 4;
    } else if (server.family == family_ipv6 && frame.is_ipv6()) {
        udp = ipv6_upper_layer(frame).header;
        destination_offset = rimcap::ip_header_offset + 24;
        address_size = 16;
    } else {
        return std::nullopt;
    }

    if (!udp || udp->protocol != rimcap::ip_protocol_udp || !frame.header_complete(*udp))
        return std::nullopt;
    if (!frame.equal(destination_offset, server.address.data(), address_size))
        return std::nullopt;
    if (frame.u16(udp->offset + 2) != server.port || frame.u16(udp->offset) != local_port)
        return std::nullopt;

    own_datagram d;
    d.family = server.family;
    d.udp_offset = udp->offset;
    d.udp_length = frame.u16(udp->offset + 4);
    return d;
}
} // namespace wireguard
