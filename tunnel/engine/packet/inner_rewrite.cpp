// Address rewrites of the tunnel's plain packets.
#include "inner_rewrite.h"

#include <cstring>
#include <optional>
#include <span>

#include "ipv6_walk.h"
#include "netaccess/checksum.h"

namespace wireguard
{
namespace
{
using rimcap::frame_view;

// Position of the checksum field in a transport header, or none for a protocol whose
// checksum does not cover the IP addresses.
std::optional<std::size_t> pseudo_header_checksum_field(std::uint8_t protocol, bool ipv6) noexcept
{
    switch (protocol) {
    case rimcap::ip_protocol_tcp:
        return 16;
    case rimcap::ip_protocol_udp:
        return 6;
    case rimcap::ip_protocol_icmpv6:
        if (ipv6)
            return 2;
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

// Updates the transport checksum of a first fragment for an address change.
void adjust_first_fragment(frame_view& frame, const rimcap::transport_header& t, bool ipv6,
                           std::span<const std::uint8_t> old_bytes, std::span<const std::uint8_t> new_bytes) noexcept
{
    const auto field = pseudo_header_checksum_field(t.protocol, ipv6);
    if (!field || t.length < *field + 2)
        return; // the checksum field is not in this fragment
    const std::size_t at = t.offset + *field;
    const std::uint16_t stored = frame.u16(at);
    const bool udp = t.protocol == rimcap::ip_protocol_udp;
    if (udp && !ipv6 && stored == 0)
        return; // no checksum
    std::uint16_t updated = rimcap::checksum_adjust(stored, old_bytes, new_bytes);
    if (udp && updated == 0)
        updated = 0xFFFF;
    frame.set_u16(at, updated);
}
} // namespace

ip_address read_inner_address(const frame_view& frame, std::size_t field, std::uint8_t family) noexcept
{
    ip_address a;
    a.family = family;
    frame.read(field, a.address.data(), family == family_ipv4 ? 4 : 16);
    return a;
}

void replace_ipv4_address(frame_view& frame, std::size_t field, std::uint32_t address) noexcept
{
    if (!frame.is_ipv4())
        return;
    std::array<std::uint8_t, 4> old_bytes{};
    std::array<std::uint8_t, 4> new_bytes{};
    std::memcpy(new_bytes.data(), &address, 4);
    if (!frame.read(field, old_bytes.data(), 4) || old_bytes == new_bytes)
        return;
    frame.write(field, new_bytes.data(), 4);
    if (!frame.is_fragment())
        return; // recomputed in full by finish_inner_ipv4
    if (const auto t = frame.ipv4_transport()) // the first fragment only
        adjust_first_fragment(frame, *t, false, old_bytes, new_bytes);
}

void replace_ipv6_address(frame_view& frame, std::size_t field, const ipv6_bytes& address) noexcept
{
    if (!frame.is_ipv6())
        return;
    ipv6_bytes old_bytes{};
    if (!frame.read(field, old_bytes.data(), 16) || old_bytes == address)
        return;
    frame.write(field, address.data(), 16);
    const ipv6_upper_layer_info walk = ipv6_upper_layer(frame);
    if (walk.first_fragment && walk.header)
        adjust_first_fragment(frame, *walk.header, true, old_bytes, address);
}

void finish_inner_ipv4(frame_view& frame) noexcept
{
    if (!frame.is_ipv4())
        return;
    // The recalculations refuse fragments themselves.
    switch (frame.ip_protocol()) {
    case rimcap::ip_protocol_icmp:
        rimcap::recalculate_icmp_checksum(frame);
        break;
    case rimcap::ip_protocol_tcp:
        rimcap::recalculate_tcp_checksum(frame);
        break;
    case rimcap::ip_protocol_udp:
        rimcap::recalculate_udp_checksum(frame);
        break;
    default:
        break;
    }
    rimcap::recalculate_ip_checksum(frame);
}

void finish_inner_ipv6(frame_view& frame) noexcept
{
    // Refuses first fragments, and packets without a TCP, UDP or ICMPv6 header.
    recalculate_ipv6_checksum(frame);
}
} // namespace wireguard
