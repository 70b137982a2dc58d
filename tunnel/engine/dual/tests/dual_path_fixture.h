#pragma once
// A dual tunnel set up as active for its three packet handlers, with no driver: the
// real engine with learned addressing, a default adapter view with the record's
// addresses, AllowedIPs holding both default routes, and a server engine inside the
// test that answers the handshake, opens what the tunnel sends and seals what it
// receives.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "packet_builder.h"
#include "support/engine_peer.h"
#include "support/inner_packets.h"
#include "support/tunnel_test_support.h"
#include "support/wg_responder.h"
#include "wg_dual_tunnel.h"

namespace dual_test
{
using namespace testpkt;
using packet_action = wireguard::wg_dual_tunnel::packet_action;
using tunnel_test::as_u32;

inline constexpr std::uint16_t ipv4_type = 0x0800;
inline constexpr std::uint16_t ipv6_type = 0x86DD;
inline constexpr std::uint16_t server_port = 51820;
inline constexpr std::uint16_t local_port = 40000;
inline constexpr std::uint16_t physical_mtu = 1400;
inline constexpr std::array<std::uint8_t, 6> next_hop = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
inline constexpr std::array<std::uint8_t, 6> own_mac = {0x00, 0x66, 0x77, 0x88, 0x99, 0xAA};
inline const std::string adapter_name = "{5A4B3C2D-0000-4000-8000-00AABBCCDDEE}";

// The server is ipv4_b / ipv6_b, the physical adapter's address ipv4_a / ipv6_a.
inline constexpr ipv4_address tunnel4 = {10, 8, 0, 2};
inline constexpr ipv4_address remote4 = {10, 8, 0, 1};
inline constexpr ipv4_address other4 = {10, 8, 0, 9};
inline constexpr ipv4_address dns4 = {10, 8, 0, 53};
inline constexpr ipv4_address asked4 = {8, 8, 8, 8};
inline constexpr ipv6_address tunnel6 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
inline constexpr ipv6_address remote6 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
inline constexpr ipv6_address link_local = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x21};

inline wireguard::ip_subnet default_route(std::uint8_t family)
{
    wireguard::ip_subnet s;
    s.family = family;
    if (family == wireguard::family_ipv6)
        s.subnet = wireguard::ipv6_subnet{};
    return s;
}

// The frame's checksums verify with the tests' own sum (IPv4 header and transport, or
// the IPv6 upper layer right behind the fixed header).
inline bool frame_verifies(const _INTERMEDIATE_BUFFER& r)
{
    if (r.frame[12] == 0x86)
        return ipv6_upper_verifies(r, 54, r.frame[20]);
    return ipv4_header_verifies(r) && ipv4_transport_verifies(r);
}

class dual_paths : public tunnel_test::tunnel_host_test
{
protected:
    void TearDown() override
    {
        tunnel.reset();
        tunnel_host_test::TearDown();
    }

    // A tunnel and a server engine of its own.
    wireguard::wg_dual_tunnel& make(bool ipv6_server = false, std::int32_t level = 3)
    {
        peer = std::make_unique<tunnel_test::engine_peer>(server_keys.private_text, client_keys.public_text);
        EXPECT_TRUE(peer->ok());
        tunnel = std::make_unique<wireguard::wg_dual_tunnel>(client_keys.private_text, server_keys.public_text,
                                                             std::nullopt, 0, &tunnel_test::log_lines::callback,
                                                             level);
        auto& t = *tunnel;
        t.server_endpoint.family = ipv6_server ? wireguard::family_ipv6 : wireguard::family_ipv4;
        if (ipv6_server)
            std::copy(ipv6_b.begin(), ipv6_b.end(), t.server_endpoint.address.begin());
        else
            std::copy(ipv4_b.begin(), ipv4_b.end(), t.server_endpoint.address.begin());
        t.server_endpoint.port = server_port;
        t.local_udp_port = local_port;
        t.tunnel_ipv4_address = as_u32(tunnel4);
        t.tunnel_ipv6_address = tunnel6;
        t.allowed_ips = {default_route(wireguard::family_ipv4), default_route(wireguard::family_ipv6)};
        // What the tunnel's own datagrams teach: the MACs and the address of the server's
        // family; the other family's address is the adapter record's.
        wireguard::physical_addressing a;
        if (ipv6_server)
            a.local_ipv6 = ipv6_a;
        else
            a.local_ipv4 = as_u32(ipv4_a);
        a.local_mac = own_mac;
        a.next_hop_mac = next_hop;
        t.learned.store(a);
        t.ipv6_header_word = 0x6ABCDEF0;
        t.default_view.store(std::make_shared<const wireguard::default_adapter_view>(
            wireguard::default_adapter_view{physical_mtu, adapter_name, as_u32(ipv4_a), ipv6_a}));
        t.event_callback = [this](wireguard::wg_tunnel_event e) { events.push_back(e); };
        t.active = true;
        return t;
    }

