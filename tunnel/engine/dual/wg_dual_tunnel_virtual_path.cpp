// wireguard::wg_dual_tunnel: frames that the stack sends on the virtual adapter (slot 0's
// thread), and the datagrams to the server that both outgoing paths build.
//
// Once the tunnel's routes are in place the stack sends into the virtual adapter what
// goes through the tunnel, and also what the classification keeps outside it. A
// tunnelled packet is answered (or dropped) above the tunnel MTU, gets its MSS clamped
// and its DNS checked, and leaves encrypted through the physical adapter (3). A packet
// outside the tunnel is answered above the physical MTU, remembered by its destination
// (so that the reply finds its way back), given the physical adapter's local address
// and MAC addresses, and leaves unencrypted through the physical adapter (3). The tunnel
// socket's own datagrams to the server leave the same way. Link-scope traffic
// (link_scope.h, neighbour discovery among it), which the classification keeps outside,
// belongs to the virtual adapter's own link and stays there (0), as everything else
// does. The local address of a family is the learned one, else that of the physical
// adapter's record; a frame that would leave from no address is dropped.
//
// Frames are hostile input: everything goes through one frame view. A frame that fails
// the view's checks is dropped when the classification puts it into the tunnel and
// passes unchanged otherwise. The learned addressing is read once per frame, whole.
#include <array>
#include <cstring>
#include <string>

#include "dns_redirect.h"
#include "inner_rewrite.h"
#include "link_scope.h"
#include "mss_clamp.h"
#include "netaccess/capture_file.h"
#include "outer_datagram.h"
#include "packet_kinds.h"
#include "socks5_udp.h"
#include "wg_dual_tunnel.h"

