// The tunnel's packet handlers on hand-built frames: the socket's own datagrams teach
// the local address, the outer IPv6 header word and the next hop, and handshake
// initiations go to the SOCKS5 relay; everything else passes unchanged for now.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "../../netaccess/tests/packet_builder.h"
#include "socks5_test_support.h"
#include "support/real_tunnel.h"

namespace
{
using namespace testpkt;
using tunnel_test::log_lines;
using packet_action = wireguard::wg_tunnel::packet_action;

constexpr std::uint16_t server_port = 51820;
constexpr std::uint16_t local_port = 40000;
constexpr std::uint8_t next_hop[6] = {0x02, 0, 0, 0, 0, 0xBB}; // what load() writes

class tunnel_handlers : public tunnel_test::real_tunnel_test
{
protected:
    wireguard::wg_tunnel& make(std::int32_t level = 2, bool ipv6_server = false)
    {
        auto& t = make_tunnel(level);
        if (ipv6_server) {
            t.server_endpoint.family = wireguard::family_ipv6;
            std::copy(ipv6_b.begin(), ipv6_b.end(), t.server_endpoint.address.begin());
        } else {
            t.server_endpoint.family = wireguard::family_ipv4;
            std::copy(ipv4_b.begin(), ipv4_b.end(), t.server_endpoint.address.begin());
        }
        t.server_endpoint.port = server_port;
        t.local_udp_port = local_port;
        return t;
    }

    // Runs the outgoing handler on a copy of the frame and reports the action; the frame
    // as the handler left it is in `after`.
    packet_action outgoing(wireguard::wg_tunnel& t, std::uint16_t ether_type, const bytes& ip)
    {
        guarded.record = {};
        load(guarded.record, ether_type, ip);
        const auto action = t.outgoing_handler(nullptr, guarded.record);
        EXPECT_TRUE(guarded.canary_intact());
        after.assign(guarded.record.frame, guarded.record.frame + guarded.record.length);
        return action;
    }

    bytes frame_of(std::uint16_t ether_type, const bytes& ip)
    {
        _INTERMEDIATE_BUFFER r{};
        load(r, ether_type, ip);
        return bytes(r.frame, r.frame + r.length);
    }

