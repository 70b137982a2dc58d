// ICMP fragmentation-needed and ICMPv6 packet-too-big replies to oversize packets.
#include "oversize_reply.h"

#include <algorithm>
#include <string>

#include "ipv6_walk.h"
#include "netaccess/checksum.h"

namespace wireguard
{
namespace
{
constexpr std::int32_t packet_line_importance = 2; // per-packet lines: level 3 or more

// IPv4 reply.
constexpr std::size_t icmp_offset = rimcap::ip_header_offset + rimcap::min_ipv4_header_size; // 34
constexpr std::size_t ipv4_quote_offset = icmp_offset + rimcap::icmp_header_size;            // 42
constexpr std::size_t ipv4_quoted_transport_bytes = 8;
constexpr std::uint8_t icmp_destination_unreachable = 3;
constexpr std::uint8_t icmp_fragmentation_needed = 4;
constexpr std::uint8_t reply_ttl = 30;

// IPv6 reply.
constexpr std::size_t icmpv6_offset = rimcap::ip_header_offset + rimcap::ipv6_header_size; // 54
constexpr std::size_t ipv6_quote_offset = icmpv6_offset + rimcap::icmp_header_size;        // 62
constexpr std::size_t ipv6_reply_headers = rimcap::ipv6_header_size + rimcap::icmp_header_size; // 48
constexpr std::size_t max_ipv6_reply = 1500;
constexpr std::size_t fallback_ipv6_reply = 1280; // the IPv6 minimum link MTU
constexpr std::uint8_t icmpv6_packet_too_big = 2;

bool logs_packets(const oversize_reply_inputs& in) noexcept
{
    return in.logger && *in.logger && packet_line_importance < in.log_level;
}

void log_line(const oversize_reply_inputs& in, const std::string& text)
{
    (*in.logger)(text.c_str());
}

void capture(const oversize_reply_inputs& in, const rimcap::frame_view& frame)
{
    if (in.capture_lcl)
        rimcap::write_capture_record(*in.capture_lcl, frame.record());
}
} // namespace

std::optional<oversize_action> inject_icmp_frag_needed(rimcap::frame_view& frame, const oversize_reply_inputs& in)
{
    if (!frame.is_ipv4())
        return std::nullopt;
    const std::size_t ip_length = frame.ip_length();
    if (ip_length <= in.tested_mtu)
        return std::nullopt;
    if (!frame.dont_fragment()) {
        if (logs_packets(in))
            log_line(in, "[TUN]: Packet size is above MTU: Dropping \n");
        return oversize_action::drop;
    }
    if (logs_packets(in))
        log_line(in, "[TUN]: Packet size is above MTU: ip_len = " + std::to_string(ip_length) +
                         " MTU = " + std::to_string(in.tested_mtu) + " => Injecting ICMP unreachable");

    // The sender's header and the first 8 bytes behind it, as far as the packet goes.
    const std::size_t quoted = std::min(frame.ip_header_length() + ipv4_quoted_transport_bytes, ip_length);
    frame.move(ipv4_quote_offset, rimcap::ip_header_offset, quoted);

    // Bytes 14-41 still hold the sender's header: addresses and identification stay
    // where they are and are swapped in place.
    frame.swap(0, 6, 6);
    frame.swap(rimcap::ip_header_offset + 12, rimcap::ip_header_offset + 16, 4);
    frame.set_u8(rimcap::ip_header_offset, 0x45);
    frame.set_u8(rimcap::ip_header_offset + 1, 0);
    frame.set_u16(rimcap::ip_header_offset + 2,
                  static_cast<std::uint16_t>(rimcap::min_ipv4_header_size + rimcap::icmp_header_size + quoted));
    frame.set_u16(rimcap::ip_header_offset + 6, 0x4000);
    frame.set_u8(rimcap::ip_header_offset + 8, reply_ttl);
    frame.set_u8(rimcap::ip_header_offset + 9, rimcap::ip_protocol_icmp);
    frame.set_u16(rimcap::ip_header_offset + 10, 0);
    frame.set_u8(icmp_offset, icmp_destination_unreachable);
    frame.set_u8(icmp_offset + 1, icmp_fragmentation_needed);
    frame.set_u16(icmp_offset + 2, 0);
    frame.set_u16(icmp_offset + 4, 0);
    frame.set_u16(icmp_offset + 6, in.reported_mtu);
    frame.set_length(ipv4_quote_offset + quoted);

    rimcap::recalculate_icmp_checksum(frame);
    rimcap::recalculate_ip_checksum(frame);
    capture(in, frame);
    return oversize_action::revert;
}

std::optional<oversize_action> inject_icmp_frag_needed(_INTERMEDIATE_BUFFER& record, const oversize_reply_inputs& in)
{
    rimcap::frame_view frame(record);
    return inject_icmp_frag_needed(frame, in);
}

std::optional<oversize_action> inject_icmpv6_packet_too_big(rimcap::frame_view& frame,
                                                            const oversize_reply_inputs& in)
{
    if (!frame.is_ipv6())
        return std::nullopt;
    const std::size_t ip_length = frame.ip_length(); // payload length + 40
    if (ip_length <= in.tested_mtu)
        return std::nullopt;
    if (logs_packets(in))
        log_line(in, "[TUN]: Packet size is above MTU: ip_len = " + std::to_string(ip_length) +
                         " MTU = " + std::to_string(in.tested_mtu) + " => Injecting ICMP Packet Too Big");

    // The reply's size: bounded by the physical adapter's MTU and by 1500; a bound
    // that leaves no room for the headers counts as the IPv6 minimum MTU. The quote
    // never reaches past the sender's packet.
    const std::size_t bound = in.reply_bound < ipv6_reply_headers ? fallback_ipv6_reply : in.reply_bound;
    const std::size_t reply = std::min(bound, max_ipv6_reply);
    const std::size_t quoted = std::min(reply - ipv6_reply_headers, ip_length);
    frame.move(ipv6_quote_offset, rimcap::ip_header_offset, quoted);

    // Bytes 14-61 still hold the sender's header: the addresses are swapped in place.
    frame.swap(0, 6, 6);
    frame.swap(rimcap::ip_header_offset + 8, rimcap::ip_header_offset + 24, 16);
    frame.set_u16(rimcap::ip_header_offset + 4, static_cast<std::uint16_t>(rimcap::icmp_header_size + quoted));
    frame.set_u8(rimcap::ip_header_offset + 6, rimcap::ip_protocol_icmpv6);
    frame.set_u8(icmpv6_offset, icmpv6_packet_too_big);
    frame.set_u8(icmpv6_offset + 1, 0);
    frame.set_u16(icmpv6_offset + 2, 0);
    frame.set_u32(icmpv6_offset + 4, in.reported_mtu);
    frame.set_length(ipv6_quote_offset + quoted);

    recalculate_ipv6_checksum(frame);
    capture(in, frame);
    return oversize_action::revert;
}

std::optional<oversize_action> inject_icmpv6_packet_too_big(_INTERMEDIATE_BUFFER& record,
                                                            const oversize_reply_inputs& in)
{
    rimcap::frame_view frame(record);
    return inject_icmpv6_packet_too_big(frame, in);
}
} // namespace wireguard
