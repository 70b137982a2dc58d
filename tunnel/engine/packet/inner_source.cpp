// Cryptokey routing of decrypted packets.
#include "inner_source.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "dns_redirect.h"
#include "inner_rewrite.h"
#include "ipv6_walk.h"
#include "subnet_match.h"

namespace wireguard
{
namespace
{
bool in_allowed_ips(const std::vector<ip_subnet>& allowed_ips, const ip_address& source)
{
    if (source.family == family_ipv6)
        return any_subnet_holds(allowed_ips, source.address);
    std::array<std::uint8_t, 4> a;
    std::memcpy(a.data(), source.address.data(), a.size());
    return any_subnet_holds(allowed_ips, a);
}
} // namespace

std::optional<ip_address> inner_source_check::refused_source(const rimcap::frame_view& frame,
                                                             const ipv6_upper_layer_info& walk,
                                                             const fragment_place& place,
                                                             const std::vector<ip_subnet>& allowed_ips)
{
    const ip_address source = frame.is_ipv4() ? read_inner_address(frame, inner_field::ipv4_source, family_ipv4)
                                              : read_inner_address(frame, inner_field::ipv6_source, family_ipv6);
    if (in_allowed_ips(allowed_ips, source))
        return std::nullopt;
    if (place.role == fragment_role::later)
        return answer_fragments_.find(place.key).value_or(false) ? std::nullopt : std::optional(source);

    // A whole UDP header from port 53 of an awaited server.
    const std::optional<rimcap::transport_header> t = frame.is_ipv4() ? frame.ipv4_transport() : walk.header;
    if (!t || t->protocol != rimcap::ip_protocol_udp || !frame.header_complete(*t) ||
        frame.u16(t->offset) != dns_port || !awaited_ || !awaited_(source, dns_query_key(frame, *t, true)))
        return source;
    if (place.role == fragment_role::first)
        answer_fragments_.remember(place.key, true);
    return std::nullopt;
}
} // namespace wireguard
