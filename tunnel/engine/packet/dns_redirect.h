#pragma once
// DNS redirection on the tunnel's plain packets: a query that goes into the tunnel is
// readdressed to the configured DNS server that the slot table chooses, and the answer
// that comes out of the tunnel gets back, as its source, the destination that the
// application asked.
//
// Both work on IPv4 and IPv6 frames that pass the frame view's checks and carry a
// whole UDP header (IPv4: not a later fragment; IPv6: found by the extension-header
// walk). The address is written with replace_ipv4_address / replace_ipv6_address, so a
// first fragment's checksum follows; the caller recomputes the rest of the checksums
// afterwards as for any rewritten packet.
#include <optional>

#include "config/ip_types.h"
#include "dns_slot_table.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
inline constexpr std::uint16_t dns_port = 53;

// A DNS query or its answer as the tunnel's query tables hold it: the client's UDP port
// (a query's source port, an answer's destination port) in the high half, the DNS id
// (the first two payload bytes; 0 when the datagram is shorter) in the low half. The
// frame carries a whole UDP header at `udp`; a first fragment carries the id too.
inline std::uint32_t dns_query_key(const rimcap::frame_view& frame, const rimcap::transport_header& udp,
                                   bool answer) noexcept
{
    const std::uint16_t port = frame.u16(udp.offset + (answer ? 2u : 0u));
    const bool has_id = udp.length >= 10 && frame.u16(udp.offset + 4u) >= 10;
    const std::uint16_t id = has_id ? frame.u16(udp.offset + 8u) : 0;
    return std::uint32_t{port} << 16 | id;
}

// The address that a DNS rewrite replaced and the one it wrote (for the log line).
struct dns_rewrite {
    ip_address before;
    ip_address after;
};

// A UDP datagram to port 53: records the query under its source port and requested
// destination (acquire_port_slot) and, when the table names a server, makes it the
// destination. Nothing (frame unchanged) for other frames, and when the family has no
// server.
std::optional<dns_rewrite> redirect_dns_query(rimcap::frame_view& frame, dns_slot_table& table);

// A UDP datagram from port 53: takes back the destination recorded for its destination
// port (release_port_slot) and makes it the source. Nothing (frame unchanged) for
// other frames, and when no query was recorded for the port.
std::optional<dns_rewrite> translate_dns_answer(rimcap::frame_view& frame, dns_slot_table& table);
} // namespace wireguard
