#pragma once
// The routes that send the tunnelled traffic into the Lorrivan virtual adapter: one
// route per AllowedIPs prefix (metric 0) and, unless AllowedIPs already holds the
// family's whole address space, a default route of the lowest preference
// (metric 0x7FFFFFFF). Rows are MIB_IPFORWARD_ROW2 records prepared by
// InitializeIpForwardEntry: on the adapter's interface (LUID, and the family's interface
// index), the prefix's address as stored (host bits kept) with the prefix length of its
// mask, an unspecified next hop of the family, site prefix length 0, protocol 10006
// (static), origin 0 (manual); everything else as initialised. The adapter object keeps
// every row it holds and deletes their entries when its routes are removed.
#include <cstdint>
#include <vector>

#include "config/ip_types.h"
#include "netaccess/virtnet_adapter.h"
#include "win32.h"

namespace wireguard
{
inline constexpr ULONG prefix_route_metric = 0;
inline constexpr ULONG default_route_metric = 0x7FFFFFFF;
inline constexpr int static_route_protocol = 10006; // MIB_IPPROTO_NT_STATIC

// The number of set bits of the prefix's mask (4 bytes for IPv4, 16 for IPv6).
std::uint8_t prefix_length_from_mask(const ip_subnet& prefix) noexcept;

// The row of a route into the adapter's interface: to the prefix (address as stored,
// that length) of the family (family_ipv4 or family_ipv6) with that metric.
route_row make_route_row(const iphelper::adapter_info& adapter, std::uint8_t family, const std::uint8_t* address,
                         std::uint8_t prefix_length, ULONG metric);

// One route per AllowedIPs prefix of the family, in list order; the rows whose entries
// were created (or existed: 5010) are returned, the others dropped (for IPv4 with the
// error in the thread's last error). Nothing is logged.
std::vector<route_row> add_prefix_routes(const iphelper::adapter_info& adapter, const std::vector<ip_subnet>& allowed_ips,
                                         std::uint8_t family);

// Under the adapter's route lock, for each family whose interface address the adapter
// holds and which has no prefix routes yet: the default route (when default_route is
// set and AllowedIPs has no prefix of length 0 with an all-zero address of the
// family), then the prefix routes. True when the adapter holds a prefix route of
// either family afterwards.
bool enable_default_gateway(wg_virtnet_adapter& adapter, const std::vector<ip_subnet>& allowed_ips,
                            bool default_route);
} // namespace wireguard
