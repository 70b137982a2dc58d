// wireguard::wg_tunnel: the outgoing handler, for every frame that the stack sends on the
// default adapter (the filter's process thread).
//
// The tunnel socket's own datagrams to the server come first: the stack chose their
// source address and next hop, so they teach the tunnel the adapter's local address and
// the next-hop MAC address that its rebuilt datagrams use; a handshake initiation goes
// to the SOCKS5 relay when a proxy is in use. Every other IPv4 or IPv6 frame is
// classified. A tunnelled packet is dropped while the tunnel is not active, answered
// (or dropped) when it is above the MTU, and otherwise gets the tunnel address as its
// source, DNS redirection and MSS clamping, and is encrypted into the same frame, which
// leaves as a UDP datagram to the server.
//
// Frames are hostile input: everything goes through one frame view. A frame that fails
// the view's checks passes when the classification leaves it outside the tunnel and is
// dropped when it would be tunnelled (it cannot be carried as it stands).
#include <array>
#include <cstring>
#include <string>

#include "address_texts.h"
#include "inner_rewrite.h"
#include "ipv6_walk.h"
#include "mss_clamp.h"
#include "netaccess/capture_file.h"
#include "netaccess/frame_view.h"
#include "own_datagram.h"
#include "packet_kinds.h"
#include "socks5_udp.h"
#include "wg_tunnel.h"

