#pragma once
// Recognising the tunnel socket's own datagrams among the frames that the stack sends:
// UDP from the socket's local port to the server's address and port, in the server's
// address family. The tunnel socket only ever carries handshake initiations and
// keep-alives toward the server, so such a frame also tells the outgoing path which
// local address the stack chose and which next hop it sends to.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "config/ip_types.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
struct own_datagram {
    std::uint8_t family = family_ipv4;
    std::size_t udp_offset = 0;   // frame offset of the UDP header
    std::uint16_t udp_length = 0; // the UDP length field as it stands
};

// The frame is IPv4 or IPv6 (passing the view's checks) of the server's family, carries
// a complete UDP header (IPv4: not a later fragment; IPv6: found by the extension-header
// walk), is addressed to the server's address and port and comes from local_port. A
// local port of 0 (no socket yet) matches nothing.
std::optional<own_datagram> match_own_datagram(const rimcap::frame_view& frame, const ip_endpoint& server,
                                               std::uint16_t local_port) noexcept;

// A received frame that names the server as its sender: of the server's family, from the
// server's address, carrying UDP (IPv4 protocol 17; IPv6: the extension-header walk, or
// the fixed header's next header when the frame fails the view's checks) from the
// server's port, as far as these fields lie within the frame. A later IPv4 fragment
// names no port and never claims. The incoming path drops such a frame when it is not
// a well-formed datagram of the server.
bool claims_server_origin(const rimcap::frame_view& frame, const ip_endpoint& server) noexcept;

// The first 32 bits of the IPv6 header for the tunnel's outer IPv6 headers: the learned
// word, or version 6 with traffic class and flow label zero while none is learned, so
// that no frame ever leaves with a version of 0.
constexpr std::uint32_t outer_ipv6_header_word(std::uint32_t learned) noexcept
{
    return learned != 0 ? learned : 0x60000000u;
}
} // namespace wireguard
