#pragma once
// Replies to packets above the MTU of the path they would take. The tunnel answers the
// sender's stack the way a router would: an IPv4 packet with Don't Fragment gets an
// ICMP destination-unreachable, fragmentation-needed message (RFC 792, RFC 1191), an
// IPv4 packet without it is dropped, and an IPv6 packet gets an ICMPv6 packet-too-big
// message (RFC 4443). The reply is built in place in the sender's own frame, addressed
// back to the sender, and the caller returns the revert action, so that the filter
// hands it up to the local stack as if it had come from the network.
//
// IPv4 reply (q = the quoted bytes: the sender's header and the 8 bytes behind it,
// 4 x IHL + 8, but never more than the sender's packet):
//   Ethernet addresses swapped; IPv4 header 0x45, type of service 0, total length
//   q + 28, the sender's identification, flags 0x4000 (DF), TTL 30, protocol 1,
//   addresses swapped, fresh header checksum; ICMP type 3, code 4, checksum, 16 zero
//   bits, next-hop MTU; then the q quoted bytes. Frame length q + 42.
// IPv6 reply (r = the reply's total length: the smaller of the reply bound and 1500,
//   with 1280 for a bound below 48, shortened so that the quote never reaches past
//   the sender's packet):
//   Ethernet addresses swapped; the sender's first 32 header bits and hop limit,
//   payload length r - 40, next header 58, addresses swapped; ICMPv6 type 2, code 0,
//   checksum (pseudo-header included), the MTU as 32 bits; then r - 48 bytes of the
//   sender's packet from its IPv6 header on. Frame length r + 14.
//
// Both write the finished reply to the capture of local packets when one is given, and
// write one line at log level 3 or more (importance 2, below the level) through the
// logger when one is given and not empty. Packet content never makes them throw; only
// the logger, the capture writer or the allocation of the log text can.
#include <cstdint>
#include <functional>
#include <optional>

#include "netaccess/capture_file.h"
#include "netaccess/driver_records.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
// What the caller returns for an oversize packet. The values are those of the
// packet_action of both packet filters: cast to the filter's own type.
enum class oversize_action : std::uint32_t {
    drop = 1,   // IPv4 without Don't Fragment: nothing is sent back
    revert = 2, // the frame now holds the reply to the sender
};

// What a reply needs from the tunnel that builds it.
struct oversize_reply_inputs {
    // The packet is oversize when its IP length is above this: the tunnel's MTU, or
    // the physical adapter's MTU for a packet that a dual tunnel sends outside.
    std::uint16_t tested_mtu = 0;
    // The MTU written into the message (the tunnel's MTU).
    std::uint16_t reported_mtu = 0;
    // IPv6 only: the MTU of the physical adapter (the default adapter's record),
    // which bounds the size of the reply.
    std::uint16_t reply_bound = 0;
    // The tunnel's log level and logger (empty or null: no log lines).
    std::int32_t log_level = 0;
    const std::function<void(const char*)>* logger = nullptr;
    // The tunnel's capture of local packets (null, or a writer that did not open:
    // nothing is written).
    rimcap::pcap_file_writer* capture_lcl = nullptr;
};

// IPv4: no result when the frame is not a well-formed IPv4 packet (the frame view's
// checks) or its total length is tested_mtu or less. Otherwise, Don't Fragment clear:
// logs "[TUN]: Packet size is above MTU: Dropping \n" and gives drop, leaving the
// frame as it was; set: logs "[TUN]: Packet size is above MTU: ip_len = " + total
// length + " MTU = " + tested_mtu + " => Injecting ICMP unreachable", turns the frame
// into the reply and gives revert.
std::optional<oversize_action> inject_icmp_frag_needed(rimcap::frame_view& frame,
                                                       const oversize_reply_inputs& in);
std::optional<oversize_action> inject_icmp_frag_needed(_INTERMEDIATE_BUFFER& record,
                                                       const oversize_reply_inputs& in);

// IPv6: no result when the frame is not a well-formed IPv6 packet or its payload
// length + 40 is tested_mtu or less. Otherwise logs "[TUN]: Packet size is above MTU:
// ip_len = " + (payload length + 40) + " MTU = " + tested_mtu + " => Injecting ICMP
// Packet Too Big", turns the frame into the reply and gives revert.
std::optional<oversize_action> inject_icmpv6_packet_too_big(rimcap::frame_view& frame,
                                                            const oversize_reply_inputs& in);
std::optional<oversize_action> inject_icmpv6_packet_too_big(_INTERMEDIATE_BUFFER& record,
                                                            const oversize_reply_inputs& in);
} // namespace wireguard
