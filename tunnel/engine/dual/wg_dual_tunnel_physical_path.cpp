// wireguard::wg_dual_tunnel: frames that the stack sends on the physical adapter (slot
// 1's thread).
//
// Most traffic reaches the tunnel through the virtual adapter; this path covers what
// the stack still sends on the physical adapter. The tunnel socket's own datagrams to
// the server teach the physical adapter's local address and the two MAC addresses that
// every frame the tunnel builds for this adapter carries, and a handshake initiation
// goes to the SOCKS5 relay when a proxy is in use. While AllowedIPs holds the default
// route of a family, a packet of that family that the classification puts into the
// tunnel is taken in here: its source becomes the tunnel address, DNS queries go to the
// configured servers, SYN segments get their MSS clamped, and it leaves encrypted as a
// datagram to the server on this adapter (0). Everything else passes unchanged (0).
//
// The learned values are written here only (one record, stored whole, which slot 0
// reads without a lock). Frames are hostile input: a frame that fails the frame view's
// checks is dropped when the classification would tunnel it and passes otherwise.
#include <array>
#include <cstring>
#include <string>

#include "address_texts.h"
#include "dns_redirect.h"
#include "inner_rewrite.h"
#include "mss_clamp.h"
#include "packet_kinds.h"
#include "wg_dual_tunnel.h"