namespace wireguard
{
namespace
{
constexpr std::uint16_t relayed_initiation_udp_length = 156; // 8 + a 148-byte initiation
constexpr std::size_t ether_destination = 0;
constexpr std::size_t ether_source = 6;

void write_macs(rimcap::frame_view& frame, const physical_addressing& a)
{
    frame.write(ether_destination, a.next_hop_mac.data(), a.next_hop_mac.size());
    frame.write(ether_source, a.local_mac.data(), a.local_mac.size());
}

// The UDP header of a whole datagram to port 53 (IPv4: not a later fragment).
bool is_dns_query(const rimcap::frame_view& frame, const rimcap::transport_header& t)
{
    return t.protocol == rimcap::ip_protocol_udp && frame.header_complete(t) && frame.u16(t.offset + 2u) == dns_port;
}
} // namespace

wg_dual_tunnel::packet_action wg_dual_tunnel::process_virtual_adapter_packet(_INTERMEDIATE_BUFFER& record,
                                                                             classifier_ref classify)
{
    capture(capture_lcl, record);
    if (!active.load())
        return packet_action::drop;
    rimcap::frame_view frame(record);
    if (const auto own = reroute_own_datagram(frame))
        return *own;

    const std::uint16_t type = frame.ether_type();
    const bool ipv4 = type == rimcap::ether_type_ipv4 && tunnel_ipv4_address != 0;
    const bool ipv6 = type == rimcap::ether_type_ipv6 && !is_unspecified(tunnel_ipv6_address);
    // A frame length out of range hides the EtherType; the classification judges it.
    const bool unknown = frame.status() == rimcap::frame_check::bad_frame_length;
    if (ipv4 || ipv6 || unknown) {
        const bool tunnelled = classify(record);
        if (frame.ok())
            return ipv4 ? virtual_ipv4_packet(frame, tunnelled) : virtual_ipv6_packet(frame, tunnelled);
        if (tunnelled)
            return packet_action::drop; // tunnel traffic that cannot be carried as it stands
    }
    capture(capture_ext, record);
    return packet_action::pass;
}

std::optional<wg_dual_tunnel::packet_action> wg_dual_tunnel::reroute_own_datagram(rimcap::frame_view& frame)
{
    const std::optional<own_datagram> own = match_own_datagram(frame, server_endpoint, local_udp_port.load());
    if (!own)
        return std::nullopt;
    const bool ipv4 = own->family == family_ipv4;
    if (ipv4 ? tunnel_ipv4_address == 0 : is_unspecified(tunnel_ipv6_address))
        return std::nullopt;

    const physical_addressing a = physical_addresses();
    if (!has_local_address(a, own->family))
        return packet_action::drop;
    write_macs(frame, a);
    if (ipv4) {
        replace_ipv4_address(frame, inner_field::ipv4_source, a.local_ipv4);
        finish_inner_ipv4(frame);
    } else {
        replace_ipv6_address(frame, inner_field::ipv6_source, a.local_ipv6);
        finish_inner_ipv6(frame);
    }
    if (!relay_own_datagram(frame, *own))
        return packet_action::drop;
    capture(capture_enc, frame.record());
    return packet_action::other_pass;
}

wg_dual_tunnel::packet_action wg_dual_tunnel::virtual_ipv4_packet(rimcap::frame_view& frame, bool tunnelled)
{
    const std::optional<rimcap::transport_header> t = frame.ipv4_transport(); // none for a later fragment

    if (!tunnelled) {
        const std::uint16_t physical = physical_mtu();
        if (physical == 0)
            return packet_action::drop; // no physical adapter to leave through
        if (const auto oversize = inject_icmp_frag_needed(frame, oversize_inputs(physical, physical)))
            return static_cast<packet_action>(*oversize);
        if (is_link_scope(frame, t))
            return packet_action::pass;
        const physical_addressing a = physical_addresses();
        if (!has_local_address(a, family_ipv4))
            return packet_action::drop;
        std::uint32_t destination = 0;
        frame.read(inner_field::ipv4_destination, &destination, 4);
        virtual_adapter_bypass_v4.insert(destination);
        write_macs(frame, a);
        replace_ipv4_address(frame, inner_field::ipv4_source, a.local_ipv4);
        if (t && is_tcp_syn(frame, *t))
            clamp_tcp_mss(clamp_family::ipv4, frame, physical);
        finish_inner_ipv4(frame);
        capture(capture_ext, frame.record());
        return packet_action::other_pass;
    }

    const std::uint16_t tunnel_mtu = packet_mtu();
    if (const auto oversize = inject_icmp_frag_needed(frame, oversize_inputs(tunnel_mtu, 0)))
        return static_cast<packet_action>(*oversize);
    bool rewritten = false;
    std::optional<std::uint32_t> query; // a DNS query's key, recorded once it is sent
    dns_query<ipv4_key> sent_query;
    if (t && is_tcp_syn(frame, *t)) {
        clamp_tcp_mss(clamp_family::ipv4, frame, tunnel_mtu);
        rewritten = true;
    } else if (t && is_dns_query(frame, *t)) {
        std::uint32_t source = 0;
        frame.read(inner_field::ipv4_destination, &sent_query.server, 4);
        frame.read(inner_field::ipv4_source, &source, 4);
        if (dns_redirect_table && !dns_redirect_table->is_dns_server(sent_query.server))
            return packet_action::drop; // DNS goes only to the configured servers
        if (source == physical_addresses().local_ipv4) {
            replace_ipv4_address(frame, inner_field::ipv4_source, tunnel_ipv4_address);
            sent_query.switched = rewritten = true;
        }
        query = dns_query_key(frame, *t, false);
    }
    if (rewritten)
        finish_inner_ipv4(frame);
    return send_recording(frame, packet_action::other_pass, virtual_adapter_dns_ports_v4, query, sent_query);
}

wg_dual_tunnel::packet_action wg_dual_tunnel::virtual_ipv6_packet(rimcap::frame_view& frame, bool tunnelled)
{
    const std::uint16_t physical = physical_mtu();
    const ipv6_upper_layer_info walk = ipv6_upper_layer(frame);

    if (!tunnelled) {
        if (physical == 0)
            return packet_action::drop;
        if (const auto oversize = inject_icmpv6_packet_too_big(frame, oversize_inputs(physical, physical)))
            return static_cast<packet_action>(*oversize);
        if (is_link_scope(frame, walk.header))
            return packet_action::pass;
        return route_outside_tunnel_v6(frame, walk, physical);
    }

    const std::uint16_t tunnel_mtu = packet_mtu();
    if (const auto oversize = inject_icmpv6_packet_too_big(frame, oversize_inputs(tunnel_mtu, physical)))
        return static_cast<packet_action>(*oversize);
    if (is_neighbour_discovery(frame, walk))
        return packet_action::pass;
    bool rewritten = false;
    std::optional<std::uint32_t> query;
    dns_query<ipv6_key> sent_query;
    if (walk.header && is_tcp_syn(frame, *walk.header)) {
        clamp_tcp_mss(clamp_family::ipv6, frame, tunnel_mtu);
        rewritten = true;
    } else if (walk.header && is_dns_query(frame, *walk.header)) {
        ipv6_key source{};
        frame.read(inner_field::ipv6_destination, sent_query.server.data(), sent_query.server.size());
        frame.read(inner_field::ipv6_source, source.data(), source.size());
        if (dns_redirect_table && !dns_redirect_table->is_dns_server(sent_query.server))
            return packet_action::drop;
        if (source == physical_addresses().local_ipv6) {
            replace_ipv6_address(frame, inner_field::ipv6_source, tunnel_ipv6_address);
            sent_query.switched = rewritten = true;
        }
        query = dns_query_key(frame, *walk.header, false);
    }
    if (rewritten)
        finish_inner_ipv6(frame);
    return send_recording(frame, packet_action::other_pass, virtual_adapter_dns_ports_v6, query, sent_query);
}

wg_dual_tunnel::packet_action wg_dual_tunnel::route_outside_tunnel_v6(rimcap::frame_view& frame,
                                                                      const ipv6_upper_layer_info& walk,
                                                                      std::uint16_t physical)
{
    const physical_addressing a = physical_addresses();
    if (!has_local_address(a, family_ipv6))
        return packet_action::drop;
    ipv6_key destination{};
    frame.read(inner_field::ipv6_destination, destination.data(), destination.size());
    virtual_adapter_bypass_v6.insert(destination);
    write_macs(frame, a);
    replace_ipv6_address(frame, inner_field::ipv6_source, a.local_ipv6);
    if (walk.header && is_tcp_syn(frame, *walk.header))
        clamp_tcp_mss(clamp_family::ipv6, frame, physical);
    finish_inner_ipv6(frame);
    capture(capture_ext, frame.record());
    return packet_action::other_pass;
}

std::optional<wg_dual_tunnel::packet_action> wg_dual_tunnel::encapsulate_to_server(rimcap::frame_view& frame,
                                                                                   packet_action sent)
{
    capture(capture_tun, frame.record());
    const std::span<std::uint8_t> packet = frame.ip_packet(); // the whole IP packet, checked against the frame
    if (packet.empty())
        return std::nullopt;
    const std::uint8_t server_family = server_endpoint.family;
    const physical_addressing a = physical_addresses();
    if (!has_local_address(a, server_family))
        return packet_action::drop; // before the engine spends a counter on it
    const std::size_t capacity = datagram_capacity(server_family);
    std::array<std::uint8_t, rimcap::max_frame_size> sealed; // written by the engine before use
    const wireguard_result result =
        wireguard_write(engine_handle.get(), packet.data(), static_cast<std::uint32_t>(packet.size()), sealed.data(),
                        static_cast<std::uint32_t>(capacity));
    if (result.op != WRITE_TO_NETWORK || result.size > capacity) {
        if (logs(log_importance::information))
            tunnel_log(log_importance::information,
                       "[TUN]: wireguard_write returned: result = " +
                           std::to_string(static_cast<std::int32_t>(result.op)) +
                           " size = " + std::to_string(result.size));
        return std::nullopt;
    }

    outer_route route;
    route.server = server_endpoint;
    route.local_port = local_udp_port.load();
    route.local_ipv4 = a.local_ipv4;
    route.local_ipv6 = a.local_ipv6;
    route.ipv6_header_word = outer_ipv6_header_word(ipv6_header_word.load());
    route.next_hop_mac = a.next_hop_mac;
    const std::uint16_t identification =
        server_family == family_ipv4 ? static_cast<std::uint16_t>(ipv4_identification.fetch_add(1) + 1) : 0;
    if (!build_fresh_outer_datagram(frame, std::span<const std::uint8_t>(sealed.data(), result.size), route,
                                    identification, a.local_mac))
        return std::nullopt;

    capture(capture_enc, frame.record());
    const std::size_t ip_bytes = frame.length() - rimcap::ip_header_offset;
    counters.sent_packets.fetch_add(1);
    counters.sent_bytes.fetch_add(ip_bytes);
    raise_event(tunnel_event::packet_sent, static_cast<std::int64_t>(ip_bytes));
    return sent;
}

wg_dual_tunnel::packet_action wg_dual_tunnel::no_datagram()
{
    if (wireguard_stats(engine_handle.get()).time_since_last_handshake == -1) {
        reset_tunnel_state();
        request_rehandshake();
    }
    return packet_action::drop;
}

bool wg_dual_tunnel::relay_own_datagram(rimcap::frame_view& frame, const own_datagram& own)
{
    // One look at the client for the whole frame: a replaced client stays alive while
    // this frame uses it.
    const std::shared_ptr<socks5_client> client = socks5.get();
    if (!client || own.udp_length != relayed_initiation_udp_length)
        return true;
    if (!client->ready())
        return false;
    // A frame that cannot be wrapped leaves as it is, and no relayed answer is awaited.
    if (socks5_udp_wrap(*client, frame.record())) {
        frame.check(); // the wrap changed the lengths
        relay_pending_count.fetch_add(1);
    }
    return true;
}

physical_addressing wg_dual_tunnel::current_learned() const noexcept
{
    const std::uint32_t generation = view_generation.load();
    physical_addressing a = learned.load();
    if (a.generation != generation)
        a = physical_addressing{.generation = generation};
    return a;
}

physical_addressing wg_dual_tunnel::physical_addresses() const
{
    physical_addressing a = current_learned();
    if (a.local_ipv4 != 0 && !is_unspecified(a.local_ipv6))
        return a;
    const std::shared_ptr<const default_adapter_view> view = default_view.load();
    if (!view)
        return a;
    if (a.local_ipv4 == 0)
        a.local_ipv4 = view->local_ipv4;
    if (is_unspecified(a.local_ipv6))
        a.local_ipv6 = view->local_ipv6;
    return a;
}

bool wg_dual_tunnel::has_local_address(const physical_addressing& a, std::uint8_t family) const
{
    const bool ipv4 = family == family_ipv4;
    if (ipv4 ? a.local_ipv4 != 0 : !is_unspecified(a.local_ipv6))
        return true;
    if (logs(log_importance::debug))
        tunnel_log(log_importance::debug, std::string("[TUN]: No local ") + (ipv4 ? "IPv4" : "IPv6") +
                                              " address of the default adapter: packet dropped");
    return false;
}

oversize_reply_inputs wg_dual_tunnel::oversize_inputs(std::uint16_t tested_mtu, std::uint16_t physical)
{
    oversize_reply_inputs in;
    in.tested_mtu = tested_mtu;
    // The reply names the MTU that the packet exceeded: that of the path it would take.
    in.reported_mtu = tested_mtu;
    in.reply_bound = physical;
    in.log_level = log_level.load();
    in.logger = &logger;
    in.capture_lcl = capture_lcl ? &*capture_lcl : nullptr;
    return in;
}

std::uint16_t wg_dual_tunnel::packet_mtu() const noexcept
{
    return tunnel_packet_mtu(mtu.load(), server_endpoint.family);
}

std::uint16_t wg_dual_tunnel::physical_mtu() const
{
    const std::shared_ptr<const default_adapter_view> view = default_view.load();
    return view ? view->mtu : 0;
}
} // namespace wireguard