namespace wireguard
{
namespace
{
constexpr std::uint16_t relayed_initiation_udp_length = 156; // 8 + a 148-byte initiation
} // namespace

void wg_tunnel::capture(std::optional<rimcap::pcap_file_writer>& writer, const _INTERMEDIATE_BUFFER& record)
{
    if (writer)
        rimcap::write_capture_record(*writer, record);
}

oversize_reply_inputs wg_tunnel::oversize_inputs()
{
    oversize_reply_inputs in;
    in.tested_mtu = packet_mtu();
    in.reported_mtu = in.tested_mtu;
    in.reply_bound = default_adapter ? default_adapter->mtu : 0;
    in.log_level = log_level.load();
    in.logger = &logger;
    in.capture_lcl = capture_lcl ? &*capture_lcl : nullptr;
    return in;
}

outer_route wg_tunnel::route_to_server() const
{
    outer_route route;
    route.server = server_endpoint;
    route.local_port = local_udp_port;
    route.local_ipv4 = address_switching.local_ipv4_address;
    route.local_ipv6 = address_switching.local_ipv6_address;
    route.ipv6_header_word = outer_ipv6_header_word();
    route.next_hop_mac = address_switching.next_hop_mac;
    return route;
}

void wg_tunnel::log_dns(const char* first, const dns_rewrite& rewrite, const char* second) const
{
    if (logs(log_importance::debug))
        log(log_importance::debug, first + address_text(rewrite.before) + second + address_text(rewrite.after));
}

void wg_tunnel::learn_local_ipv6_address(const std::array<std::uint8_t, 16>& address)
{
    if (address == address_switching.local_ipv6_address)
        return;
    address_switching.local_ipv6_address = address;
    if (logs(log_importance::information))
        log(log_importance::information,
            "[TUN]: Switching local IPv6 address for the " + adapter_name() + " to " + ipv6_text(address));
}

wg_tunnel::packet_action wg_tunnel::outgoing_handler(void*, _INTERMEDIATE_BUFFER& record, classifier_ref classify)
{
    rimcap::frame_view frame(record);
    if (const auto own = match_own_datagram(frame, server_endpoint, local_udp_port))
        return pass_own_datagram(frame, *own);

    const std::uint16_t type = frame.ether_type();
    const bool ip = type == rimcap::ether_type_ipv4 || type == rimcap::ether_type_ipv6;
    // A frame length out of range hides the EtherType; the classification judges it.
    if ((!ip && frame.status() != rimcap::frame_check::bad_frame_length) || !classify(record)) {
        capture(capture_ext, record);
        return packet_action::pass;
    }
    if (!frame.ok())
        return packet_action::drop; // tunnel traffic that cannot be carried as it stands
    return frame.is_ipv4() ? tunnel_ipv4(frame) : tunnel_ipv6(frame);
}

wg_tunnel::packet_action wg_tunnel::tunnel_ipv4(rimcap::frame_view& frame)
{
    const std::uint32_t tunnel_address = address_switching.tunnel_ipv4_address;
    if (!active.load() || critical_error.load() || tunnel_address == 0)
        return packet_action::drop;
    capture(capture_lcl, frame.record());

    if (frame.ip_length() > packet_mtu()) {
        if (const auto oversize = inject_icmp_frag_needed(frame, oversize_inputs()))
            return static_cast<packet_action>(*oversize);
    }

    replace_ipv4_address(frame, inner_field::ipv4_source, tunnel_address);
    if (const auto t = frame.ipv4_transport())
        rewrite_outgoing_transport(frame, *t, clamp_family::ipv4);
    finish_inner_ipv4(frame);
    capture(capture_tun, frame.record());
    return encrypt_to_server(frame);
}

wg_tunnel::packet_action wg_tunnel::tunnel_ipv6(rimcap::frame_view& frame)
{
    const ipv6_upper_layer_info walk = ipv6_upper_layer(frame);
    // Neighbour discovery leaves unchanged, also while the tunnel is not active yet: the
    // tunnel's own datagrams may need it to reach the next hop.
    if (is_neighbour_discovery(frame, walk)) {
        capture(capture_lcl, frame.record());
        return packet_action::pass;
    }
    const std::array<std::uint8_t, 16> tunnel_address = address_switching.tunnel_ipv6_address;
    if (!active.load() || critical_error.load() || is_unspecified(tunnel_address))
        return packet_action::drop;
    capture(capture_lcl, frame.record());

    if (frame.ip_length() > packet_mtu()) {
        if (const auto oversize = inject_icmpv6_packet_too_big(frame, oversize_inputs()))
            return static_cast<packet_action>(*oversize);
    }

    std::array<std::uint8_t, 16> source{};
    frame.read(inner_field::ipv6_source, source.data(), source.size());
    if (source[0] < 0x40 || source == tunnel_address)
        learn_local_ipv6_address(source);
    replace_ipv6_address(frame, inner_field::ipv6_source, tunnel_address);

    if (walk.header)
        rewrite_outgoing_transport(frame, *walk.header, clamp_family::ipv6);
    finish_inner_ipv6(frame);
    capture(capture_tun, frame.record());
    return encrypt_to_server(frame);
}

// A SYN gets its MSS clamped to the tunnel; a UDP datagram may be a DNS query to redirect.
void wg_tunnel::rewrite_outgoing_transport(rimcap::frame_view& frame, const rimcap::transport_header& t,
                                           clamp_family family)
{
    if (!frame.header_complete(t))
        return;
    if (is_tcp_syn(frame, t)) {
        clamp_tcp_mss(family, frame, clamp_mtu());
    } else if (t.protocol == rimcap::ip_protocol_udp && dns_redirect_table) {
        if (const auto rewrite = redirect_dns_query(frame, *dns_redirect_table))
            log_dns("[TUN]: DNS request to ", *rewrite, " forwarded to ");
    }
}

wg_tunnel::packet_action wg_tunnel::encrypt_to_server(rimcap::frame_view& frame)
{
    const inner_header_fields inner = read_inner_header_fields(frame);
    const std::size_t capacity = datagram_capacity(server_endpoint.family);
    std::array<std::uint8_t, rimcap::max_frame_size> sealed; // written by the engine before use
    const std::span<std::uint8_t> packet = frame.ip_packet();
    const wireguard_result result =
        wireguard_write(engine_handle.get(), packet.data(), static_cast<std::uint32_t>(packet.size()), sealed.data(),
                        static_cast<std::uint32_t>(capacity));

    if (result.op == WRITE_TO_NETWORK && result.size <= capacity &&
        build_outer_datagram(frame, inner, std::span<const std::uint8_t>(sealed.data(), result.size),
                             route_to_server(), ipv4_identification)) {
        capture(capture_enc, frame.record());
        raise_event(tunnel_event::packet_sent, static_cast<std::int64_t>(frame.length() - rimcap::ip_header_offset));
        return packet_action::pass;
    }

    if (logs(log_importance::debug))
        log(log_importance::debug, "[TUN]: wireguard_write result = " + std::to_string(static_cast<std::int32_t>(result.op)) +
                                       " size = " + std::to_string(result.size));
    if (wireguard_stats(engine_handle.get()).time_since_last_handshake == -1)
        active.exchange(false);
    return packet_action::drop;
}

wg_tunnel::packet_action wg_tunnel::pass_own_datagram(rimcap::frame_view& frame, const own_datagram& own)
{
    if (own.family == family_ipv4) {
        std::uint32_t source = 0;
        frame.read(inner_field::ipv4_source, &source, 4);
        if (source != address_switching.local_ipv4_address) {
            address_switching.local_ipv4_address = source;
            if (logs(log_importance::information))
                log(log_importance::information, "[TUN]: Switching local IPv4 address for the " + adapter_name() +
                                                     " to " + ipv4_text(source));
        }
    } else if (ipv6_header_word.load() == 0) {
        ipv6_header_word = frame.u32(rimcap::ip_header_offset);
        std::array<std::uint8_t, 16> source{};
        frame.read(inner_field::ipv6_source, source.data(), source.size());
        learn_local_ipv6_address(source);
    }

    std::array<std::uint8_t, 6> next_hop{};
    if (frame.read(0, next_hop.data(), next_hop.size()) && next_hop != address_switching.next_hop_mac)
        address_switching.next_hop_mac = next_hop;

    // One look at the client for the whole frame: a replaced client stays alive while
    // this frame uses it.
    if (const auto client = socks5.get(); client && own.udp_length == relayed_initiation_udp_length) {
        if (!client->ready())
            return packet_action::drop;
        socks5_udp_wrap(*client, frame.record());
        socks5_pending.fetch_add(1);
    }

    capture(capture_enc, frame.record());
    return packet_action::pass;
}
} // namespace wireguard