    guarded_record guarded;
    bytes after;
};

TEST_F(tunnel_handlers, the_socket_s_ipv4_datagram_teaches_the_local_address_and_next_hop)
{
    auto& t = make(2);
    const bytes ip = ipv4(17, udp(local_port, server_port, pattern(148)));
    EXPECT_EQ(outgoing(t, 0x0800, ip), packet_action::pass);
    EXPECT_EQ(after, frame_of(0x0800, ip)) << "passed unchanged";
    EXPECT_EQ(t.address_switching.local_ipv4_address, tunnel_test::ipv4(192, 0, 2, 10));
    EXPECT_EQ(0, std::memcmp(t.address_switching.next_hop_mac.data(), next_hop, 6));
    EXPECT_EQ(log_lines::instance().all(),
              std::vector<std::string>{"[TUN]: Switching local IPv4 address for the  to 192.0.2.10"})
        << "no default adapter yet: an empty name";

    // The same again: nothing new to learn, no line.
    EXPECT_EQ(outgoing(t, 0x0800, ip), packet_action::pass);
    EXPECT_EQ(log_lines::instance().all().size(), 1u);

    // Below level 2 the address is learned without a line.
    log_lines::instance().clear();
    t.set_log_level(1);
    EXPECT_EQ(outgoing(t, 0x0800, ipv4(17, udp(local_port, server_port, pattern(32)), 5, 0x4000, ipv4_b, ipv4_b)),
              packet_action::pass);
    EXPECT_EQ(t.address_switching.local_ipv4_address, tunnel_test::ipv4(198, 51, 100, 7));
    EXPECT_TRUE(log_lines::instance().all().empty());
}

TEST_F(tunnel_handlers, other_frames_pass_unchanged_and_teach_nothing)
{
    auto& t = make(3);
    const std::vector<std::pair<std::uint16_t, bytes>> frames{
        {0x0800, ipv4(17, udp(local_port, server_port + 1, pattern(148)))},
        {0x0800, ipv4(17, udp(local_port + 1, server_port, pattern(148)))},
        {0x0800, ipv4(6, tcp(local_port, server_port, {}))},
        {0x0800, ipv4(1, echo(8, pattern(20)))},
        {0x86DD, ipv6(17, udp(local_port, server_port, pattern(148)))},
        {0x0806, pattern(28)},
    };
    for (const auto& [type, ip] : frames) {
        EXPECT_EQ(outgoing(t, type, ip), packet_action::pass);
        EXPECT_EQ(after, frame_of(type, ip));
    }
    EXPECT_EQ(t.address_switching.local_ipv4_address, 0u);
    EXPECT_EQ(t.address_switching.next_hop_mac, (std::array<std::uint8_t, 6>{}));
    EXPECT_TRUE(log_lines::instance().all().empty());
}

TEST_F(tunnel_handlers, the_socket_s_ipv6_datagram_teaches_the_header_word_once)
{
    auto& t = make(2, true);
    const bytes ip = ipv6(17, udp(local_port, server_port, pattern(148)));
    EXPECT_EQ(outgoing(t, 0x86DD, ip), packet_action::pass);
    EXPECT_EQ(after, frame_of(0x86DD, ip));
    EXPECT_EQ(t.ipv6_header_word.load(), 0x60012345u) << "as the frame holds it";
    EXPECT_EQ(t.outer_ipv6_header_word(), 0x60012345u);
    EXPECT_EQ(t.address_switching.local_ipv6_address, ipv6_a);
    EXPECT_EQ(log_lines::instance().all(),
              std::vector<std::string>{"[TUN]: Switching local IPv6 address for the  to 2001:db8::1"});

    // While the word is known, the source is not learned again.
    EXPECT_EQ(outgoing(t, 0x86DD, ipv6(17, udp(local_port, server_port, pattern(32)), ipv6_b)), packet_action::pass);
    EXPECT_EQ(t.address_switching.local_ipv6_address, ipv6_a);
    // A forced handshake clears the word; the next own frame sets both again.
    t.ipv6_header_word = 0;
    EXPECT_EQ(t.outer_ipv6_header_word(), 0x60000000u) << "never 0 on the wire";
    EXPECT_EQ(outgoing(t, 0x86DD, ipv6(17, udp(local_port, server_port, pattern(32)), ipv6_b)), packet_action::pass);
    EXPECT_EQ(t.address_switching.local_ipv6_address, ipv6_b);
    EXPECT_EQ(log_lines::instance().all().size(), 2u);
}

TEST_F(tunnel_handlers, initiations_go_through_a_ready_relay_and_wait_for_one_that_is_not)
{
    using namespace socks5_test;
    const bytes relay_reply = {5, 0, 0, 1, 127, 0, 0, 1, 0x9C, 0x41}; // relay port 40001
    scripted_proxy ready_proxy({step::recv(4), step::reply({5, 0}), step::recv(10), step::reply(relay_reply)});
    scripted_proxy silent_proxy({step::recv(4)});
    auto& t = make(2);
    const bytes initiation = ipv4(17, udp(local_port, server_port, pattern(148)));
    const bytes keepalive = ipv4(17, udp(local_port, server_port, pattern(32)));

    t.socks5_proxy_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, silent_proxy.port());
    t.reset_socks5_client();
    ASSERT_TRUE(wait_until([&] { return silent_proxy.scripts_done() == 1; }));
    EXPECT_EQ(outgoing(t, 0x0800, initiation), packet_action::drop) << "relay not ready";
    EXPECT_EQ(outgoing(t, 0x0800, keepalive), packet_action::pass) << "a keep-alive never waits for the relay";
    EXPECT_EQ(after, frame_of(0x0800, keepalive));
    EXPECT_EQ(t.socks5_pending.load(), 0);

