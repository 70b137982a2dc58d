#pragma once
// Questions that the packet paths of both tunnels ask about a frame before they rewrite
// it: connection-opening TCP segments (for MSS clamping), IPv6 neighbour discovery
// (which never enters a tunnel), the unspecified IPv6 address (no address set) and the
// addresses that a host never sends from.
#include <array>
#include <cstdint>

#include "ipv6_walk.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
inline constexpr std::uint8_t tcp_flag_syn = 0x02;
inline constexpr std::uint8_t tcp_flag_ack = 0x10;
inline constexpr std::uint8_t icmpv6_neighbour_solicitation = 135;
inline constexpr std::uint8_t icmpv6_neighbour_advertisement = 136;

// The TCP flags of a whole TCP header, masked to SYN and ACK; 0 for anything else.
inline std::uint8_t tcp_syn_ack_flags(const rimcap::frame_view& frame, const rimcap::transport_header& t) noexcept
{
    if (t.protocol != rimcap::ip_protocol_tcp || !frame.header_complete(t))
        return 0;
    return static_cast<std::uint8_t>(frame.u8(t.offset + 13u) & (tcp_flag_syn | tcp_flag_ack));
}

// A segment that opens a connection: SYN set, ACK clear.
inline bool is_tcp_syn(const rimcap::frame_view& frame, const rimcap::transport_header& t) noexcept
{
    return tcp_syn_ack_flags(frame, t) == tcp_flag_syn;
}

// The answer to it: SYN and ACK set.
inline bool is_tcp_syn_ack(const rimcap::frame_view& frame, const rimcap::transport_header& t) noexcept
{
    return tcp_syn_ack_flags(frame, t) == (tcp_flag_syn | tcp_flag_ack);
}

// An IPv6 neighbour solicitation or advertisement (ICMPv6 type 135 or 136).
inline bool is_neighbour_discovery(const rimcap::frame_view& frame, const ipv6_upper_layer_info& walk) noexcept
{
    if (!walk.header || walk.header->protocol != rimcap::ip_protocol_icmpv6)
        return false;
    const std::uint8_t type = frame.u8(walk.header->offset);
    return type == icmpv6_neighbour_solicitation || type == icmpv6_neighbour_advertisement;
}

// All sixteen bytes zero: no address.
inline bool is_unspecified(const std::array<std::uint8_t, 16>& address) noexcept
{
    for (const auto b : address)
        if (b != 0)
            return false;
    return true;
}

// An address that a host may send from and be answered at: not unspecified, not the
// IPv4 broadcast, not multicast (IPv4 224/4, IPv6 ff00::/8). The IPv4 address holds its
// bytes in network order, as read from a packet.
inline bool is_unicast_source(std::uint32_t ipv4) noexcept
{
    const auto* b = reinterpret_cast<const std::uint8_t*>(&ipv4);
    return ipv4 != 0 && ipv4 != 0xFFFFFFFFu && (b[0] & 0xF0) != 0xE0;
}

// IPv6 sources whose first byte is below this are global unicast and the like: the
// addresses that reach beyond the link (link-local ones do not).
inline constexpr std::uint8_t first_global_ipv6_byte = 0x40;

inline bool is_unicast_source(const std::array<std::uint8_t, 16>& ipv6) noexcept
{
    return !is_unspecified(ipv6) && ipv6[0] != 0xFF;
}
} // namespace wireguard
