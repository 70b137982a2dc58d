// wireguard::wg_dual_tunnel: frames that the physical adapter receives (slot 1's
// thread).
//
// A datagram of the server (directly, or unwrapped from the SOCKS5 relay) holds the
// handshake response, which the activation step answers, a cookie reply, which goes to
// the engine and no further, or transport data, which is decrypted into the same frame
// and goes up the virtual adapter's stack (3), or up the physical adapter's own stack
// (0) when it belongs to a flow that this stack sent through the tunnel or answers one
// of its DNS queries; a decrypted packet whose source the server may not send is
// dropped. While the tunnel is active, a reply to a flow that the virtual adapter's
// stack sent outside the tunnel is given the tunnel address as its destination and goes
// up the virtual adapter's stack (3). Everything else passes (0).
//
// Frames are hostile input: the engine gets exactly the UDP payload as far as the UDP
// length says, checked against the frame; a decrypted packet is delivered only when it
// passes the frame view's checks as a packet of its own version.
#include <array>
#include <cstring>
#include <string>

#include "address_texts.h"
#include "dns_redirect.h"
#include "inner_rewrite.h"
#include "mss_clamp.h"
#include "netaccess/checksum.h"
#include "packet_kinds.h"
#include "server_messages.h"
#include "socks5_udp.h"
#include "transport_data.h"
#include "wg_dual_tunnel.h"

