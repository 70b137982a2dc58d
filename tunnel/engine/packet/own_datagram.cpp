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

bool claims_server_origin(const rimcap::frame_view& frame, const ip_endpoint& server) noexcept
{
    constexpr std::size_t ip = rimcap::ip_header_offset;
    std::size_t udp = 0;
    if (server.family == family_ipv4 && frame.ether_type() == rimcap::ether_type_ipv4) {
        // Read field by field: the frame may fail the view's length checks.
        if (!frame.equal(ip + 12, server.address.data(), 4) || frame.u8(ip + 9) != rimcap::ip_protocol_udp ||
            (frame.u16(ip + 6) & 0x1FFF) != 0)
            return false;
        udp = ip + (frame.u8(ip) & 0x0Fu) * 4u;
        if (udp < ip + 20)
            return false;
    } else if (server.family == family_ipv6 && frame.ether_type() == rimcap::ether_type_ipv6) {
        if (!frame.equal(ip + 8, server.address.data(), 16))
            return false;
        if (frame.is_ipv6()) {
            const auto walk = ipv6_upper_layer(frame);
            if (!walk.header || walk.header->protocol != rimcap::ip_protocol_udp)
                return false;
            udp = walk.header->offset;
        } else {
            if (frame.u8(ip + 6) != rimcap::ip_protocol_udp)
                return false;
            udp = ip + rimcap::ipv6_header_size;
        }
    } else {
        return false;
    }
    return frame.has(udp, 2) && frame.u16(udp) == server.port;
}
} // namespace wireguard
