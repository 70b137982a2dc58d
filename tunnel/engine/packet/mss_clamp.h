#pragma once
// TCP MSS clamping: the Maximum Segment Size option of connection-opening segments is
// lowered (or inserted) in place, so that segments through the tunnel still fit once
// the outer IP, UDP and WireGuard headers are added.
//
// Four forms: IPv4 and IPv6, each with the single-adapter tunnel's rule (the tunnel's
// MTU and whether the configuration set it) and the dual tunnel's rule (an MTU that
// the calling path passes):
//
//   form                      inserted option   rewrite of an existing option
//   IPv4, tunnel_mtu {m, c}   m - 40            c: old + (m - 1500), else old - 80
//   IPv6, tunnel_mtu {m, c}   m - 60            the same
//   IPv4, MTU m               m - 40            the smaller of m - 40 and old - 80
//   IPv6, MTU m               m - 60            the smaller of m - 60 and old - 80
//
// The caller decides which segments are clamped (by the TCP flags); these functions
// find the TCP header themselves and leave every other frame alone: a frame that fails
// the frame view's checks, another EtherType than the form's, a protocol other than
// TCP, a TCP header that is not there in full (data offset below 5 or past the
// packet), a later IPv4 or IPv6 fragment (it holds no TCP header), and an IPv6 packet
// whose extension-header walk does not end at TCP.
//
// The values are computed without wrap-around and never raise the segment size:
// - a rewritten MSS is never larger than the old one; a rule whose value would be 0 or
//   less (an old MSS below 80, an MTU below 40 or 60) does not take part (the dual
//   rule then uses its other value; when none is left the option stays as it was);
// - no option is inserted when the inserted value would be 0 or less.
//
// The option walk: kind 0 ends the options, kind 1 is one byte, every other kind
// carries its length. The walk ends on every input. A malformed list (a length below
// 2, an option that runs past the TCP header, or an MSS option whose length is not 4)
// leaves the segment unchanged, unless an MSS option came before the fault: that one is
// rewritten. When the options hold no MSS option, the option (kind 2, length 4) is
// inserted in front of them: the options and any payload (TCP Fast Open) move 4 bytes
// on, the data offset grows by one word, the IPv4 total length or IPv6 payload length
// by 4, and the frame ends 4 bytes after the old IP packet (Ethernet padding behind the
// packet is dropped). No option is inserted when the options already fill 40 bytes
// (data offset 15), when the frame would grow past the 1514-byte frame area, or into a
// first fragment (the bytes behind the option belong to a datagram whose later
// fragments keep their offsets; there only an existing option is rewritten).
//
// Checksums are updated incrementally (RFC 1624): the TCP checksum for every change,
// and the IPv4 header checksum for the grown total length. A segment whose checksums
// were right stays right, which matters for a first fragment: its TCP checksum covers
// the whole datagram and cannot be recomputed from the fragment. Callers that rewrite
// other fields afterwards recompute the checksums as before.
#include <cstdint>

#include "netaccess/driver_records.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
// The IP version that a form of clamp_tcp_mss handles.
enum class clamp_family : std::uint8_t {
    ipv4,
    ipv6,
};

// The single-adapter tunnel's MTU fields: its MTU and whether the configuration set it.
struct tunnel_mtu {
    std::uint16_t mtu = 1420;
    bool configured = false;
};

// What a clamp did to the frame.
enum class mss_change : std::uint8_t {
    none,      // left unchanged
    rewritten, // an existing MSS option got a smaller value
    inserted,  // an MSS option was inserted; the segment, packet and frame grew by 4
};

// The single-adapter rule.
mss_change clamp_tcp_mss(clamp_family family, rimcap::frame_view& frame, tunnel_mtu mtu) noexcept;
mss_change clamp_tcp_mss(clamp_family family, _INTERMEDIATE_BUFFER& record, tunnel_mtu mtu) noexcept;

// The dual rule, with the MTU of the path that the segment takes.
mss_change clamp_tcp_mss(clamp_family family, rimcap::frame_view& frame, std::uint16_t mtu) noexcept;
mss_change clamp_tcp_mss(clamp_family family, _INTERMEDIATE_BUFFER& record, std::uint16_t mtu) noexcept;
} // namespace wireguard
