// wireguard::wg_tunnel: the incoming handler, for every frame that the default adapter
// receives (the filter's process thread).
//
// Datagrams from the server (directly, or unwrapped from the SOCKS5 relay) never reach
// the tunnel socket: a handshake response is answered by turning its frame round to the
// server with the engine's 32-byte reply, a cookie reply goes to the engine and no
// further, and transport data is decrypted into the same frame, which goes up to the
// stack addressed to the local address on which the datagram arrived, with the MSS of
// SYN+ACK segments clamped and DNS answers given back the source that the application
// asked; a decrypted packet whose source the server may not send is dropped. Everything
// else passes unchanged.
//
// Frames are hostile input: the message handed to the engine is exactly the UDP payload
// as far as the UDP length field says, checked against the frame; a frame that names
// the server as its sender but is not a whole, unfragmented datagram of the server is
// dropped; the engine's answers are checked against their buffers.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "address_texts.h"
#include "inner_rewrite.h"
#include "ipv6_walk.h"
#include "mss_clamp.h"
#include "netaccess/checksum.h"
#include "netaccess/frame_view.h"
#include "own_datagram.h"
#include "packet_kinds.h"
#include "server_messages.h"
#include "socks5_udp.h"
#include "transport_data.h"
#include "wg_tunnel.h"

