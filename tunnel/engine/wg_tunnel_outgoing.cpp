// wireguard::wg_tunnel: the outgoing handler, for every frame that the stack sends on the
// default adapter (the filter's process thread).
//
// The tunnel socket's own datagrams to the server come first: the stack chose their
// source address and next hop, so they teach the tunnel the adapter's local address and
// the next-hop MAC address that its rebuilt datagrams use; a handshake initiation goes
// to the SOCKS5 relay when a proxy is in use. Everything else is application traffic,
// which is passed unchanged for now; classification, the gate, oversize replies, the
// source switch, DNS redirection, MSS clamping and encryption belong here next.
#include <array>
#include <cstring>

#include "address_texts.h"
#include "netaccess/capture_file.h"
#include "netaccess/frame_view.h"
#include "own_datagram.h"
#include "socks5_udp.h"
#include "wg_tunnel.h"

namespace wireguard
{
namespace
{
constexpr std::uint16_t relayed_initiation_udp_length = 156; // 8 + a 148-byte initiation
constexpr std::size_t ipv4_source_offset = rimcap::ip_header_offset + 12;
constexpr std::size_t ipv6_source_offset = rimcap::ip_header_offset + 8;
} // namespace

wg_tunnel::packet_action wg_tunnel::outgoing_handler(void*, _INTERMEDIATE_BUFFER& record)
{
    rimcap::frame_view frame(record);
    if (const auto own = match_own_datagram(frame, server_endpoint, local_udp_port))
        return pass_own_datagram(frame, *own);
    return packet_action::pass;
}

wg_tunnel::packet_action wg_tunnel::pass_own_datagram(rimcap::frame_view& frame, const own_datagram& own)
{
    if (own.family == family_ipv4) {
        std::uint32_t source = 0;
        frame.read(ipv4_source_offset, &source, 4);
        if (source != address_switching.local_ipv4_address) {
            address_switching.local_ipv4_address = source;
            if (log_level.load() >= 2)
                log(log_importance::information, "[TUN]: Switching local IPv4 address for the " + adapter_name() +
                                                     " to " + ipv4_text(source));
        }
    } else if (ipv6_header_word.load() == 0) {
        ipv6_header_word = frame.u32(rimcap::ip_header_offset);
        std::array<std::uint8_t, 16> source{};
        frame.read(ipv6_source_offset, source.data(), source.size());
        if (source != address_switching.local_ipv6_address) {
            address_switching.local_ipv6_address = source;
            if (log_level.load() >= 2)
                log(log_importance::information, "[TUN]: Switching local IPv6 address for the " + adapter_name() +
                                                     " to " + ipv6_text(source));
        }
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

    if (capture_enc)
        rimcap::write_capture_record(*capture_enc, frame.record());
    return packet_action::pass;
}
} // namespace wireguard
