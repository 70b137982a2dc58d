#pragma once
// Keys of the tunnel's address tables: an IPv4 address as a u32 that holds the four
// bytes in network order (as read from the packet), an IPv6 address as its 16 bytes.
#include <array>
#include <cstdint>

namespace wireguard
{
using ipv4_key = std::uint32_t;
using ipv6_key = std::array<std::uint8_t, 16>;
} // namespace wireguard