namespace wireguard
{
namespace
{
constexpr std::size_t max_transport_payload = 1500;

// The UDP header of a frame that the server test accepted.
std::optional<rimcap::transport_header> server_udp_header(const rimcap::frame_view& frame)
{
    if (frame.is_ipv4()) {
        if (frame.is_fragment())
            return std::nullopt;
        return frame.ipv4_transport();
    }
    const ipv6_upper_layer_info walk = ipv6_upper_layer(frame);
    if (walk.first_fragment)
        return std::nullopt;
    return walk.header;
}

// An IPv4 or IPv6 frame (passing the view's checks) whose source is the endpoint's
// address, of the endpoint's family.
bool from_address(const rimcap::frame_view& frame, const ip_endpoint& endpoint)
{
    if (endpoint.family == family_ipv6)
        return frame.is_ipv6() && frame.equal(inner_field::ipv6_source, endpoint.address.data(), 16);
    return frame.is_ipv4() && frame.equal(inner_field::ipv4_source, endpoint.address.data(), 4);
}
} // namespace

wg_tunnel::packet_action wg_tunnel::incoming_handler(void*, _INTERMEDIATE_BUFFER& record)
{
    // The SOCKS5 client matters only for a frame from the proxy's address: only then is
    // it taken from its slot (which costs the slot's lock).
    rimcap::frame_view frame(record);
    std::shared_ptr<socks5_client> client;
    if (socks5_proxy_endpoint && from_address(frame, *socks5_proxy_endpoint))
        client = socks5.get();
    // The relay step may unwrap the frame; the view looks at the frame again after it.
    const server_datagram_route route{server_endpoint, socks5_proxy_endpoint, client.get()};
    const std::optional<server_message> message = match_server_datagram(route, socks5_pending, record);
    frame.check();
    if (!message) {
        if (claims_server_origin(frame, server_endpoint))
            return packet_action::drop;
        capture(capture_ext, record);
        return packet_action::pass;
    }

    capture(capture_enc, record);
    const auto udp = server_udp_header(frame);
    if (!udp)
        return packet_action::drop; // a fragment of a datagram from the server
    const std::span<const std::uint8_t> payload = message->message;
    const std::uint8_t type = payload.empty() ? 0 : payload[0];
    if (type == message_handshake_response)
        return handshake_response(frame, udp->offset, payload);
    if (type == message_cookie_reply) {
        take_cookie_reply(engine_handle.get(), payload);
        return packet_action::drop;
    }
    if (type == message_transport_data && active.load())
        return transport_data(frame, payload);
    return packet_action::pass;
}

wg_tunnel::packet_action wg_tunnel::handshake_response(rimcap::frame_view& frame, std::size_t udp_offset,
                                                       std::span<const std::uint8_t> message)
{
    if (message.size() > handshake_response_size)
        return packet_action::drop;
    std::array<std::uint8_t, handshake_reply_size> reply{};
    const wireguard_result result = wireguard_read(engine_handle.get(), message.data(),
                                                   static_cast<std::uint32_t>(message.size()), reply.data(),
                                                   static_cast<std::uint32_t>(reply.size()));
    if (result.op != WRITE_TO_NETWORK)
        return packet_action::pass;
    // Only a whole response answered by a whole reply is turned round.
    if (result.size != handshake_reply_size || message.size() != handshake_response_size ||
        !turn_round_handshake_response(frame, udp_offset, reply, outer_ipv6_header_word()))
        return packet_action::drop;

    raise_event(tunnel_event::handshake_response_accepted);
    if (logs(log_importance::information))
        log(log_importance::information, "[TUN]: Handshake response received from " +
                                             address_text(server_endpoint) + " : " +
                                             std::to_string(server_endpoint.port));
    capture(capture_enc, frame.record());
    active.exchange(true);
    return packet_action::revert;
}

wg_tunnel::packet_action wg_tunnel::transport_data(rimcap::frame_view& frame, std::span<const std::uint8_t> message)
{
    if (message.size() > max_transport_payload)
        return packet_action::drop;
    raise_event(tunnel_event::packet_received, static_cast<std::int64_t>(frame.length() - rimcap::ip_header_offset));

    // The outer destination: the local address on which the datagram arrived.
    const bool ipv6_server = server_endpoint.family == family_ipv6;
    std::uint32_t outer_ipv4 = address_switching.local_ipv4_address;
    std::array<std::uint8_t, 16> outer_ipv6 = address_switching.local_ipv6_address;
    if (ipv6_server)
        frame.read(inner_field::ipv6_destination, outer_ipv6.data(), outer_ipv6.size());
    else
        frame.read(inner_field::ipv4_destination, &outer_ipv4, 4);

    wireguard_result result{};
    summed_transport summed;
    const opened_transport opened = open_transport_data(engine_handle.get(), message, frame, result, &summed);
    if (opened == opened_transport::refused && logs(log_importance::debug))
        log(log_importance::debug, "[TUN]: wireguard_read result = " +
                                       std::to_string(static_cast<std::int32_t>(result.op)) +
                                       " size = " + std::to_string(result.size));
    if (opened != opened_transport::delivered)
        return packet_action::drop;
    capture(capture_tun, frame.record());
    const ipv6_upper_layer_info walk = frame.is_ipv4() ? ipv6_upper_layer_info{} : ipv6_upper_layer(frame);
    const fragment_place place = fragment_place_of(frame, walk);
    if (const auto source = source_check.refused_source(frame, walk, place, allowed_ips)) {
        if (logs(log_importance::debug))
            log(log_importance::debug, "[TUN]: Decrypted packet from " + address_text(*source) +
                                           " dropped: its source is outside AllowedIPs");
        return packet_action::drop;
    }

    const bool translated =
        frame.is_ipv4() ? deliver_ipv4(frame, outer_ipv4, summed) : deliver_ipv6(frame, outer_ipv6, walk);
    answer_fragments.follow(place, frame, translated, false);
    capture(capture_lcl, frame.record());
    return packet_action::pass;
}

bool wg_tunnel::deliver_ipv4(rimcap::frame_view& frame, std::uint32_t destination, summed_transport summed)
{
    replace_ipv4_address(frame, inner_field::ipv4_destination, destination);
    const auto t = frame.ipv4_transport();
    if (!frame.is_fragment() && t && is_tcp_syn_ack(frame, *t)) {
        clamp_tcp_mss(clamp_family::ipv4, frame, clamp_mtu());
        finish_inner_ipv4(frame); // the clamp changed the segment's bytes
        return false;
    }
    const bool translated = translate_answer(frame);
    // Only header fields changed since the transport bytes were summed.
    if (rimcap::recalculate_transport_checksum_with_sum(frame, summed.from, summed.sum))
        rimcap::recalculate_ip_checksum(frame);
    else
        finish_inner_ipv4(frame); // ICMP, fragments, other protocols
    return translated;
}

bool wg_tunnel::deliver_ipv6(rimcap::frame_view& frame, const std::array<std::uint8_t, 16>& destination,
                             const ipv6_upper_layer_info& walk)
{
    replace_ipv6_address(frame, inner_field::ipv6_destination, destination);
    bool translated = false;
    if (walk.header && is_tcp_syn_ack(frame, *walk.header))
        clamp_tcp_mss(clamp_family::ipv6, frame, clamp_mtu());
    else
        translated = translate_answer(frame);
    finish_inner_ipv6(frame);
    return translated;
}

bool wg_tunnel::translate_answer(rimcap::frame_view& frame)
{
    if (!dns_redirect_table)
        return false;
    const auto rewrite = translate_dns_answer(frame, *dns_redirect_table);
    if (rewrite)
        log_dns("[TUN]: DNS response from ", *rewrite, " translated as from ");
    return rewrite.has_value();
}
} // namespace wireguard
