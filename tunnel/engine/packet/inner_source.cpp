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
// A whole UDP header from port 53 to a port from which `dns` recorded a query to the
// packet's source.
bool awaited_dns_answer(const rimcap::frame_view& frame, const ip_address& source, const dns_slot_table& dns)
{
    const std::optional<rimcap::transport_header> t =
        frame.is_ipv4() ? frame.ipv4_transport() : ipv6_upper_layer(frame).header;
    if (!t || t->protocol != rimcap::ip_protocol_udp || !frame.header_complete(*t) ||
        frame.u16(t->offset) != dns_port)
        return false;
    const std::uint16_t port = frame.u16(t->offset + 2u);
    if (source.family == family_ipv6)
        return dns.awaits_answer(source.address, port);
    ipv4_key server;
    std::memcpy(&server, source.address.data(), sizeof server);
    return dns.awaits_answer(server, port);
}

bool in_allowed_ips(const std::vector<ip_subnet>& allowed_ips, const ip_address& source)
{
    if (source.family == family_ipv6)
        return any_subnet_holds(allowed_ips, source.address);
    std::array<std::uint8_t, 4> a;
    std::memcpy(a.data(), source.address.data(), a.size());
    return any_subnet_holds(allowed_ips, a);
}
} // namespace

std::optional<ip_address> refused_inner_source(const rimcap::frame_view& frame,
                                               const std::vector<ip_subnet>& allowed_ips,
                                               const std::optional<dns_slot_table>& dns)
{
    const ip_address source = frame.is_ipv4() ? read_inner_address(frame, inner_field::ipv4_source, family_ipv4)
                                              : read_inner_address(frame, inner_field::ipv6_source, family_ipv6);
    if (in_allowed_ips(allowed_ips, source) || (dns && awaited_dns_answer(frame, source, *dns)))
        return std::nullopt;
    return source;
}
} // namespace wireguard
