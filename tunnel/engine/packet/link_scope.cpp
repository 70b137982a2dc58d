// Link-scope traffic.
#include "link_scope.h"

#include <array>

#include "inner_rewrite.h"

namespace wireguard
{
namespace
{
bool is_port_pair(std::uint16_t port, std::uint16_t low) noexcept
{
    return port == low || port == low + 1;
}

// A UDP header in full whose two ports are low or low + 1.
bool is_udp_between(const rimcap::frame_view& frame, const rimcap::transport_header& t, std::uint16_t low) noexcept
{
    return t.protocol == rimcap::ip_protocol_udp && frame.header_complete(t) &&
           is_port_pair(frame.u16(t.offset), low) && is_port_pair(frame.u16(t.offset + 2u), low);
}

bool is_link_icmpv6(std::uint8_t type) noexcept
{
    return (type >= 130 && type <= 137) || type == 143;
}

bool ipv4_link_scope(const rimcap::frame_view& frame, const std::optional<rimcap::transport_header>& upper) noexcept
{
    if (upper && is_udp_between(frame, *upper, 67))
        return true;
    std::array<std::uint8_t, 4> d{};
    if (!frame.read(inner_field::ipv4_destination, d.data(), d.size()))
        return false;
    const bool broadcast = d[0] == 255 && d[1] == 255 && d[2] == 255 && d[3] == 255;
    const bool control_block = d[0] == 224 && d[1] == 0 && d[2] == 0;
    return broadcast || control_block;
}

bool ipv6_link_scope(const rimcap::frame_view& frame, const std::optional<rimcap::transport_header>& upper) noexcept
{
    if (upper && is_udp_between(frame, *upper, 546))
        return true;
    if (upper && upper->protocol == rimcap::ip_protocol_icmpv6 && frame.has(upper->offset, 1) &&
        is_link_icmpv6(frame.u8(upper->offset)))
        return true;
    std::array<std::uint8_t, 16> d{};
    if (!frame.read(inner_field::ipv6_destination, d.data(), d.size()))
        return false;
    const bool link_local = d[0] == 0xFE && (d[1] & 0xC0) == 0x80;
    const bool link_multicast = d[0] == 0xFF && (d[1] & 0x0F) <= 2;
    return link_local || link_multicast;
}
} // namespace

bool is_link_scope(const rimcap::frame_view& frame, const std::optional<rimcap::transport_header>& upper) noexcept
{
    if (frame.is_ipv4())
        return ipv4_link_scope(frame, upper);
    if (frame.is_ipv6())
        return ipv6_link_scope(frame, upper);
    return false;
}
} // namespace wireguard
