#pragma once
// Cryptokey routing of the packets that come out of the tunnel: the server may send
// only packets whose source lies in the peer's AllowedIPs. The one exception is the
// answer of a configured DNS server to a query that the tunnel redirected to it (the
// DNS rule sends queries into the tunnel whatever AllowedIPs says, so the server
// need not lie in it): UDP from port 53 of a server whose slot awaits an answer to
// the datagram's destination port.
#include <optional>
#include <vector>

#include "config/ip_types.h"
#include "dns_slot_table.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
// The source of a decrypted packet (a frame that passed the view's checks as IPv4 or
// IPv6) that the tunnel must not deliver; none when it may. `dns` is empty when no DNS
// servers are configured.
std::optional<ip_address> refused_inner_source(const rimcap::frame_view& frame,
                                               const std::vector<ip_subnet>& allowed_ips,
                                               const std::optional<dns_slot_table>& dns);
} // namespace wireguard
