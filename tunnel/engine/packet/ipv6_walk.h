#pragma once
// The walk over IPv6 extension headers to the upper-layer header, and the upper-layer
// checksum of IPv6 packets (TCP, UDP, ICMPv6) with the IPv6 pseudo-header.
#include <cstdint>
#include <optional>

#include "netaccess/driver_records.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
struct ipv6_upper_layer_info {
    // The upper-layer protocol; when no upper-layer header was found, the
    // next-header value that the walk last held (0 for a frame that is not IPv6).
    std::uint8_t protocol = 0;
    // Where the upper-layer header starts, with the bytes up to the end of the packet;
    // none when the chain is truncated or malformed or the packet is a later fragment.
    std::optional<rimcap::transport_header> header;
    // The walk passed a fragment header of the first fragment of a datagram that has
    // more fragments: the upper-layer data goes on in other packets.
    bool first_fragment = false;
    // The fragment header that the walk reached, when all 8 of its bytes lie within
    // the packet.
    struct fragment_header {
        std::uint32_t identification = 0;
        std::uint16_t offset = 0; // in 8-byte units
        bool more = false;
    };
    std::optional<fragment_header> fragment;
};

// Walks from the fixed header's next header over hop-by-hop options (0), routing (43)
// and destination options (60) headers. A fragment header (44) ends the walk: at a
// first fragment its next header is the upper layer, behind it; a later fragment has
// none. Every header must lie within the IP packet: an extension header is examined
// only when at least 4 of its bytes lie before the end of the packet, a fragment header
// only when all 8 do, and an upper-layer header is taken only when at least 4 bytes of
// it do. Callers that need the frame to be IPv6 with a version of 6 test
// view.is_ipv6(); the walk finds nothing in any other frame.
ipv6_upper_layer_info ipv6_upper_layer(const rimcap::frame_view& frame) noexcept;
ipv6_upper_layer_info ipv6_upper_layer(_INTERMEDIATE_BUFFER& record) noexcept;

// Recomputes the TCP, UDP or ICMPv6 checksum of an IPv6 packet in place over the
// upper-layer bytes up to the end of the IP packet, with the pseudo-header of RFC 8200
// section 8.1. A UDP result of 0 is stored as 0xFFFF. Returns false and leaves the
// frame untouched when it is not IPv6, the walk finds no upper layer, the protocol is
// another, the upper-layer header is not there in full, or the packet is a first
// fragment (its checksum covers data that other fragments carry).
bool recalculate_ipv6_checksum(rimcap::frame_view& frame) noexcept;
bool recalculate_ipv6_checksum(_INTERMEDIATE_BUFFER& record) noexcept;
} // namespace wireguard
