#pragma once
// Address rewrites of the plain packets that enter and leave the tunnel, with their
// checksums kept right.
//
// How a packet's transport checksum follows a rewrite depends on what the frame holds:
// - an unfragmented packet: finish_inner_ipv4 / finish_inner_ipv6 recompute the
//   transport checksum in full (the stack may hand over segments whose checksum it
//   left to the adapter) and the IPv4 header checksum;
// - the first fragment of a split datagram: its transport checksum covers bytes that
//   other fragments carry, so every address change updates it incrementally
//   (RFC 1624) when the address is written; the finish step then leaves it alone;
// - a later fragment: it holds no transport header, its payload is never touched; only
//   the IPv4 header checksum is recomputed.
// A UDP checksum of 0 over IPv4 means "none" and stays 0; an updated UDP checksum that
// comes out as 0 is written as 0xFFFF.
//
// Every function works through the frame view and does nothing to a frame that fails
// the view's checks or is of the other family.
#include <array>
#include <cstddef>
#include <cstdint>

#include "config/ip_types.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
// Frame offsets of the address fields.
namespace inner_field
{
inline constexpr std::size_t ipv4_source = rimcap::ip_header_offset + 12;
inline constexpr std::size_t ipv4_destination = rimcap::ip_header_offset + 16;
inline constexpr std::size_t ipv6_source = rimcap::ip_header_offset + 8;
inline constexpr std::size_t ipv6_destination = rimcap::ip_header_offset + 24;
} // namespace inner_field

using ipv6_bytes = std::array<std::uint8_t, 16>;

// The address in a source or destination field, as an address of the given family
// (all zero when the field is not within the frame).
ip_address read_inner_address(const rimcap::frame_view& frame, std::size_t field, std::uint8_t family) noexcept;

// Writes an IPv4 address (4 bytes, network order as held in memory) into the source or
// destination field; a first fragment's TCP or UDP checksum follows the change.
void replace_ipv4_address(rimcap::frame_view& frame, std::size_t field, std::uint32_t address) noexcept;

// The same for IPv6 (TCP, UDP and ICMPv6 of a first fragment follow the change).
void replace_ipv6_address(rimcap::frame_view& frame, std::size_t field, const ipv6_bytes& address) noexcept;

// After the rewrites of an IPv4 packet: the ICMP, TCP or UDP checksum of an
// unfragmented packet, then the IPv4 header checksum.
void finish_inner_ipv4(rimcap::frame_view& frame) noexcept;

// After the rewrites of an IPv6 packet: the TCP, UDP or ICMPv6 checksum of an
// unfragmented packet.
void finish_inner_ipv6(rimcap::frame_view& frame) noexcept;
} // namespace wireguard
