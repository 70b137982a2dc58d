#pragma once
// Traffic that belongs to the link a frame is sent on and never enters a tunnel,
// whatever AllowedIPs and the application lists say: the adapter's own stack needs it
// on that link (address leases, neighbours, routers, multicast listeners).
//
//  - IPv4: DHCP (UDP between ports 67 and 68, either way), and packets to the limited
//    broadcast 255.255.255.255 or to the local network control block 224.0.0.0/24;
//  - IPv6: DHCPv6 (UDP between ports 546 and 547), ICMPv6 multicast listener discovery
//    (130, 131, 132, 143), router and neighbour discovery and redirects (133 to 137),
//    and packets to link-local unicast (fe80::/10) or to multicast of link or smaller
//    scope (ff00::/16 to ff02::/16 with any flags).
#include <cstdint>
#include <optional>

#include "netaccess/frame_view.h"

namespace wireguard
{
// True for link-scope traffic in a frame that passed the frame view's checks. upper is
// the frame's upper-layer header (IPv4: ipv4_transport(); IPv6: the extension-header
// walk's), none when the packet carries none (a later fragment, a cut chain).
bool is_link_scope(const rimcap::frame_view& frame, const std::optional<rimcap::transport_header>& upper) noexcept;
} // namespace wireguard