namespace wireguard
{
namespace
{
// Whose query an answer took: none, one of the virtual adapter's stack (its source
// switched or not), or one of the physical adapter's stack.
enum class taken_query { none, virtual_stack, switched, physical };

template <class Address>
taken_query take_query(dns_query_table<Address>& virtual_queries, dns_query_table<Address>& physical_queries,
                       std::uint32_t key)
{
    if (const auto query = virtual_queries.take(key))
        return query->switched ? taken_query::switched : taken_query::virtual_stack;
    return physical_queries.take(key) ? taken_query::physical : taken_query::none;
}
} // namespace

wg_dual_tunnel::packet_action wg_dual_tunnel::process_server_packet(_INTERMEDIATE_BUFFER& record)
{
    // The relay step may unwrap the frame; the views are made on the frame as it is then.
    const std::shared_ptr<socks5_client> client = socks5.get();
    const server_datagram_route route{server_endpoint, socks5_proxy_endpoint, client.get()};
    const std::optional<server_message> message = match_server_datagram(route, relay_pending_count, record);
    const std::uint8_t type = message && !message->message.empty() ? message->message[0] : 0;
    if (type == message_handshake_response) {
        if (const auto answered = process_handshake_response(record))
            return *answered;
    } else if (type == message_cookie_reply) {
        take_cookie_reply(engine_handle.get(), message->message);
        return packet_action::drop;
    } else if (type == message_transport_data) {
        rimcap::frame_view frame(record);
        return process_transport_data(frame, message->message);
    }

    if (!active.load())
        return packet_action::pass;
    rimcap::frame_view frame(record);
    if (const auto reply = process_outside_reply(frame))
        return *reply;
    capture(capture_ext, record);
    return packet_action::pass;
}

wg_dual_tunnel::packet_action wg_dual_tunnel::process_transport_data(rimcap::frame_view& frame,
                                                                     std::span<const std::uint8_t> message)
{
    capture(capture_enc, frame.record());
    const std::size_t received = frame.length() - rimcap::ip_header_offset;
    raise_event(tunnel_event::packet_received, static_cast<std::int64_t>(received));
    counters.received_packets.fetch_add(1);
    counters.received_bytes.fetch_add(received);

    wireguard_result result{};
    const opened_transport opened = open_transport_data(engine_handle.get(), message, frame, result);
    if (opened == opened_transport::refused && logs(log_importance::debug))
        tunnel_log(log_importance::debug, "[TUN]: wireguard_read returned: result = " +
                                              std::to_string(static_cast<std::int32_t>(result.op)) +
                                              " size = " + std::to_string(result.size));
    if (opened != opened_transport::delivered)
        return packet_action::drop;
    capture(capture_tun, frame.record());
    const ipv6_upper_layer_info walk = frame.is_ipv4() ? ipv6_upper_layer_info{} : ipv6_upper_layer(frame);
    const fragment_place place = fragment_place_of(frame, walk);
    if (const auto source = source_check.refused_source(frame, walk, place, allowed_ips)) {
        if (logs(log_importance::debug))
            tunnel_log(log_importance::debug, "[TUN]: Decrypted packet from " + address_text(*source) +
                                                  " dropped: its source is outside AllowedIPs");
        return packet_action::drop;
    }

    const physical_addressing a = physical_addresses();
    const std::uint16_t tunnel_mtu = packet_mtu();
    bool known = false;       // delivered to the physical adapter's stack
    bool rewritten = false;   // checksums to recompute
    bool readdressed = false; // by the DNS steps
    if (frame.is_ipv4()) {
        std::uint32_t source = 0;
        frame.read(inner_field::ipv4_source, &source, 4);
        if (default_adapter_remotes_v4.contains(source)) {
            replace_ipv4_address(frame, inner_field::ipv4_destination, a.local_ipv4);
            known = true;
        }
        if (const auto t = frame.ipv4_transport()) { // none for a later fragment
            if (t->protocol == rimcap::ip_protocol_udp && frame.header_complete(*t) &&
                frame.u16(t->offset) == dns_port) {
                readdressed = translate_decrypted_dns(frame, *t, family_ipv4, a);
                known = readdressed || known;
            } else if (is_tcp_syn_ack(frame, *t)) {
                clamp_tcp_mss(clamp_family::ipv4, frame, tunnel_mtu);
                rewritten = true;
            }
        }
        if (const auto other_stack = answer_fragments.follow(place, frame, readdressed, !known))
            known = !*other_stack;
        if (known || rewritten)
            finish_inner_ipv4(frame);
        else if (frame.ip_protocol() == rimcap::ip_protocol_icmp)
            rimcap::recalculate_icmp_checksum(frame); // refuses fragments
    } else {
        ipv6_key source{};
        frame.read(inner_field::ipv6_source, source.data(), source.size());
        if (default_adapter_remotes_v6.contains(source)) {
            replace_ipv6_address(frame, inner_field::ipv6_destination, a.local_ipv6);
            known = true;
        }
        if (walk.header) {
            const rimcap::transport_header& t = *walk.header;
            if (t.protocol == rimcap::ip_protocol_udp && frame.header_complete(t) && frame.u16(t.offset) == dns_port) {
                readdressed = translate_decrypted_dns(frame, t, family_ipv6, a);
                known = readdressed || known;
            } else if (is_tcp_syn_ack(frame, t)) {
                clamp_tcp_mss(clamp_family::ipv6, frame, tunnel_mtu);
                rewritten = true;
            }
        }
        if (const auto other_stack = answer_fragments.follow(place, frame, readdressed, !known))
            known = !*other_stack;
        if (known || rewritten)
            finish_inner_ipv6(frame);
    }
    capture(capture_lcl, frame.record());
    return known ? packet_action::pass : packet_action::other_pass;
}

bool wg_dual_tunnel::translate_decrypted_dns(rimcap::frame_view& frame, const rimcap::transport_header& udp,
                                             std::uint8_t family, const physical_addressing& learned_now)
{
    bool known = false;
    if (dns_redirect_table) {
        if (const auto rewrite = translate_dns_answer(frame, *dns_redirect_table)) {
            // The answer to a query that the physical path redirected.
            if (logs(log_importance::debug))
                tunnel_log(log_importance::debug, "[TUN]: DNS response from " + address_text(rewrite->before) +
                                                      " converted as from " + address_text(rewrite->after));
            known = true;
        } else {
            log_dns_flow("[TUN]: Decrypted DNS response: ", frame, udp, family);
        }
    }

    // An answer to the tunnel address takes its query; the answer to a query of the
    // physical adapter's stack, or to one whose source was switched, goes back to the
    // physical adapter's address.
    const bool ipv4 = family == family_ipv4;
    const bool to_tunnel = ipv4 ? frame.equal(inner_field::ipv4_destination, &tunnel_ipv4_address, 4)
                                : frame.equal(inner_field::ipv6_destination, tunnel_ipv6_address.data(), 16);
    if (!to_tunnel)
        return known;
    const std::uint32_t query = dns_query_key(frame, udp, true);
    const taken_query taken = ipv4 ? take_query(virtual_adapter_dns_ports_v4, default_adapter_udp_ports_v4, query)
                                   : take_query(virtual_adapter_dns_ports_v6, default_adapter_udp_ports_v6, query);
    if (taken == taken_query::none || taken == taken_query::virtual_stack)
        return known;
    if (ipv4)
        replace_ipv4_address(frame, inner_field::ipv4_destination, learned_now.local_ipv4);
    else
        replace_ipv6_address(frame, inner_field::ipv6_destination, learned_now.local_ipv6);
    log_dns_flow(taken == taken_query::switched ? "[TUN]: Lorrivan virtual adapter interface : DNS : "
                                                : "[TUN]: Default interface : DNS : ",
                 frame, udp, family);
    return true;
}

bool wg_dual_tunnel::awaits_dns_answer(const ip_address& server, std::uint32_t query) const
{
    if (!dns_redirect_table)
        return false;
    if (server.family == family_ipv6)
        return virtual_adapter_dns_ports_v6.awaits(query, server.address) ||
               default_adapter_udp_ports_v6.awaits(query, server.address);
    ipv4_key address = 0;
    std::memcpy(&address, server.address.data(), 4);
    return virtual_adapter_dns_ports_v4.awaits(query, address) || default_adapter_udp_ports_v4.awaits(query, address);
}

std::optional<wg_dual_tunnel::packet_action> wg_dual_tunnel::process_outside_reply(rimcap::frame_view& frame)
{
    const physical_addressing a = physical_addresses();
    if (frame.is_ipv4()) {
        std::uint32_t source = 0;
        frame.read(inner_field::ipv4_source, &source, 4);
        if (!frame.equal(inner_field::ipv4_destination, &a.local_ipv4, 4) ||
            !virtual_adapter_bypass_v4.contains(source))
            return std::nullopt;
        replace_ipv4_address(frame, inner_field::ipv4_destination, tunnel_ipv4_address);
        if (const auto t = frame.ipv4_transport(); t && is_tcp_syn_ack(frame, *t))
            if (const std::uint16_t physical = physical_mtu(); physical != 0)
                clamp_tcp_mss(clamp_family::ipv4, frame, physical);
        finish_inner_ipv4(frame);
    } else if (frame.is_ipv6()) {
        ipv6_key source{};
        frame.read(inner_field::ipv6_source, source.data(), source.size());
        if (!frame.equal(inner_field::ipv6_destination, a.local_ipv6.data(), 16) ||
            !virtual_adapter_bypass_v6.contains(source))
            return std::nullopt;
        replace_ipv6_address(frame, inner_field::ipv6_destination, tunnel_ipv6_address);
        if (const auto walk = ipv6_upper_layer(frame); walk.header && is_tcp_syn_ack(frame, *walk.header))
            if (const std::uint16_t physical = physical_mtu(); physical != 0)
                clamp_tcp_mss(clamp_family::ipv6, frame, physical);
        finish_inner_ipv6(frame);
    } else {
        return std::nullopt;
    }
    capture(capture_ext, frame.record());
    return packet_action::other_pass;
}

void wg_dual_tunnel::log_dns_flow(const char* prefix, const rimcap::frame_view& frame,
                                  const rimcap::transport_header& udp, std::uint8_t family) const
{
    if (!logs(log_importance::debug))
        return;
    const bool ipv4 = family == family_ipv4;
    const ip_address source =
        read_inner_address(frame, ipv4 ? inner_field::ipv4_source : inner_field::ipv6_source, family);
    const ip_address destination =
        read_inner_address(frame, ipv4 ? inner_field::ipv4_destination : inner_field::ipv6_destination, family);
    tunnel_log(log_importance::debug, prefix + address_text(source) + ":" + std::to_string(frame.u16(udp.offset)) +
                                          " -> " + address_text(destination) + ":" +
                                          std::to_string(frame.u16(udp.offset + 2u)));
}
} // namespace wireguard