    t.socks5_proxy_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, ready_proxy.port());
    t.reset_socks5_client();
    ASSERT_TRUE(wait_until([&] { return t.socks5.get()->ready(); }));
    EXPECT_EQ(outgoing(t, 0x0800, initiation), packet_action::pass);
    ASSERT_EQ(after.size(), frame_of(0x0800, initiation).size() + 10) << "the SOCKS5 header in front";
    EXPECT_EQ(get16(&after[36]), 40001) << "to the relay port";
    EXPECT_EQ(after[30], 127);
    EXPECT_EQ(after[33], 1) << "at the proxy's address";
    EXPECT_EQ(get16(&after[38]), 166);
    EXPECT_TRUE(ipv4_header_verifies(guarded.record) && ipv4_transport_verifies(guarded.record))
        << "checksums recomputed";
    EXPECT_EQ(t.socks5_pending.load(), 1);
    EXPECT_EQ(outgoing(t, 0x0800, keepalive), packet_action::pass);
    EXPECT_EQ(after, frame_of(0x0800, keepalive)) << "keep-alives leave unwrapped";
    EXPECT_EQ(t.socks5_pending.load(), 1);
    t.socks5.reset();
}

TEST_F(tunnel_handlers, own_frames_go_to_the_encrypted_capture)
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("lorrivan_handlers_" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string base = (folder / "lorrivan").string();
    {
        wireguard::wg_tunnel t(base, client_keys.private_text, server_keys.public_text, std::nullopt, 25, nullptr, 0);
        t.server_endpoint = tunnel_test::ipv4_endpoint(198, 51, 100, 7, server_port);
        t.local_udp_port = local_port;
        const bytes ip = ipv4(17, udp(local_port, server_port, pattern(148)));
        load(guarded.record, 0x0800, ip);
        EXPECT_EQ(t.outgoing_handler(nullptr, guarded.record), packet_action::pass);
    }
    EXPECT_EQ(fs::file_size(base + "_enc.pcap"), 24u + 16u + 14u + 28u + 148u);
    fs::remove_all(folder);
}

TEST_F(tunnel_handlers, incoming_frames_pass_unchanged)
{
    auto& t = make(3);
    const std::vector<std::pair<std::uint16_t, bytes>> frames{
        {0x0800, ipv4(17, udp(server_port, local_port, pattern(92)), 5, 0x4000, ipv4_b, ipv4_a)},
        {0x86DD, ipv6(17, udp(server_port, local_port, pattern(32)), ipv6_b, ipv6_a)},
        {0x0806, pattern(28)},
    };
    for (const auto& [type, ip] : frames) {
        load(guarded.record, type, ip);
        guarded.record.direction = rimcap::direction_incoming;
        EXPECT_EQ(t.incoming_handler(nullptr, guarded.record), packet_action::pass);
        EXPECT_EQ(bytes(guarded.record.frame, guarded.record.frame + guarded.record.length), frame_of(type, ip));
    }
}

TEST_F(tunnel_handlers, random_frames_through_both_handlers)
{
    auto& t = make(0);
    std::mt19937 random(99);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::uint32_t> length(0, 1600);
    for (int i = 0; i < 20000; ++i) {
        for (auto& b : guarded.record.frame)
            b = static_cast<std::uint8_t>(byte(random));
        // Often aimed at the tunnel: IPv4 UDP to the server from the socket's port.
        if (i % 3 == 0) {
            const bytes ip = ipv4(17, udp(local_port, server_port, pattern(i % 200)));
            std::memcpy(guarded.record.frame + 14, ip.data(), std::min<std::size_t>(ip.size(), 40));
            guarded.record.frame[12] = 0x08;
            guarded.record.frame[13] = 0x00;
        }
        guarded.record.length = length(random);
        t.outgoing_handler(nullptr, guarded.record);
        t.incoming_handler(nullptr, guarded.record);
        ASSERT_TRUE(guarded.canary_intact());
    }
}
} // namespace
