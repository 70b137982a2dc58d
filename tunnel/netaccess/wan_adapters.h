#pragma once
// The Windows WAN (dial-up) adapters among the packet filter driver's adapters: their
// kinds and their fixed connection names.
#include <cstdint>

namespace rimcap
{
inline constexpr std::uint32_t wan_kind_none = 0;
inline constexpr std::uint32_t wan_kind_ip = 1;      // IPv4 WAN adapter
inline constexpr std::uint32_t wan_kind_ipv6 = 2;    // IPv6 WAN adapter
inline constexpr std::uint32_t wan_kind_monitor = 3; // WAN network-monitor adapter

// Which WAN adapter an internal name denotes. Before Windows 10 the fixed device names
// count; on every version a network adapter class entry with the WAN component id
// that exports the name counts.
std::uint32_t wan_kind_of(const char* internal_name);

// The fixed connection name of a WAN adapter, or null for any other adapter.
const char* wan_connection_name(const char* internal_name);
} // namespace rimcap
