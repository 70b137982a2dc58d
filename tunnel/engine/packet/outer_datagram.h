#pragma once
// The outer headers of the tunnel's datagrams to the server, written in place in the
// frame that held the plain packet.
//
// An encrypted packet leaves as one UDP datagram: from the learned local address of the
// physical adapter and the tunnel socket's local port, to the server's address and
// port, to the learned next-hop MAC address (the Ethernet source stays as the stack
// wrote it). The outer IP header takes the server's family:
//
//   server  inner  outer header
//   IPv4    IPv4   0x45, the inner type of service and identification, flags: only the
//                  inner DF (never MF or an offset: the datagram is whole), TTL 128
//   IPv4    IPv6   0x45, type of service 0, identification from the tunnel's counter
//                  (incremented first, wrapping at 65536), flags 0, TTL 128
//   IPv6    IPv4   the learned first header word, hop limit 128
//   IPv6    IPv6   the inner first header word (version, traffic class, flow label)
//                  and hop limit
//
// then UDP (length n + 8) and the n datagram bytes; frame length n + 42 (IPv4 server)
// or n + 62 (IPv6 server). The UDP and IPv4 header checksums (or the IPv6 UDP
// checksum) are recomputed.
//
// The fresh form (the dual tunnel's) keeps nothing of the inner packet and writes both
// MAC addresses: IPv4 0x45, type of service 0, the given identification, flags 0,
// TTL 128; IPv6 the route's header word and hop limit 128; Ethernet destination the
// next hop and source the given MAC address.
//
// The handshake reply: the frame that brought the server's 92-byte handshake response
// goes back to the server holding the 32-byte reply, with MACs, addresses and ports
// swapped.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "config/ip_types.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
inline constexpr std::size_t outer_ipv4_headers = rimcap::ip_header_offset + 20 + rimcap::udp_header_size; // 42
inline constexpr std::size_t outer_ipv6_headers = rimcap::ip_header_offset + 40 + rimcap::udp_header_size; // 62

// Frame bytes in front of the datagram for a server of that family.
constexpr std::size_t outer_header_size(std::uint8_t server_family) noexcept
{
    return server_family == family_ipv6 ? outer_ipv6_headers : outer_ipv4_headers;
}

// Room for the datagram: the rest of the 1514-byte frame area.
constexpr std::size_t datagram_capacity(std::uint8_t server_family) noexcept
{
    return rimcap::max_frame_size - outer_header_size(server_family);
}

// A transport data message adds a 16-byte header and a 16-byte tag to the packet.
inline constexpr std::size_t transport_data_overhead = 32;

// The largest packet that one frame carries to a server of that family: 1440 bytes to
// an IPv4 server, 1420 to an IPv6 one. Transport data never goes through the SOCKS5
// relay, so a proxy takes nothing off it.
constexpr std::uint16_t max_tunnelled_packet(std::uint8_t server_family) noexcept
{
    return static_cast<std::uint16_t>(datagram_capacity(server_family) - transport_data_overhead);
}

// The MTU that packets into the tunnel are held to (oversize replies, MSS clamps): the
// tunnel's MTU, but never more than one frame carries, since the engine refuses a
// larger packet.
constexpr std::uint16_t tunnel_packet_mtu(std::uint16_t mtu, std::uint8_t server_family) noexcept
{
    const std::uint16_t room = max_tunnelled_packet(server_family);
    return mtu < room ? mtu : room;
}

// The inner packet's header fields that an outer header keeps, read before the packet
// is replaced.
struct inner_header_fields {
    std::uint8_t family = family_ipv4;
    std::uint8_t type_of_service = 0;    // IPv4
    std::uint16_t identification = 0;    // IPv4
    bool dont_fragment = false;          // IPv4
    std::uint32_t ipv6_header_word = 0;  // IPv6: version, traffic class, flow label
    std::uint8_t hop_limit = 0;          // IPv6
};

// The fields of an IPv4 or IPv6 frame that passes the view's checks.
inner_header_fields read_inner_header_fields(const rimcap::frame_view& frame) noexcept;

// Where the tunnel's datagrams go and come from.
struct outer_route {
    ip_endpoint server;                      // destination address (of its family) and port
    std::uint16_t local_port = 0;            // UDP source port, host order
    std::uint32_t local_ipv4 = 0;            // network order, as held in memory
    std::array<std::uint8_t, 16> local_ipv6{};
    std::uint32_t ipv6_header_word = 0x60000000; // for IPv6 headers around IPv4 packets
    std::array<std::uint8_t, 6> next_hop_mac{};
};

// Writes the datagram behind the outer headers and the headers in front of it, sets the
// frame length and the checksums. `identification` is the tunnel's counter of IPv4
// headers around IPv6 packets. False (the frame is then unusable) when the datagram
// does not fit the frame area.
bool build_outer_datagram(rimcap::frame_view& frame, const inner_header_fields& inner,
                          std::span<const std::uint8_t> datagram, const outer_route& route,
                          std::uint16_t& identification) noexcept;

// The fresh form, with the identification of an IPv4 header (the caller's counter,
// already incremented) and the Ethernet source. False as above.
bool build_fresh_outer_datagram(rimcap::frame_view& frame, std::span<const std::uint8_t> datagram,
                                const outer_route& route, std::uint16_t identification,
                                const std::array<std::uint8_t, 6>& source_mac) noexcept;

inline constexpr std::size_t handshake_response_size = 92;
inline constexpr std::size_t handshake_reply_size = 32;

// Turns the frame of a handshake response (a UDP header at udp_offset whose payload
// holds the response) round into the reply to its sender: the 32 reply bytes as the
// payload; Ethernet addresses, IP addresses and UDP ports swapped; UDP length 40, the
// IP length and frame length ending with it (60 bytes less for a 92-byte response);
// TTL or hop limit 128; an IPv6 header's first word := ipv6_header_word; checksums
// recomputed. False (frame unusable) when the frame is not IPv4 or IPv6 or the UDP
// header does not lie within it.
bool turn_round_handshake_response(rimcap::frame_view& frame, std::size_t udp_offset,
                                   std::span<const std::uint8_t, handshake_reply_size> reply,
                                   std::uint32_t ipv6_header_word) noexcept;
} // namespace wireguard
