#pragma once
// Cryptokey routing of the packets that come out of the tunnel: the server may send
// only packets whose source lies in the peer's AllowedIPs. The one exception is the
// answer of a configured DNS server to a query that the tunnel sent to it and whose
// answer it still awaits (the DNS rule sends queries into the tunnel whatever
// AllowedIPs says, so the server need not lie in it): UDP from port 53 of that server
// to the query's port, and DNS id where the tunnel keeps it. The later fragments of a
// split answer carry no UDP header: they follow the decision made for their first
// fragment.
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "config/ip_types.h"
#include "fragment_decisions.h"
#include "ipv6_walk.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
class inner_source_check
{
public:
    // True when the tunnel awaits the answer of the configured DNS server `server` to
    // the query under `query` (dns_query_key: the client's port in the high half, the
    // DNS id in the low half).
    using awaited_answer = std::function<bool(const ip_address& server, std::uint32_t query)>;

    explicit inner_source_check(awaited_answer awaited) : awaited_(std::move(awaited)) {}

    // The source of a decrypted packet (a frame that passed the view's checks as IPv4
    // or IPv6) that the tunnel must not deliver; none when it may. `walk` is the
    // frame's IPv6 extension-header walk (not read for IPv4) and `place` its place in
    // its datagram (fragment_place_of), both as the tunnel's path took them. Called by
    // one thread at a time (the one that decrypts).
    std::optional<ip_address> refused_source(const rimcap::frame_view& frame, const ipv6_upper_layer_info& walk,
                                             const fragment_place& place, const std::vector<ip_subnet>& allowed_ips);

private:
    awaited_answer awaited_;
    fragment_decisions answer_fragments_; // the first fragments of awaited answers
};
} // namespace wireguard
