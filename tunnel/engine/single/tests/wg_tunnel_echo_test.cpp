// A whole round trip on the simulated host: the tunnel starts, its handshake goes through
// the filter and the wire to a server in the test process and completes through the
// incoming path; an application's ICMP echo request, classified by the manager's
// classifier, leaves encrypted, the server opens it, sees it come from the tunnel
// address and answers; the answer comes back up to the stack, addressed to the local
// address, with good checksums.
#include <gtest/gtest.h>

#include <atomic>

#include "packet_builder.h"
#include "classify_packet.h"
#include "config/address_parsers.h"
#include "support/inner_packets.h"
#include "support/real_tunnel.h"

namespace
{
using namespace testpkt;
using tunnel_test::log_lines;
using tunnel_test::with_checksums;
using tunnel_test::wait_until;

struct test_manager {
    std::uint32_t log_level = 3;
    ::log_callback log_callback = &log_lines::callback;
    std::unique_ptr<wireguard::wg_config> config;
    bool dns_cache_bypass = false;
};

constexpr ipv4_address local4 = {192, 168, 1, 10};
constexpr ipv4_address tunnel4 = {10, 8, 0, 2};
constexpr ipv4_address remote4 = {10, 8, 0, 1};

// A whole frame into a record.
void load_frame(_INTERMEDIATE_BUFFER& r, const bytes& frame)
{
    std::memcpy(r.frame, frame.data(), std::min<std::size_t>(frame.size(), sizeof r.frame));
    r.length = static_cast<std::uint32_t>(frame.size());
}

bool is_echo(const bytes& ip, std::uint8_t type)
{
    return ip.size() >= 28 && ip[0] == 0x45 && ip[9] == 1 && ip[20] == type;
}

class tunnel_echo : public tunnel_test::real_tunnel_test
{
};

TEST_F(tunnel_echo, a_handshake_and_an_icmp_echo_through_the_filter_and_the_wire)
{
    start_server();
    std::atomic<int> requests_from_tunnel{0};
    responder->on_packet([&](const bytes& packet) -> bytes {
        if (!is_echo(packet, 8) || !std::equal(tunnel4.begin(), tunnel4.end(), packet.begin() + 12))
            return {};
        _INTERMEDIATE_BUFFER r{};
        load(r, 0x0800, packet);
        if (!ipv4_header_verifies(r) || !ipv4_transport_verifies(r))
            return {};
        ++requests_from_tunnel;
        bytes reply = packet;
        std::copy(packet.begin() + 16, packet.begin() + 20, reply.begin() + 12);
        std::copy(packet.begin() + 12, packet.begin() + 16, reply.begin() + 16);
        reply[20] = 0; // echo reply
        return with_checksums(reply);
    });

    test_manager manager;
    manager.config = std::make_unique<wireguard::wg_config>();
    manager.config->peer_config.allowed_ips = wireguard::parse_prefix_list("10.8.0.0/24");
    tunnel = std::make_unique<wireguard::wg_tunnel>(client_keys.private_text, server_keys.public_text, std::nullopt, 25,
                                                    &log_lines::callback, 3);
    auto& t = *tunnel;
    t.server_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, server_port);
    std::memcpy(&t.address_switching.tunnel_ipv4_address, tunnel4.data(), 4);
    t.address_switching.ipv4_prefix_length = 24;
    t.allowed_ips = manager.config->peer_config.allowed_ips;
    // The classifier is handed over by value and lives with the filter.
    ASSERT_TRUE(t.set_packet_filter(wireguard::classify_packet<test_manager>(manager)));
    t.notification_flag = true;

    ASSERT_EQ(t.start_internal(), wireguard::run_states::running) << log_lines::instance().text();
    ASSERT_TRUE(wait_until([&] { return t.active.load(); })) << log_lines::instance().text();

    // The application's echo request as the stack hands it to the adapter.
    const bytes request = with_checksums(ipv4(1, echo(8, pattern(56)), 5, 0x0000, local4, remote4));
    bytes frame(14 + request.size());
    std::copy(gateway_mac.begin(), gateway_mac.end(), frame.begin());
    std::copy(adapter.mac.begin(), adapter.mac.end(), frame.begin() + 6);
    frame[12] = 0x08;
    std::copy(request.begin(), request.end(), frame.begin() + 14);
    driver().inject(adapter.filter_handle, rimcap::direction_outgoing, frame);

    // It comes back up to the stack: an echo reply from the remote end to the local
    // address, with good checksums.
    simhost::delivery reply;
    ASSERT_TRUE(wait_until([&] {
        for (const auto& d : deliveries_to(simhost::destination::stack)) {
            const bytes ip(d.frame.begin() + 14, d.frame.end());
            if (d.frame.size() > 14 && is_echo(ip, 0)) {
                reply = d;
                return true;
            }
        }
        return false;
    })) << log_lines::instance().text();
    EXPECT_EQ(requests_from_tunnel.load(), 1);
    ASSERT_EQ(reply.frame.size(), 14u + request.size());
    EXPECT_TRUE(reply.by_program) << "delivered by the filter";
    EXPECT_EQ(reply.direction, rimcap::direction_incoming);
    EXPECT_TRUE(std::equal(remote4.begin(), remote4.end(), reply.frame.begin() + 26));
    EXPECT_TRUE(std::equal(local4.begin(), local4.end(), reply.frame.begin() + 30)) << "to the local address";
    EXPECT_EQ(bytes(reply.frame.begin() + 42, reply.frame.end()), bytes(request.begin() + 28, request.end()));
    _INTERMEDIATE_BUFFER r{};
    load_frame(r, reply.frame);
    EXPECT_TRUE(ipv4_header_verifies(r));
    EXPECT_TRUE(ipv4_transport_verifies(r));

    // On the wire in between: the encrypted request from the adapter's address and the
    // socket's port, to the server's endpoint and the next hop, with good checksums.
    bool encrypted_seen = false;
    for (const auto& d : deliveries_to(simhost::destination::wire)) {
        if (d.frame.size() != 42 + 32 + request.size())
            continue;
        encrypted_seen = true;
        EXPECT_TRUE(std::equal(gateway_mac.begin(), gateway_mac.end(), d.frame.begin()));
        EXPECT_TRUE(std::equal(local4.begin(), local4.end(), d.frame.begin() + 26));
        EXPECT_EQ(get16(&d.frame[34]), t.local_udp_port);
        EXPECT_EQ(get16(&d.frame[36]), server_port);
        EXPECT_EQ(d.frame[42], 4) << "transport data";
        _INTERMEDIATE_BUFFER w{};
        load_frame(w, d.frame);
        EXPECT_TRUE(ipv4_header_verifies(w));
        EXPECT_TRUE(ipv4_transport_verifies(w));
    }
    EXPECT_TRUE(encrypted_seen);
    EXPECT_TRUE(log_lines::instance().contains("[FILTER]: PROTOCOL 1 : 192.168.1.10 -> 10.8.0.1"));

    t.stop();
    tunnel.reset(); // before the manager that its classifier points to
}
} // namespace