    // The DNS servers dns4 and the others given.
    template <class... More> void with_dns_server(wireguard::wg_dual_tunnel& t, More... more)
    {
        wireguard::ip_address server;
        std::copy(dns4.begin(), dns4.end(), server.address.begin());
        t.set_dns_redirect_table(wireguard::dns_slot_table({server, more...}));
    }

    // The tunnel's engine initiates, the server answers, the tunnel's engine takes the
    // answer and the server the reply: both sides hold the session.
    void handshake(wireguard::wg_dual_tunnel& t)
    {
        std::array<std::uint8_t, 256> buffer{};
        auto r = wireguard_force_handshake(t.engine_handle.get(), buffer.data(), buffer.size());
        ASSERT_EQ(r.size, 148u);
        const auto response = peer->read(bytes(buffer.begin(), buffer.begin() + 148));
        ASSERT_EQ(response.data.size(), 92u);
        r = wireguard_read(t.engine_handle.get(), response.data.data(), 92, buffer.data(), buffer.size());
        ASSERT_EQ(r.op, WRITE_TO_NETWORK);
        ASSERT_EQ(peer->read(bytes(buffer.begin(), buffer.begin() + 32)).op, WIREGUARD_DONE);
    }

    static bool v6_server(const wireguard::wg_dual_tunnel& t) { return t.server_endpoint.family == wireguard::family_ipv6; }
    static std::size_t outer_size(const wireguard::wg_dual_tunnel& t) { return v6_server(t) ? 62 : 42; }

    enum class handler { virtual_out, physical_out, incoming };

    // The handler's action on the record; the server's packets come in.
    packet_action handle(handler h, _INTERMEDIATE_BUFFER& r)
    {
        switch (h) {
        case handler::virtual_out:
            return tunnel->process_virtual_adapter_packet(r, wireguard::classifier_ref(decide));
        case handler::physical_out:
            return tunnel->process_default_adapter_packet(r, wireguard::classifier_ref(decide));
        case handler::incoming:
            break;
        }
        const std::uint32_t direction = r.direction;
        r.direction = rimcap::direction_incoming;
        const packet_action action = tunnel->process_server_packet(r);
        r.direction = direction;
        return action;
    }
    // The frame of that type around `ip`, through the handler in the guarded record; what
    // it left is in `after`.
    packet_action run(handler h, std::uint16_t type, const bytes& ip)
    {
        std::memset(&guarded.record, 0, sizeof guarded.record);
        load(guarded.record, type, ip);
        guarded.record.direction = h == handler::incoming ? rimcap::direction_incoming : rimcap::direction_outgoing;
        const packet_action action = handle(h, guarded.record);
        EXPECT_TRUE(guarded.canary_intact());
        after.assign(guarded.record.frame, guarded.record.frame + std::min<std::size_t>(guarded.record.length, 1514));
        return action;
    }
    packet_action virtual_out(std::uint16_t type, const bytes& ip) { return run(handler::virtual_out, type, ip); }
    packet_action physical_out(std::uint16_t type, const bytes& ip) { return run(handler::physical_out, type, ip); }
    packet_action incoming(std::uint16_t type, const bytes& ip) { return run(handler::incoming, type, ip); }

    // A UDP datagram from the server to the socket's port, in the server's family.
    bytes from_server(const bytes& payload) const
    {
        if (v6_server(*tunnel))
            return ipv6(17, udp(server_port, local_port, payload), ipv6_b, ipv6_a);
        return ipv4(17, udp(server_port, local_port, payload), 5, 0, ipv4_b, ipv4_a);
    }
    std::uint16_t server_type() const { return v6_server(*tunnel) ? ipv6_type : ipv4_type; }
    // A packet sealed by the server, as the IP packet of a frame from the server.
    bytes sealed(const bytes& packet)
    {
        const auto r = peer->write(packet);
        EXPECT_EQ(r.op, WRITE_TO_NETWORK);
        return from_server(r.data);
    }
    // The datagram that an outgoing handler left in `after`, opened by the server.
    bytes opened()
    {
        const std::size_t at = outer_size(*tunnel);
        if (after.size() <= at)
            return {};
        return peer->read(bytes(after.begin() + static_cast<std::ptrdiff_t>(at), after.end())).data;
    }
    // The IP packet in `after`.
    bytes after_ip() const { return bytes(after.begin() + 14, after.end()); }

    tunnel_test::key_pair client_keys;
    tunnel_test::key_pair server_keys;
    std::unique_ptr<tunnel_test::engine_peer> peer;
    std::unique_ptr<wireguard::wg_dual_tunnel> tunnel;
    std::function<bool(_INTERMEDIATE_BUFFER&)> decide = [](_INTERMEDIATE_BUFFER&) { return true; };
    guarded_record guarded;
    bytes after;
    std::vector<wireguard::wg_tunnel_event> events;
};
} // namespace dual_test
