// DNS redirection of queries into the tunnel and translation of their answers.
#include "dns_redirect.h"

#include <cstring>

#include "inner_rewrite.h"
#include "ipv6_walk.h"

namespace wireguard
{
namespace
{
using rimcap::frame_view;

// The frame's whole UDP header, or none.
std::optional<rimcap::transport_header> udp_header(const frame_view& frame)
{
    std::optional<rimcap::transport_header> t;
    if (frame.is_ipv4())
        t = frame.ipv4_transport();
    else if (frame.is_ipv6())
        t = ipv6_upper_layer(frame).header;
    if (!t || t->protocol != rimcap::ip_protocol_udp || !frame.header_complete(*t))
        return std::nullopt;
    return t;
}

ip_address ipv4_address(ipv4_key key)
{
    ip_address a;
    std::memcpy(a.address.data(), &key, 4);
    return a;
}

ip_address ipv6_address(const ipv6_key& key)
{
    ip_address a;
    a.family = family_ipv6;
    std::memcpy(a.address.data(), key.data(), 16);
    return a;
}
} // namespace

std::optional<dns_rewrite> redirect_dns_query(frame_view& frame, dns_slot_table& table)
{
    const auto udp = udp_header(frame);
    if (!udp || frame.u16(udp->offset + 2) != dns_port)
        return std::nullopt;
    const std::uint16_t source_port = frame.u16(udp->offset);
    if (frame.is_ipv4()) {
        const ip_address before = read_inner_address(frame, inner_field::ipv4_destination, family_ipv4);
        ipv4_key requested;
        std::memcpy(&requested, before.address.data(), 4);
        const auto server = table.acquire_port_slot(source_port, requested);
        if (!server)
            return std::nullopt;
        replace_ipv4_address(frame, inner_field::ipv4_destination, *server);
        return dns_rewrite{before, ipv4_address(*server)};
    }
    const ip_address before = read_inner_address(frame, inner_field::ipv6_destination, family_ipv6);
    ipv6_key requested;
    std::memcpy(requested.data(), before.address.data(), 16);
    const auto server = table.acquire_port_slot(source_port, requested);
    if (!server)
        return std::nullopt;
    replace_ipv6_address(frame, inner_field::ipv6_destination, *server);
    return dns_rewrite{before, ipv6_address(*server)};
}

std::optional<dns_rewrite> translate_dns_answer(frame_view& frame, dns_slot_table& table)
{
    const auto udp = udp_header(frame);
    if (!udp || frame.u16(udp->offset) != dns_port)
        return std::nullopt;
    const std::uint16_t port = frame.u16(udp->offset + 2);
    if (frame.is_ipv4()) {
        const auto requested = table.release_port_slot<ipv4_key>(port);
        if (!requested)
            return std::nullopt;
        const ip_address before = read_inner_address(frame, inner_field::ipv4_source, family_ipv4);
        replace_ipv4_address(frame, inner_field::ipv4_source, *requested);
        return dns_rewrite{before, ipv4_address(*requested)};
    }
    const auto requested = table.release_port_slot<ipv6_key>(port);
    if (!requested)
        return std::nullopt;
    const ip_address before = read_inner_address(frame, inner_field::ipv6_source, family_ipv6);
    replace_ipv6_address(frame, inner_field::ipv6_source, *requested);
    return dns_rewrite{before, ipv6_address(*requested)};
}
} // namespace wireguard