namespace wireguard
{
namespace
{
constexpr std::size_t mac_size = 6;

using mac_address = std::array<std::uint8_t, mac_size>;

// Takes the MAC address at the frame offset when it is not all zero.
bool learn_mac(const rimcap::frame_view& frame, std::size_t at, mac_address& learned_mac)
{
    mac_address seen{};
    if (!frame.read(at, seen.data(), seen.size()) || seen == mac_address{} || seen == learned_mac)
        return false;
    learned_mac = seen;
    return true;
}

bool is_default_route(const ip_subnet& subnet, std::uint8_t family)
{
    if (subnet.family != family)
        return false;
    if (family == family_ipv4) {
        const ipv4_subnet& s = subnet.require_ipv4();
        return s.address == decltype(s.address){} && s.mask == decltype(s.mask){};
    }
    const ipv6_subnet& s = subnet.require_ipv6();
    return s.address == decltype(s.address){} && s.mask == decltype(s.mask){};
}
} // namespace

wg_dual_tunnel::packet_action wg_dual_tunnel::process_default_adapter_packet(_INTERMEDIATE_BUFFER& record,
                                                                             classifier_ref classify)
{
    capture(capture_lcl, record);
    rimcap::frame_view frame(record);
    if (const auto own = switch_local_address(frame))
        return *own;

    const std::uint16_t type = frame.ether_type();
    const bool ipv4_road = tunnel_ipv4_address != 0 && has_default_route(family_ipv4);
    const bool ipv6_road = !is_unspecified(tunnel_ipv6_address) && has_default_route(family_ipv6);
    const bool ipv4 = type == rimcap::ether_type_ipv4 && ipv4_road;
    const bool ipv6 = type == rimcap::ether_type_ipv6 && ipv6_road;
    // A frame length out of range hides the EtherType; the classification judges it.
    const bool unknown = frame.status() == rimcap::frame_check::bad_frame_length && (ipv4_road || ipv6_road);
    if ((ipv4 || ipv6 || unknown) && classify(record)) {
        if (!frame.ok())
            return packet_action::drop; // tunnel traffic that cannot be carried as it stands
        return ipv4 ? physical_ipv4_packet(frame) : physical_ipv6_packet(frame, ipv6_upper_layer(frame));
    }
    capture(capture_ext, record);
    return packet_action::pass;
}

std::optional<wg_dual_tunnel::packet_action> wg_dual_tunnel::switch_local_address(rimcap::frame_view& frame)
{
    const std::optional<own_datagram> own = match_own_datagram(frame, server_endpoint, local_udp_port.load());
    if (!own)
        return std::nullopt;

    physical_addressing a = current_learned();
    bool changed = false;
    if (own->family == family_ipv4) {
        std::uint32_t source = 0;
        frame.read(inner_field::ipv4_source, &source, 4);
        if (source != a.local_ipv4 && is_unicast_source(source)) {
            learn_local_ipv4(a, source);
            changed = true;
        }
    } else if (ipv6_header_word.load() == 0) {
        // Learned from the first datagram after each handshake initiation (which
        // clears the word), together with the local address.
        ipv6_header_word.store(frame.u32(rimcap::ip_header_offset));
        std::array<std::uint8_t, 16> source{};
        frame.read(inner_field::ipv6_source, source.data(), source.size());
        if (source != a.local_ipv6 && is_unicast_source(source)) {
            learn_local_ipv6(a, source);
            changed = true;
        }
    }
    changed = learn_mac(frame, 0, a.next_hop_mac) || changed;
    changed = learn_mac(frame, mac_size, a.local_mac) || changed;
    if (changed)
        learned.store(a);

    if (!relay_own_datagram(frame, *own))
        return packet_action::drop;
    capture(capture_enc, frame.record());
    return packet_action::pass;
}

wg_dual_tunnel::packet_action wg_dual_tunnel::physical_ipv4_packet(rimcap::frame_view& frame)
{
    if (!active.load())
        return packet_action::drop;
    const std::uint16_t tunnel_mtu = packet_mtu();
    if (const auto oversize = inject_icmp_frag_needed(frame, oversize_inputs(tunnel_mtu, 0)))
        return static_cast<packet_action>(*oversize);

    std::uint32_t source = 0;
    std::uint32_t destination = 0;
    frame.read(inner_field::ipv4_source, &source, 4);
    frame.read(inner_field::ipv4_destination, &destination, 4);
    // An unspecified, broadcast or multicast source (a DHCP DISCOVER, say) is no address
    // of the adapter.
    if (physical_addressing a = current_learned(); source != a.local_ipv4 && is_unicast_source(source)) {
        learn_local_ipv4(a, source);
        learned.store(a);
    }
    default_adapter_remotes_v4.insert(destination);
    replace_ipv4_address(frame, inner_field::ipv4_source, tunnel_ipv4_address);

    std::optional<std::uint32_t> query; // a DNS query's key, recorded once it is sent
    dns_query<ipv4_key> sent_query;
    if (const auto t = frame.ipv4_transport()) { // none for a later fragment
        if (is_tcp_syn(frame, *t)) {
            clamp_tcp_mss(clamp_family::ipv4, frame, tunnel_mtu);
        } else if (t->protocol == rimcap::ip_protocol_udp && frame.header_complete(*t)) {
            if (frame.u16(t->offset + 2u) == dns_port) {
                if (dns_redirect_table)
                    if (const auto refused = redirect_physical_dns(frame, *t, family_ipv4))
                        return *refused;
                query = dns_query_key(frame, *t, false);
                frame.read(inner_field::ipv4_destination, &sent_query.server, 4);
            }
        }
    }
    finish_inner_ipv4(frame);
    return send_recording(frame, packet_action::pass, default_adapter_udp_ports_v4, query, sent_query);
}

wg_dual_tunnel::packet_action wg_dual_tunnel::physical_ipv6_packet(rimcap::frame_view& frame,
                                                                   const ipv6_upper_layer_info& walk)
{
    // Neighbour discovery leaves unchanged, also while the tunnel is not active: the
    // tunnel's own datagrams to an IPv6 server need it to reach the next hop.
    if (is_neighbour_discovery(frame, walk))
        return packet_action::pass;
    if (!active.load())
        return packet_action::drop;
    const std::uint16_t tunnel_mtu = packet_mtu();
    if (const auto oversize = inject_icmpv6_packet_too_big(frame, oversize_inputs(tunnel_mtu, physical_mtu())))
        return static_cast<packet_action>(*oversize);

    std::array<std::uint8_t, 16> source{};
    ipv6_key destination{};
    frame.read(inner_field::ipv6_source, source.data(), source.size());
    frame.read(inner_field::ipv6_destination, destination.data(), destination.size());
    // Only addresses that the stack may use toward the server are learned; link-local
    // and other sources from 0x40 on, and the unspecified source (an MLD report, say),
    // leave the learned address alone.
    if ((source[0] < first_global_ipv6_byte || source == tunnel_ipv6_address) && is_unicast_source(source)) {
        if (physical_addressing a = current_learned(); source != a.local_ipv6) {
            learn_local_ipv6(a, source);
            learned.store(a);
        }
    }
    default_adapter_remotes_v6.insert(destination);
    replace_ipv6_address(frame, inner_field::ipv6_source, tunnel_ipv6_address);

    std::optional<std::uint32_t> query;
    dns_query<ipv6_key> sent_query;
    if (walk.header) {
        const rimcap::transport_header& t = *walk.header;
        if (is_tcp_syn(frame, t)) {
            clamp_tcp_mss(clamp_family::ipv6, frame, tunnel_mtu);
        } else if (t.protocol == rimcap::ip_protocol_udp && frame.header_complete(t)) {
            if (frame.u16(t.offset + 2u) == dns_port) {
                if (dns_redirect_table)
                    if (const auto refused = redirect_physical_dns(frame, t, family_ipv6))
                        return *refused;
                query = dns_query_key(frame, t, false);
                frame.read(inner_field::ipv6_destination, sent_query.server.data(), sent_query.server.size());
            }
        }
    }
    finish_inner_ipv6(frame);
    return send_recording(frame, packet_action::pass, default_adapter_udp_ports_v6, query, sent_query);
}

std::optional<wg_dual_tunnel::packet_action> wg_dual_tunnel::redirect_physical_dns(rimcap::frame_view& frame,
                                                                                   const rimcap::transport_header& udp,
                                                                                   std::uint8_t family)
{
    const bool ipv4 = family == family_ipv4;
    const ip_address destination =
        read_inner_address(frame, ipv4 ? inner_field::ipv4_destination : inner_field::ipv6_destination, family);
    bool configured = false;
    if (ipv4) {
        ipv4_key key = 0;
        std::memcpy(&key, destination.address.data(), 4);
        configured = dns_redirect_table->is_dns_server(key);
    } else {
        ipv6_key key{};
        std::memcpy(key.data(), destination.address.data(), 16);
        configured = dns_redirect_table->is_dns_server(key);
    }
    if (!configured) {
        const std::optional<dns_rewrite> rewrite = redirect_dns_query(frame, *dns_redirect_table);
        if (!rewrite)
            return packet_action::drop; // no server of the family
        if (logs(log_importance::debug))
            tunnel_log(log_importance::debug, "[TUN]: Default adapter DNS request to " +
                                                  address_text(rewrite->before) + " redirected to " +
                                                  address_text(rewrite->after));
    }
    log_dns_flow("[TUN]: Default interface : DNS : ", frame, udp, family);
    return std::nullopt;
}

bool wg_dual_tunnel::has_default_route(std::uint8_t family) const noexcept
{
    for (const ip_subnet& subnet : allowed_ips)
        if (is_default_route(subnet, family))
            return true;
    return false;
}

void wg_dual_tunnel::learn_local_ipv4(physical_addressing& learned_now, std::uint32_t address)
{
    learned_now.local_ipv4 = address;
    if (logs(log_importance::information))
        log_address_switch("IPv4", ipv4_text(address));
}

void wg_dual_tunnel::learn_local_ipv6(physical_addressing& learned_now, const std::array<std::uint8_t, 16>& address)
{
    learned_now.local_ipv6 = address;
    if (logs(log_importance::information))
        log_address_switch("IPv6", ipv6_text(address));
}

void wg_dual_tunnel::log_address_switch(const char* family, const std::string& address) const
{
    const auto view = default_view.load();
    tunnel_log(log_importance::information, std::string("[TUN]: Switching local ") + family + " address for the " +
                                                (view ? view->adapter_name : std::string()) + " to " + address);
}
} // namespace wireguard
