// The tunnel's packet handlers on hand-built frames, with the real engine on both sides:
// the tunnel's own engine and a server engine inside the test that answers the
// handshake, opens what the tunnel sends and seals what it receives.
//
// Outgoing: the socket's own datagrams teach the local address, the outer IPv6 header
// word and the next hop, and handshake initiations go to the SOCKS5 relay; tunnelled
// packets wait for the first handshake, are answered above the MTU, get the tunnel
// address, DNS redirection and MSS clamping, and leave encrypted in one of four outer
// forms. Incoming: the handshake response is turned round, transport data is decrypted
// in place and delivered to the address it arrived on. Hostile frames never reach
// outside their record.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "packet_builder.h"
#include "tshark_check.h"
#include "socks5_test_support.h"
#include "config/address_parsers.h"
#include "support/engine_peer.h"
#include "wgengine/crypto.h"
#include "wgengine/handshake.h"
#include "wgengine/key_text.h"
#include "support/inner_packets.h"
#include "support/real_tunnel.h"

namespace
{
using namespace testpkt;
using tunnel_test::as_u32;
using tunnel_test::log_lines;
using tunnel_test::packet_verifies;
using tunnel_test::with_checksums;
using packet_action = wireguard::wg_tunnel::packet_action;

constexpr std::uint16_t ipv4_type = 0x0800;
constexpr std::uint16_t ipv6_type = 0x86DD;
constexpr std::uint16_t wg_server_port = 51820;
constexpr std::uint16_t local_port = 40000;
constexpr std::uint8_t next_hop[6] = {0x02, 0, 0, 0, 0, 0xBB};  // what load() writes as destination
constexpr std::uint8_t stack_mac[6] = {0x02, 0, 0, 0, 0, 0xAA}; // ... and as source

// The server is ipv4_b / ipv6_b, the adapter's address ipv4_a / ipv6_a.
constexpr ipv4_address tunnel4 = {10, 8, 0, 2};
constexpr ipv4_address remote4 = {10, 8, 0, 1};
constexpr ipv4_address dns4 = {10, 8, 0, 53};
constexpr ipv4_address asked4 = {8, 8, 8, 8};
constexpr ipv6_address tunnel6 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
constexpr ipv6_address remote6 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr ipv6_address link_local = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x21};
constexpr ipv6_address solicited = {0xff, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xff, 0, 0, 1};

class tunnel_handlers : public tunnel_test::real_tunnel_test
{
protected:
    void SetUp() override
    {
        real_tunnel_test::SetUp();
        peer = std::make_unique<tunnel_test::engine_peer>(server_keys.private_text, client_keys.public_text);
        ASSERT_TRUE(peer->ok());
    }

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
        t.server_endpoint.port = wg_server_port;
        t.local_udp_port = local_port;
        t.address_switching.tunnel_ipv4_address = as_u32(tunnel4);
        t.address_switching.tunnel_ipv6_address = tunnel6;
        return t;
    }

    static bool ipv6_server(const wireguard::wg_tunnel& t) { return t.server_endpoint.family == wireguard::family_ipv6; }
    static std::uint16_t server_type(const wireguard::wg_tunnel& t) { return ipv6_server(t) ? ipv6_type : ipv4_type; }
    static std::size_t outer_size(const wireguard::wg_tunnel& t) { return ipv6_server(t) ? 62 : 42; }

    // Runs the outgoing handler with the test's classification on the frame; the frame
    // as the handler left it is in `after`.
    packet_action outgoing(wireguard::wg_tunnel& t, std::uint16_t ether_type, const bytes& ip,
                           std::size_t extra = 0)
    {
        std::memset(&guarded.record, 0, sizeof guarded.record);
        load(guarded.record, ether_type, ip, extra);
        return run_outgoing(t);
    }
    packet_action run_outgoing(wireguard::wg_tunnel& t)
    {
        const auto action = t.outgoing_handler(nullptr, guarded.record, wireguard::classifier_ref(decide));
        EXPECT_TRUE(guarded.canary_intact());
        after.assign(guarded.record.frame, guarded.record.frame + std::min<std::size_t>(guarded.record.length, 1514));
        return action;
    }

    packet_action incoming(wireguard::wg_tunnel& t, std::uint16_t ether_type, const bytes& ip, std::size_t extra = 0)
    {
        std::memset(&guarded.record, 0, sizeof guarded.record);
        load(guarded.record, ether_type, ip, extra);
        guarded.record.direction = rimcap::direction_incoming;
        return run_incoming(t);
    }
    packet_action run_incoming(wireguard::wg_tunnel& t)
    {
        const auto action = t.incoming_handler(nullptr, guarded.record);
        EXPECT_TRUE(guarded.canary_intact());
        after.assign(guarded.record.frame, guarded.record.frame + std::min<std::size_t>(guarded.record.length, 1514));
        return action;
    }

    bytes frame_of(std::uint16_t ether_type, const bytes& ip, std::size_t extra = 0)
    {
        _INTERMEDIATE_BUFFER r{};
        load(r, ether_type, ip, extra);
        return bytes(r.frame, r.frame + r.length);
    }

    // A UDP datagram from the server to the socket's port, in the server's family.
    static bytes from_server(const wireguard::wg_tunnel& t, const bytes& payload, std::uint16_t source_port = wg_server_port)
    {
        if (ipv6_server(t))
            return with_checksums(ipv6(17, udp(source_port, local_port, payload), ipv6_b, ipv6_a));
        return with_checksums(ipv4(17, udp(source_port, local_port, payload), 5, 0x4000, ipv4_b, ipv4_a));
    }

    // The socket's own keep-alive: teaches the local address and the next hop (and, for
    // an IPv6 server, the header word 0x6ABCDEF0).
    void learn(wireguard::wg_tunnel& t)
    {
        if (ipv6_server(t)) {
            bytes ip = ipv6(17, udp(local_port, wg_server_port, pattern(32)), ipv6_a, ipv6_b);
            ip[0] = 0x6A, ip[1] = 0xBC, ip[2] = 0xDE, ip[3] = 0xF0;
            ASSERT_EQ(outgoing(t, ipv6_type, with_checksums(ip)), packet_action::pass);
        } else {
            ASSERT_EQ(outgoing(t, ipv4_type, with_checksums(ipv4(17, udp(local_port, wg_server_port, pattern(32))))),
                      packet_action::pass);
        }
    }

    // The tunnel's engine initiates, the server answers, the incoming handler turns the
    // answer round and the server takes the reply: both sides have the session.
    void handshake(wireguard::wg_tunnel& t)
    {
        std::array<std::uint8_t, 256> initiation{};
        const auto r = wireguard_force_handshake(t.engine_handle.get(), initiation.data(), initiation.size());
        ASSERT_EQ(r.op, WRITE_TO_NETWORK);
        ASSERT_EQ(r.size, 148u);
        const auto response = peer->read(bytes(initiation.begin(), initiation.begin() + 148));
        ASSERT_EQ(response.op, WRITE_TO_NETWORK);
        ASSERT_EQ(response.data.size(), 92u);
        ASSERT_EQ(incoming(t, server_type(t), from_server(t, response.data)), packet_action::revert);
        const std::size_t payload = outer_size(t);
        ASSERT_EQ(after.size(), payload + 32);
        const auto confirmed = peer->read(bytes(after.begin() + static_cast<std::ptrdiff_t>(payload), after.end()));
        ASSERT_EQ(confirmed.op, WIREGUARD_DONE) << "the server takes the reply as the session's keep-alive";
        ASSERT_TRUE(t.active.load());
    }

    // The datagram that the outgoing handler left in `after`, opened by the server.
    bytes opened(const wireguard::wg_tunnel& t)
    {
        const std::size_t payload = outer_size(t);
        if (after.size() <= payload)
            return {};
        const auto r = peer->read(bytes(after.begin() + static_cast<std::ptrdiff_t>(payload), after.end()));
        EXPECT_TRUE(r.op == WRITE_TO_TUNNEL_IPV4 || r.op == WRITE_TO_TUNNEL_IPV6) << "op " << r.op;
        return r.data;
    }

    // A packet sealed by the server, as a frame's IP packet from the server.
    bytes sealed(const wireguard::wg_tunnel& t, const bytes& packet)
    {
        const auto r = peer->write(packet);
        EXPECT_EQ(r.op, WRITE_TO_NETWORK);
        return from_server(t, r.data);
    }

    void record_events(wireguard::wg_tunnel& t)
    {
        t.event_callback = [this](wireguard::wg_tunnel_event e) { events.push_back(e); };
    }

    std::unique_ptr<tunnel_test::engine_peer> peer;
    std::function<bool(_INTERMEDIATE_BUFFER&)> decide = [](_INTERMEDIATE_BUFFER&) { return true; };
    guarded_record guarded;
    bytes after;
    std::vector<wireguard::wg_tunnel_event> events;
};

// ---- the socket's own datagrams -------------------------------------------------------------

TEST_F(tunnel_handlers, the_socket_s_ipv4_datagram_teaches_the_local_address_and_next_hop)
{
    auto& t = make(2);
    decide = [](_INTERMEDIATE_BUFFER&) -> bool { throw std::logic_error("own frames are never classified"); };
    const bytes ip = ipv4(17, udp(local_port, wg_server_port, pattern(148)));
    EXPECT_EQ(outgoing(t, ipv4_type, ip), packet_action::pass);
    EXPECT_EQ(after, frame_of(ipv4_type, ip)) << "passed unchanged";
    EXPECT_EQ(t.address_switching.local_ipv4_address, tunnel_test::ipv4(192, 0, 2, 10));
    EXPECT_EQ(0, std::memcmp(t.address_switching.next_hop_mac.data(), next_hop, 6));
    EXPECT_EQ(log_lines::instance().all(),
              std::vector<std::string>{"[TUN]: Switching local IPv4 address for the  to 192.0.2.10"})
        << "no default adapter yet: an empty name";

    // The same again: nothing new to learn, no line.
    EXPECT_EQ(outgoing(t, ipv4_type, ip), packet_action::pass);
    EXPECT_EQ(log_lines::instance().all().size(), 1u);

    // Below level 2 the address is learned without a line.
    log_lines::instance().clear();
    t.set_log_level(1);
    EXPECT_EQ(outgoing(t, ipv4_type, ipv4(17, udp(local_port, wg_server_port, pattern(32)), 5, 0x4000, ipv4_b, ipv4_b)),
              packet_action::pass);
    EXPECT_EQ(t.address_switching.local_ipv4_address, tunnel_test::ipv4(198, 51, 100, 7));
    EXPECT_TRUE(log_lines::instance().all().empty());
}

TEST_F(tunnel_handlers, other_frames_are_classified_and_teach_nothing)
{
    auto& t = make(3);
    int classified = 0;
    decide = [&](_INTERMEDIATE_BUFFER&) {
        ++classified;
        return false;
    };
    const std::vector<std::pair<std::uint16_t, bytes>> frames{
        {ipv4_type, ipv4(17, udp(local_port, wg_server_port + 1, pattern(148)))},
        {ipv4_type, ipv4(17, udp(local_port + 1, wg_server_port, pattern(148)))},
        {ipv4_type, ipv4(6, tcp(local_port, wg_server_port, {}))},
        {ipv4_type, ipv4(1, echo(8, pattern(20)))},
        {ipv6_type, ipv6(17, udp(local_port, wg_server_port, pattern(148)))},
    };
    for (const auto& [type, ip] : frames) {
        EXPECT_EQ(outgoing(t, type, ip), packet_action::pass);
        EXPECT_EQ(after, frame_of(type, ip));
    }
    EXPECT_EQ(classified, 5);
    EXPECT_EQ(outgoing(t, 0x0806, pattern(28)), packet_action::pass) << "ARP is not classified";
    EXPECT_EQ(classified, 5);
    EXPECT_EQ(t.address_switching.local_ipv4_address, 0u);
    EXPECT_EQ(t.address_switching.next_hop_mac, (std::array<std::uint8_t, 6>{}));
    EXPECT_TRUE(log_lines::instance().all().empty());
}

TEST_F(tunnel_handlers, the_socket_s_ipv6_datagram_teaches_the_header_word_once)
{
    auto& t = make(2, true);
    const bytes ip = ipv6(17, udp(local_port, wg_server_port, pattern(148)));
    EXPECT_EQ(outgoing(t, ipv6_type, ip), packet_action::pass);
    EXPECT_EQ(after, frame_of(ipv6_type, ip));
    EXPECT_EQ(t.ipv6_header_word.load(), 0x60012345u) << "as the frame holds it";
    EXPECT_EQ(t.outer_ipv6_header_word(), 0x60012345u);
    EXPECT_EQ(t.address_switching.local_ipv6_address, ipv6_a);
    EXPECT_EQ(log_lines::instance().all(),
              std::vector<std::string>{"[TUN]: Switching local IPv6 address for the  to 2001:db8::1"});

    // While the word is known, the source is not learned again.
    EXPECT_EQ(outgoing(t, ipv6_type, ipv6(17, udp(local_port, wg_server_port, pattern(32)), ipv6_b)), packet_action::pass);
    EXPECT_EQ(t.address_switching.local_ipv6_address, ipv6_a);
    // A forced handshake clears the word; the next own frame sets both again.
    t.ipv6_header_word = 0;
    EXPECT_EQ(t.outer_ipv6_header_word(), 0x60000000u) << "never 0 on the wire";
    EXPECT_EQ(outgoing(t, ipv6_type, ipv6(17, udp(local_port, wg_server_port, pattern(32)), ipv6_b)), packet_action::pass);
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
    const bytes initiation = ipv4(17, udp(local_port, wg_server_port, pattern(148)));
    const bytes keepalive = ipv4(17, udp(local_port, wg_server_port, pattern(32)));

    t.socks5_proxy_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, silent_proxy.port());
    t.reset_socks5_client();
    ASSERT_TRUE(wait_until([&] { return silent_proxy.scripts_done() == 1; }));
    EXPECT_EQ(outgoing(t, ipv4_type, initiation), packet_action::drop) << "relay not ready";
    EXPECT_EQ(outgoing(t, ipv4_type, keepalive), packet_action::pass) << "a keep-alive never waits for the relay";
    EXPECT_EQ(after, frame_of(ipv4_type, keepalive));
    EXPECT_EQ(t.socks5_pending.load(), 0);

    t.socks5_proxy_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, ready_proxy.port());
    t.reset_socks5_client();
    ASSERT_TRUE(wait_until([&] { return t.socks5.get()->ready(); }));
    EXPECT_EQ(outgoing(t, ipv4_type, initiation), packet_action::pass);
    ASSERT_EQ(after.size(), frame_of(ipv4_type, initiation).size() + 10) << "the SOCKS5 header in front";
    EXPECT_EQ(get16(&after[36]), 40001) << "to the relay port";
    EXPECT_EQ(after[30], 127);
    EXPECT_EQ(after[33], 1) << "at the proxy's address";
    EXPECT_EQ(get16(&after[38]), 166);
    EXPECT_TRUE(ipv4_header_verifies(guarded.record) && ipv4_transport_verifies(guarded.record))
        << "checksums recomputed";
    EXPECT_EQ(t.socks5_pending.load(), 1);
    EXPECT_EQ(outgoing(t, ipv4_type, keepalive), packet_action::pass);
    EXPECT_EQ(after, frame_of(ipv4_type, keepalive)) << "keep-alives leave unwrapped";
    EXPECT_EQ(t.socks5_pending.load(), 1);

    // A datagram from the relay is unwrapped, counts as the server's and resets the count.
    bytes relayed = testpkt::concat(bytes{0, 0, 0, 1}, testpkt::concat(bytes(ipv4_b.begin(), ipv4_b.end()), bytes{0xCA, 0x6C}));
    relayed = testpkt::concat(relayed, pattern(40));
    EXPECT_EQ(incoming(t, ipv4_type, ipv4(17, udp(40001, local_port, relayed), 5, 0, {127, 0, 0, 1}, ipv4_a)),
              packet_action::pass) << "not a handshake response or transport data: passes";
    EXPECT_EQ(t.socks5_pending.load(), 0);
    EXPECT_EQ(after, frame_of(ipv4_type, with_checksums(ipv4(17, udp(wg_server_port, local_port, pattern(40)),
                                                                        5, 0, ipv4_b, ipv4_a))))
        << "as if straight from the server";
    t.socks5.reset();
}

// ---- the gate ---------------------------------------------------------------------------------

TEST_F(tunnel_handlers, tunnelled_packets_wait_for_the_first_handshake_while_other_traffic_passes)
{
    auto& t = make(3);
    learn(t);
    bool tunnelled = true;
    decide = [&](_INTERMEDIATE_BUFFER&) { return tunnelled; };
    const bytes echo4 = ipv4(1, echo(8, pattern(56)), 5, 0x4000, ipv4_a, remote4);
    const bytes echo6 = ipv6(58, echo(128, pattern(56)), ipv6_a, remote6);

    struct gate_case {
        const char* name;
        bool active;
        bool critical;
        bool ipv4_address;
        bool ipv6_address;
        packet_action v4;
        packet_action v6;
    };
    const std::vector<gate_case> cases{
        {"before_the_first_handshake", false, false, true, true, packet_action::drop, packet_action::drop},
        {"after_a_socket_failure", true, true, true, true, packet_action::drop, packet_action::drop},
        {"no_tunnel_ipv4_address", true, false, false, true, packet_action::drop, packet_action::pass},
        {"no_tunnel_ipv6_address", true, false, true, false, packet_action::pass, packet_action::drop},
    };
    handshake(t);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        t.active = c.active;
        t.critical_error = c.critical;
        t.address_switching.tunnel_ipv4_address = c.ipv4_address ? as_u32(tunnel4) : 0;
        t.address_switching.tunnel_ipv6_address = c.ipv6_address ? tunnel6 : wireguard::ipv6_bytes{};
        tunnelled = true;
        EXPECT_EQ(outgoing(t, ipv4_type, echo4), c.v4);
        EXPECT_EQ(outgoing(t, ipv6_type, echo6), c.v6);
        tunnelled = false;
        EXPECT_EQ(outgoing(t, ipv4_type, echo4), packet_action::pass);
        EXPECT_EQ(after, frame_of(ipv4_type, echo4)) << "outside the tunnel: unchanged";
        EXPECT_EQ(outgoing(t, ipv6_type, echo6), packet_action::pass);
        EXPECT_EQ(after, frame_of(ipv6_type, echo6));
    }
    EXPECT_EQ(log_lines::instance().count_starting("[TUN]: wireguard_write"), 0u) << "gate drops have no line";
}

TEST_F(tunnel_handlers, without_a_session_the_engine_starts_a_handshake_and_then_the_gate_closes)
{
    auto& t = make(3);
    learn(t);
    t.active = true; // as if a session had been there
    const bytes echo4 = ipv4(1, echo(8, pattern(56)), 5, 0x4000, ipv4_a, remote4);
    EXPECT_EQ(outgoing(t, ipv4_type, echo4), packet_action::pass) << "the engine's initiation leaves in its place";
    ASSERT_EQ(after.size(), 42u + 148u);
    EXPECT_EQ(after[42], 1) << "a handshake initiation";
    EXPECT_EQ(get16(&after[34]), local_port);
    EXPECT_EQ(outgoing(t, ipv4_type, echo4), packet_action::drop) << "queued while the handshake runs";
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: wireguard_write result = 0 size = 0"));
    EXPECT_FALSE(t.active.load()) << "no handshake ever completed";
}

// ---- the handshake response -------------------------------------------------------------------

TEST_F(tunnel_handlers, the_handshake_response_is_turned_round_into_the_reply)
{
    for (const bool v6 : {false, true}) {
        SCOPED_TRACE(v6 ? "IPv6 server" : "IPv4 server");
        auto& t = make(2, v6);
        peer = std::make_unique<tunnel_test::engine_peer>(server_keys.private_text, client_keys.public_text);
        events.clear();
        record_events(t);
        learn(t);
        log_lines::instance().clear();
        std::array<std::uint8_t, 256> initiation{};
        ASSERT_EQ(wireguard_force_handshake(t.engine_handle.get(), initiation.data(), initiation.size()).size, 148u);
        const auto response = peer->read(bytes(initiation.begin(), initiation.begin() + 148));
        ASSERT_EQ(response.data.size(), 92u);

        const bytes in_ip = with_checksums(from_server(t, response.data));
        const bytes in = frame_of(server_type(t), in_ip);
        ASSERT_EQ(incoming(t, server_type(t), in_ip), packet_action::revert);
        ASSERT_EQ(after.size() + 60, in.size()) << "92-byte response, 32-byte reply";
        EXPECT_EQ(0, std::memcmp(&after[0], stack_mac, 6)) << "MACs swapped";
        EXPECT_EQ(0, std::memcmp(&after[6], next_hop, 6));
        const std::size_t udp_at = v6 ? 54 : 34;
        EXPECT_EQ(get16(&after[udp_at]), local_port);
        EXPECT_EQ(get16(&after[udp_at + 2]), wg_server_port);
        EXPECT_EQ(get16(&after[udp_at + 4]), 40);
        if (v6) {
            EXPECT_EQ(get16(&after[18]) + 60, get16(&in[18]));
            EXPECT_EQ(get16(&after[14]), 0x6ABC) << "the learned header word";
            EXPECT_EQ(after[21], 128);
            EXPECT_EQ(0, std::memcmp(&after[22], ipv6_a.data(), 16));
            EXPECT_EQ(0, std::memcmp(&after[38], ipv6_b.data(), 16));
            EXPECT_TRUE(ipv6_upper_verifies(guarded.record, 54, 17));
        } else {
            EXPECT_EQ(get16(&after[16]) + 60, get16(&in[16]));
            EXPECT_EQ(after[22], 128);
            EXPECT_EQ(0, std::memcmp(&after[26], ipv4_a.data(), 4));
            EXPECT_EQ(0, std::memcmp(&after[30], ipv4_b.data(), 4));
            EXPECT_TRUE(ipv4_header_verifies(guarded.record));
            EXPECT_TRUE(ipv4_transport_verifies(guarded.record));
        }
        EXPECT_EQ(peer->read(bytes(after.begin() + static_cast<std::ptrdiff_t>(udp_at + 8), after.end())).op,
                  WIREGUARD_DONE)
            << "the server takes the 32-byte reply";
        EXPECT_TRUE(t.active.load());
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, wireguard::tunnel_event::handshake_response_accepted);
        EXPECT_EQ(events[0].value, 0);
        EXPECT_EQ(log_lines::instance().all(),
                  std::vector<std::string>{std::string("[TUN]: Handshake response received from ") +
                                           (v6 ? "2001:db8::2" : "198.51.100.7") + " : 51820"});
        tunnel.reset();
    }
}

TEST_F(tunnel_handlers, a_cookie_reply_keys_the_mac2_of_the_next_initiation_and_goes_no_further)
{
    namespace wg = wireguard::engine;
    auto& t = make(2);
    learn(t);
    std::array<std::uint8_t, 148> first{};
    ASSERT_EQ(wireguard_force_handshake(t.engine_handle.get(), first.data(), first.size()).size, 148u);
    // The server's cookie, sealed under HASH("cookie--" || its key) with mac1 as data.
    const wg::cookie cookie = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    bytes reply(wg::cookie_reply::size);
    reply[0] = 3;
    std::copy_n(first.begin() + wg::initiation::sender, 4, reply.begin() + wg::cookie_reply::receiver);
    static constexpr std::uint8_t label[] = {'c', 'o', 'o', 'k', 'i', 'e', '-', '-'};
    std::uint8_t key[wg::crypto::hash_size];
    wg::crypto::hash(key, {label, wg::decode_key(server_keys.public_text).value()});
    wg::crypto::xaead_seal(reply.data() + wg::cookie_reply::encrypted_cookie, key, reply.data() + wg::cookie_reply::nonce,
                           cookie, std::span(first).subspan(wg::initiation::mac1, wg::crypto::mac_size));
    EXPECT_EQ(incoming(t, ipv4_type, from_server(t, reply)), packet_action::drop);

    std::array<std::uint8_t, 148> next{};
    ASSERT_EQ(wireguard_force_handshake(t.engine_handle.get(), next.data(), next.size()).size, 148u);
    EXPECT_TRUE(wg::check_mac2(cookie, next)) << "the server under load accepts it";
    const auto response = peer->read(bytes(next.begin(), next.end()));
    ASSERT_EQ(response.op, WRITE_TO_NETWORK);
    EXPECT_EQ(incoming(t, ipv4_type, from_server(t, response.data)), packet_action::revert);
    EXPECT_TRUE(t.active.load()) << "the handshake completes";
}

TEST_F(tunnel_handlers, responses_that_are_not_whole_or_not_accepted)
{
    auto& t = make(3);
    learn(t);
    std::array<std::uint8_t, 256> initiation{};
    ASSERT_EQ(wireguard_force_handshake(t.engine_handle.get(), initiation.data(), initiation.size()).size, 148u);
    const auto response = peer->read(bytes(initiation.begin(), initiation.begin() + 148));
    ASSERT_EQ(response.data.size(), 92u);

    // One byte more: dropped unread. One byte less: the engine refuses it, it passes up.
    EXPECT_EQ(incoming(t, ipv4_type, from_server(t, concat(response.data, {0}))), packet_action::drop);
    const bytes short_one = from_server(t, bytes(response.data.begin(), response.data.end() - 1));
    EXPECT_EQ(incoming(t, ipv4_type, short_one), packet_action::pass);
    EXPECT_EQ(after, frame_of(ipv4_type, short_one));
    // From the server's address but another port: not the server's.
    const bytes other_port = from_server(t, response.data, wg_server_port + 1);
    EXPECT_EQ(incoming(t, ipv4_type, other_port), packet_action::pass);
    EXPECT_EQ(after, frame_of(ipv4_type, other_port));
    // A forged response of the right size: refused, passes up unchanged.
    bytes forged = response.data;
    forged[60] ^= 1;
    EXPECT_EQ(incoming(t, ipv4_type, from_server(t, forged)), packet_action::pass);
    EXPECT_FALSE(t.active.load());
    // The real one still completes the handshake.
    EXPECT_EQ(incoming(t, ipv4_type, from_server(t, response.data)), packet_action::revert);
    EXPECT_TRUE(t.active.load());
    // The same response again: the engine has no initiation for it; it passes up.
    EXPECT_EQ(incoming(t, ipv4_type, from_server(t, response.data)), packet_action::pass);
}

// ---- encryption: the four outer forms -----------------------------------------------------------

TEST_F(tunnel_handlers, tunnelled_packets_leave_encrypted_in_the_four_outer_forms)
{
    for (const bool v6_server : {false, true}) {
        for (const bool v6_inner : {false, true}) {
            SCOPED_TRACE(std::string(v6_server ? "IPv6" : "IPv4") + " server, " + (v6_inner ? "IPv6" : "IPv4") +
                         " packet");
            auto& t = make(2, v6_server);
            peer = std::make_unique<tunnel_test::engine_peer>(server_keys.private_text, client_keys.public_text);
            events.clear();
            record_events(t);
            learn(t);
            handshake(t);
            t.ipv4_identification = 0x4110;
            bytes packet = v6_inner ? ipv6(58, echo(128, pattern(100)), ipv6_a, remote6)
                                    : ipv4(1, echo(8, pattern(100)), 5, 0x4000, ipv4_a, remote4);
            if (!v6_inner)
                packet[1] = 0x28; // type of service
            const std::uint16_t inner_type = v6_inner ? ipv6_type : ipv4_type;
            ASSERT_EQ(outgoing(t, inner_type, packet), packet_action::pass);
            const std::size_t n = packet.size() + 32;
            ASSERT_EQ(after.size(), outer_size(t) + n);
            EXPECT_EQ(0, std::memcmp(&after[0], next_hop, 6)) << "to the learned next hop";
            EXPECT_EQ(0, std::memcmp(&after[6], stack_mac, 6)) << "the stack's source MAC";
            if (v6_server) {
                EXPECT_EQ(get16(&after[12]), ipv6_type);
                EXPECT_EQ(get16(&after[14]), v6_inner ? 0x6001 : 0x6ABC) << "inner word, or the learned one";
                EXPECT_EQ(get16(&after[16]), v6_inner ? 0x2345 : 0xDEF0);
                EXPECT_EQ(get16(&after[18]), n + 8);
                EXPECT_EQ(after[20], 17);
                EXPECT_EQ(after[21], v6_inner ? 64 : 128) << "inner hop limit, or 128";
                EXPECT_EQ(0, std::memcmp(&after[22], ipv6_a.data(), 16)) << "from the learned address";
                EXPECT_EQ(0, std::memcmp(&after[38], ipv6_b.data(), 16));
                EXPECT_TRUE(ipv6_upper_verifies(guarded.record, 54, 17));
            } else {
                EXPECT_EQ(get16(&after[12]), ipv4_type);
                EXPECT_EQ(after[14], 0x45);
                EXPECT_EQ(after[15], v6_inner ? 0 : 0x28);
                EXPECT_EQ(get16(&after[16]), n + 28);
                EXPECT_EQ(get16(&after[18]), v6_inner ? 0x4111 : 0x1234) << "counter, or the inner identification";
                EXPECT_EQ(get16(&after[20]), v6_inner ? 0 : 0x4000);
                EXPECT_EQ(after[22], 128);
                EXPECT_EQ(after[23], 17);
                EXPECT_EQ(0, std::memcmp(&after[26], ipv4_a.data(), 4)) << "from the learned address";
                EXPECT_EQ(0, std::memcmp(&after[30], ipv4_b.data(), 4));
                EXPECT_TRUE(ipv4_header_verifies(guarded.record));
                EXPECT_TRUE(ipv4_transport_verifies(guarded.record));
            }
            const std::size_t udp_at = outer_size(t) - 8;
            EXPECT_EQ(get16(&after[udp_at]), local_port);
            EXPECT_EQ(get16(&after[udp_at + 2]), wg_server_port);
            EXPECT_EQ(get16(&after[udp_at + 4]), n + 8);
            EXPECT_EQ(t.ipv4_identification, v6_inner && !v6_server ? 0x4111 : 0x4110);

            // The server opens the packet as the tunnel sent it: from the tunnel address.
            const bytes inside = opened(t);
            ASSERT_EQ(inside.size(), packet.size());
            if (v6_inner) {
                EXPECT_EQ(0, std::memcmp(&inside[8], tunnel6.data(), 16));
            } else {
                EXPECT_EQ(0, std::memcmp(&inside[12], tunnel4.data(), 4));
            }
            EXPECT_TRUE(packet_verifies(inside));
            ASSERT_EQ(events.size(), 2u);
            EXPECT_EQ(events[1].type, wireguard::tunnel_event::packet_sent);
            EXPECT_EQ(events[1].value, static_cast<std::int64_t>(after.size() - 14));
            tunnel.reset();
        }
    }
}

TEST_F(tunnel_handlers, the_ipv6_source_teaches_the_local_address)
{
    auto& t = make(2);
    learn(t);
    handshake(t);
    log_lines::instance().clear();
    struct source_case {
        ipv6_address source;
        ipv6_address learned;
    };
    const std::vector<source_case> cases{
        {link_local, {}},       // not learned
        {ipv6_a, ipv6_a},       // a global address
        {tunnel6, tunnel6},     // the tunnel address itself
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outgoing(t, ipv6_type, ipv6(58, echo(128, pattern(8)), c.source, remote6)), packet_action::pass);
        EXPECT_EQ(t.address_switching.local_ipv6_address, c.learned);
        const bytes inside = opened(t);
        ASSERT_EQ(inside.size(), 56u);
        EXPECT_EQ(0, std::memcmp(&inside[8], tunnel6.data(), 16)) << "the tunnel address in every case";
    }
    EXPECT_EQ(log_lines::instance().all(),
              (std::vector<std::string>{"[TUN]: Switching local IPv6 address for the  to 2001:db8::1",
                                        "[TUN]: Switching local IPv6 address for the  to fd00::2"}));
}

TEST_F(tunnel_handlers, neighbour_discovery_leaves_unchanged)
{
    auto& t = make(3);
    for (const bool active : {false, true}) {
        t.active = active;
        for (const std::uint8_t type : {135, 136}) {
            const bytes nd = ipv6(58, echo(type, pattern(16)), link_local, solicited);
            EXPECT_EQ(outgoing(t, ipv6_type, nd), packet_action::pass);
            EXPECT_EQ(after, frame_of(ipv6_type, nd));
        }
    }
}

// ---- the MTU ------------------------------------------------------------------------------------

TEST_F(tunnel_handlers, packets_above_the_mtu_are_answered_or_dropped)
{
    auto& t = make(3);
    learn(t);
    handshake(t);
    auto ipv4_of = [](std::size_t total, std::uint16_t flags) {
        return ipv4(17, udp(5000, 6000, pattern(total - 28)), 5, flags, ipv4_a, remote4);
    };
    auto ipv6_of = [](std::size_t total) { return ipv6(17, udp(5000, 6000, pattern(total - 48)), ipv6_a, remote6); };

    EXPECT_EQ(outgoing(t, ipv4_type, ipv4_of(1420, 0x4000)), packet_action::pass) << "exactly the MTU";
    EXPECT_EQ(after.size(), 42u + 1420u + 32u);
    EXPECT_EQ(opened(t).size(), 1420u);

    EXPECT_EQ(outgoing(t, ipv4_type, ipv4_of(1421, 0x4000)), packet_action::revert);
    ASSERT_EQ(after.size(), 70u) << "an ICMP fragmentation-needed message";
    EXPECT_EQ(after[34], 3);
    EXPECT_EQ(after[35], 4);
    EXPECT_EQ(get16(&after[40]), 1420);
    EXPECT_EQ(0, std::memcmp(&after[30], ipv4_a.data(), 4)) << "to the sender";
    EXPECT_TRUE(log_lines::instance().contains(
        "[TUN]: Packet size is above MTU: ip_len = 1421 MTU = 1420 => Injecting ICMP unreachable"));

    EXPECT_EQ(outgoing(t, ipv4_type, ipv4_of(1421, 0x0000)), packet_action::drop) << "DF clear";
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: Packet size is above MTU: Dropping \n"));

    EXPECT_EQ(outgoing(t, ipv6_type, ipv6_of(1420)), packet_action::pass);
    EXPECT_EQ(opened(t).size(), 1420u);
    EXPECT_EQ(outgoing(t, ipv6_type, ipv6_of(1421)), packet_action::revert);
    EXPECT_EQ(after[54], 2) << "ICMPv6 packet too big";
    EXPECT_EQ(get16(&after[60]), 1420);
    EXPECT_TRUE(log_lines::instance().contains(
        "[TUN]: Packet size is above MTU: ip_len = 1421 MTU = 1420 => Injecting ICMP Packet Too Big"));

    // A configured MTU above a frame's room (1514 - 42 - 32 before an IPv4 server) is held to the room.
    t.mtu = 1500;
    t.mtu_configured = true;
    EXPECT_EQ(outgoing(t, ipv4_type, ipv4_of(1441, 0x4000)), packet_action::revert);
    EXPECT_EQ(get16(&after[40]), 1440);
    // The MSS clamp follows the same room: 1440 - 40, not 1500 - 40.
    EXPECT_EQ(outgoing(t, ipv4_type, ipv4(6, tcp(5000, 443, {}, 0x02, 1), 5, 0x4000, ipv4_a, remote4)),
              packet_action::pass);
    EXPECT_EQ(get16(&opened(t)[20 + 22]), 1400);
}

// ---- MSS ----------------------------------------------------------------------------------------

std::uint16_t mss_of(const bytes& ip, std::size_t tcp_at)
{
    return get16(&ip[tcp_at + 22]);
}

TEST_F(tunnel_handlers, syn_is_clamped_going_out_and_syn_ack_coming_in)
{
    auto& t = make(3);
    learn(t);
    handshake(t);

    // Outgoing: a bare SYN is clamped (1460 - 80 with the default MTU), a SYN+ACK is not.
    EXPECT_EQ(outgoing(t, ipv4_type, ipv4(6, tcp(5000, 443, {}, 0x02, 1), 5, 0x4000, ipv4_a, remote4)),
              packet_action::pass);
    bytes inside = opened(t);
    EXPECT_EQ(mss_of(inside, 20), 1380);
    EXPECT_TRUE(packet_verifies(inside));
    EXPECT_EQ(outgoing(t, ipv4_type, ipv4(6, tcp(5000, 443, {}, 0x12, 1), 5, 0x4000, ipv4_a, remote4)),
              packet_action::pass);
    inside = opened(t);
    EXPECT_EQ(mss_of(inside, 20), 1460);
    EXPECT_TRUE(packet_verifies(inside));
    EXPECT_EQ(outgoing(t, ipv6_type, ipv6(6, tcp(5000, 443, {}, 0x02, 1), ipv6_a, remote6)), packet_action::pass);
    inside = opened(t);
    EXPECT_EQ(mss_of(inside, 40), 1380);
    EXPECT_TRUE(packet_verifies(inside));

    // Incoming: a SYN+ACK is clamped before it reaches the stack, a SYN is not.
    EXPECT_EQ(incoming(t, ipv4_type, sealed(t, ipv4(6, tcp(443, 5000, {}, 0x12, 1), 5, 0x4000, remote4, tunnel4))),
              packet_action::pass);
    EXPECT_EQ(get16(&after[14 + 20 + 22]), 1380);
    EXPECT_TRUE(ipv4_transport_verifies(guarded.record));
    EXPECT_EQ(incoming(t, ipv4_type, sealed(t, ipv4(6, tcp(443, 5000, {}, 0x02, 1), 5, 0x4000, remote4, tunnel4))),
              packet_action::pass);
    EXPECT_EQ(get16(&after[14 + 20 + 22]), 1460);
    EXPECT_TRUE(ipv4_transport_verifies(guarded.record));
    EXPECT_EQ(incoming(t, ipv4_type, sealed(t, ipv6(6, tcp(443, 5000, {}, 0x12, 0), remote6, tunnel6))),
              packet_action::pass);
    ASSERT_EQ(after.size(), 14u + 40u + 24u) << "the option inserted";
    EXPECT_EQ(get16(&after[14 + 40 + 22]), 1360) << "1420 - 60";
    EXPECT_TRUE(ipv6_upper_verifies(guarded.record, 54, 6));

}

// ---- transport data -------------------------------------------------------------------------------

TEST_F(tunnel_handlers, transport_data_is_decrypted_in_place_for_the_address_it_arrived_on)
{
    for (const bool v6_server : {false, true}) {
        SCOPED_TRACE(v6_server ? "IPv6 server" : "IPv4 server");
        auto& t = make(2, v6_server);
        peer = std::make_unique<tunnel_test::engine_peer>(server_keys.private_text, client_keys.public_text);
        events.clear();
        record_events(t);
        learn(t);
        handshake(t);
        // The learned addresses stand for the other family.
        t.address_switching.local_ipv4_address = tunnel_test::ipv4(192, 168, 7, 7);
        t.address_switching.local_ipv6_address = tunnel_test::ipv6_bytes("2001:db8:7::7");

        const bytes reply4 = with_checksums(ipv4(1, echo(0, pattern(100)), 5, 0x4000, remote4, tunnel4));
        const bytes in = sealed(t, reply4);
        const std::size_t frame_length = 14 + in.size();
        ASSERT_EQ(incoming(t, server_type(t), in), packet_action::pass);
        ASSERT_EQ(after.size(), 14u + reply4.size());
        EXPECT_EQ(get16(&after[12]), ipv4_type);
        EXPECT_EQ(0, std::memcmp(&after[0], next_hop, 6)) << "the MACs as received";
        EXPECT_EQ(0, std::memcmp(&after[26], remote4.data(), 4));
        EXPECT_EQ(0, std::memcmp(&after[30], v6_server ? std::array<std::uint8_t, 4>{192, 168, 7, 7}.data()
                                                        : ipv4_a.data(),
                                 4))
            << "to the outer destination, or the learned IPv4 address";
        EXPECT_TRUE(ipv4_header_verifies(guarded.record));
        EXPECT_TRUE(ipv4_transport_verifies(guarded.record));
        EXPECT_EQ(guarded.record.direction, rimcap::direction_incoming);
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[1].type, wireguard::tunnel_event::packet_received);
        EXPECT_EQ(events[1].value, static_cast<std::int64_t>(frame_length - 14));

        const bytes reply6 = with_checksums(ipv6(58, echo(129, pattern(100)), remote6, tunnel6));
        ASSERT_EQ(incoming(t, server_type(t), sealed(t, reply6)), packet_action::pass);
        ASSERT_EQ(after.size(), 14u + reply6.size());
        EXPECT_EQ(get16(&after[12]), ipv6_type);
        EXPECT_EQ(0, std::memcmp(&after[38], v6_server ? ipv6_a.data() : tunnel_test::ipv6_bytes("2001:db8:7::7").data(),
                                 16))
            << "to the outer destination, or the learned IPv6 address";
        EXPECT_TRUE(ipv6_upper_verifies(guarded.record, 54, 58));
        tunnel.reset();
    }
}

TEST_F(tunnel_handlers, transport_data_before_the_first_handshake_passes_up_unread)
{
    auto& t = make(3);
    learn(t);
    handshake(t);
    t.active = false;
    const bytes in = sealed(t, ipv4(1, echo(0, pattern(10)), 5, 0, remote4, tunnel4));
    EXPECT_EQ(incoming(t, ipv4_type, in), packet_action::pass);
    EXPECT_EQ(after, frame_of(ipv4_type, in));
    t.active = true;
    EXPECT_EQ(incoming(t, ipv4_type, in), packet_action::pass);
    EXPECT_EQ(after.size(), 14u + 38u) << "not read before: it decrypts now";
}

TEST_F(tunnel_handlers, transport_data_that_cannot_be_opened_is_dropped_with_its_line)
{
    auto& t = make(3);
    learn(t);
    handshake(t);
    const bytes in = sealed(t, ipv4(1, echo(0, pattern(10)), 5, 0, remote4, tunnel4));
    EXPECT_EQ(incoming(t, ipv4_type, in), packet_action::pass);
    EXPECT_EQ(incoming(t, ipv4_type, in), packet_action::drop) << "replayed";
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: wireguard_read result = 2 size = 11"));
    const auto keepalive = peer->write({});
    EXPECT_EQ(incoming(t, ipv4_type, from_server(t, keepalive.data)), packet_action::drop);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: wireguard_read result = 0 size = 0"));
    bytes tampered = peer->write(ipv4(1, echo(0, pattern(10)), 5, 0, remote4, tunnel4)).data;
    tampered.back() ^= 0x80;
    EXPECT_EQ(incoming(t, ipv4_type, from_server(t, tampered)), packet_action::drop);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: wireguard_read result = 2 size = 9"));
}

TEST_F(tunnel_handlers, the_largest_datagrams_that_a_frame_holds_are_decrypted)
{
    // 1514 - 42 = 1472 payload bytes from an IPv4 server (1452 from an IPv6 one): a
    // 1440-byte (1420-byte) packet. The 1500-byte payload bound cannot be reached
    // within a frame; the datagram's own UDP length is what is read.
    for (const bool v6_server : {false, true}) {
        auto& t = make(2, v6_server);
        peer = std::make_unique<tunnel_test::engine_peer>(server_keys.private_text, client_keys.public_text);
        learn(t);
        handshake(t);
        const std::size_t inner = v6_server ? 1420 : 1440;
        const bytes in = sealed(t, ipv4(17, udp(6000, 5000, pattern(inner - 28)), 5, 0, remote4, tunnel4));
        ASSERT_EQ(14 + in.size(), 1514u);
        EXPECT_EQ(incoming(t, server_type(t), in), packet_action::pass);
        EXPECT_EQ(after.size(), 14u + inner);
        EXPECT_TRUE(ipv4_transport_verifies(guarded.record));
        tunnel.reset();
    }
}

TEST_F(tunnel_handlers, decrypted_packets_come_only_from_allowed_ips_or_an_awaited_dns_server)
{
    auto& t = make(3);
    learn(t);
    handshake(t);
    t.allowed_ips = wireguard::parse_prefix_list("10.8.0.0/24");
    t.set_dns_redirect_table(wireguard::dns_slot_table({wireguard::ip_address{{9, 9, 9, 9}}}));
    ASSERT_EQ(outgoing(t, ipv4_type, ipv4(17, udp(5353, 53, pattern(30)), 5, 0, ipv4_a, asked4)), packet_action::pass);
    const bytes answer = ipv4(17, udp(53, 5353, pattern(40)), 5, 0, {9, 9, 9, 9}, tunnel4);
    const std::pair<bytes, packet_action> cases[] = {
        {ipv4(1, echo(0, pattern(10)), 5, 0, remote4, tunnel4), packet_action::pass},
        {ipv4(1, echo(0, pattern(10)), 5, 0, {192, 168, 1, 5}, tunnel4), packet_action::drop},
        {answer, packet_action::pass},
        {answer, packet_action::drop}, // no longer awaited
    };
    for (const auto& [packet, action] : cases)
        EXPECT_EQ(incoming(t, ipv4_type, sealed(t, with_checksums(packet))), action);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: Decrypted packet from 192.168.1.5 dropped: its source is outside AllowedIPs"));
}

// ---- DNS ------------------------------------------------------------------------------------------

TEST_F(tunnel_handlers, a_dns_query_is_redirected_and_its_answer_translated_back)
{
    auto& t = make(3);
    learn(t);
    handshake(t);
    wireguard::ip_address server;
    std::copy(dns4.begin(), dns4.end(), server.address.begin());
    t.set_dns_redirect_table(wireguard::dns_slot_table({server}));

    EXPECT_EQ(outgoing(t, ipv4_type, ipv4(17, udp(5353, 53, pattern(30)), 5, 0, ipv4_a, asked4)), packet_action::pass);
    const bytes query = opened(t);
    ASSERT_EQ(query.size(), 58u);
    EXPECT_EQ(0, std::memcmp(&query[12], tunnel4.data(), 4));
    EXPECT_EQ(0, std::memcmp(&query[16], dns4.data(), 4)) << "to the configured server";
    EXPECT_TRUE(packet_verifies(query));
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: DNS request to 8.8.8.8 forwarded to 10.8.0.53"));

    const bytes answer = ipv4(17, udp(53, 5353, pattern(70)), 5, 0, dns4, tunnel4);
    EXPECT_EQ(incoming(t, ipv4_type, sealed(t, answer)), packet_action::pass);
    EXPECT_EQ(0, std::memcmp(&after[26], asked4.data(), 4)) << "from the address the application asked";
    EXPECT_EQ(0, std::memcmp(&after[30], ipv4_a.data(), 4));
    EXPECT_TRUE(ipv4_header_verifies(guarded.record));
    EXPECT_TRUE(ipv4_transport_verifies(guarded.record));
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: DNS response from 10.8.0.53 translated as from 8.8.8.8"));

    // A second answer finds no record and keeps its source.
    EXPECT_EQ(incoming(t, ipv4_type, sealed(t, answer)), packet_action::pass);
    EXPECT_EQ(0, std::memcmp(&after[26], dns4.data(), 4));

    // Both fragments of a split answer come from the address the application asked.
    EXPECT_EQ(outgoing(t, ipv4_type, ipv4(17, udp(5353, 53, pattern(30)), 5, 0, ipv4_a, asked4)), packet_action::pass);
    for (const bool first : {true, false}) {
        EXPECT_EQ(incoming(t, ipv4_type, sealed(t, tunnel_test::fragment_of(udp(53, 5353, pattern(400)), dns4, tunnel4,
                                                                           first))),
                  packet_action::pass);
        EXPECT_EQ(0, std::memcmp(&after[26], asked4.data(), 4));
        EXPECT_TRUE(ipv4_header_verifies(guarded.record));
    }
}

TEST_F(tunnel_handlers, without_dns_servers_a_query_keeps_its_destination)
{
    auto& t = make(3);
    learn(t);
    handshake(t);
    EXPECT_EQ(outgoing(t, ipv4_type, ipv4(17, udp(5353, 53, pattern(30)), 5, 0, ipv4_a, asked4)), packet_action::pass);
    const bytes query = opened(t);
    ASSERT_EQ(query.size(), 58u);
    EXPECT_EQ(0, std::memcmp(&query[16], asked4.data(), 4));
    EXPECT_TRUE(packet_verifies(query));
    EXPECT_EQ(log_lines::instance().count_starting("[TUN]: DNS"), 0u);
}

// ---- fragments ------------------------------------------------------------------------------------

TEST_F(tunnel_handlers, fragments_keep_their_payload_and_leave_without_fragment_flags_outside)
{
    auto& t = make(3);
    learn(t);
    handshake(t);
    // A later fragment: only the header changes; the outer header carries no MF or offset.
    const bytes later = ipv4(17, pattern(64), 5, 0x2000 | 20, ipv4_a, remote4);
    EXPECT_EQ(outgoing(t, ipv4_type, later), packet_action::pass);
    EXPECT_EQ(get16(&after[20]), 0) << "no MF, no offset outside";
    const bytes inside = opened(t);
    ASSERT_EQ(inside.size(), later.size());
    EXPECT_EQ(bytes(inside.begin() + 20, inside.end()), pattern(64));
    EXPECT_EQ(get16(&inside[6]), 0x2000 | 20);
    _INTERMEDIATE_BUFFER r{};
    load(r, ipv4_type, inside);
    EXPECT_TRUE(ipv4_header_verifies(r));
}

// ---- hostile frames ---------------------------------------------------------------------------------

TEST_F(tunnel_handlers, malformed_frames_pass_outside_the_tunnel_and_are_dropped_inside_it)
{
    auto& t = make(0);
    learn(t);
    handshake(t);
    auto total = [](bytes ip, std::uint16_t v) {
        put16(ip, 2, v);
        return ip;
    };
    auto first_byte = [](bytes ip, std::uint8_t v) {
        ip[0] = v;
        return ip;
    };
    auto payload_length = [](bytes ip, std::uint16_t v) {
        put16(ip, 4, v);
        return ip;
    };
    const bytes udp4 = ipv4(17, udp(5000, 6000, pattern(100)), 5, 0, ipv4_a, remote4);
    const bytes udp6 = ipv6(17, udp(5000, 6000, pattern(100)), ipv6_a, remote6);
    struct malformed_case {
        const char* name;
        std::uint16_t type;
        bytes ip;
        std::uint32_t length = 0; // 0: as built
    };
    const std::vector<malformed_case> cases{
        {"total_length_past_the_frame", ipv4_type, total(udp4, 200)},
        {"total_length_below_the_header", ipv4_type, total(udp4, 12)},
        {"ihl_below_five", ipv4_type, first_byte(udp4, 0x44)},
        {"ihl_past_the_frame", ipv4_type, first_byte(total(ipv4(17, {}, 5), 20), 0x4F)},
        {"version_6_in_an_ipv4_frame", ipv4_type, first_byte(udp4, 0x65)},
        {"payload_length_past_the_frame", ipv6_type, payload_length(udp6, 400)},
        {"version_4_in_an_ipv6_frame", ipv6_type, first_byte(udp6, 0x45)},
        {"frame_shorter_than_ethernet", ipv4_type, udp4, 13},
        {"frame_longer_than_the_area", ipv4_type, udp4, 1515},
        {"frame_length_far_out", ipv6_type, udp6, 100000},
        {"ipv4_header_cut_short", ipv4_type, udp4, 14 + 19},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool tunnelled : {true, false}) {
            decide = [&](_INTERMEDIATE_BUFFER&) { return tunnelled; };
            std::memset(&guarded.record, 0, sizeof guarded.record);
            load(guarded.record, c.type, c.ip);
            if (c.length)
                guarded.record.length = c.length;
            const _INTERMEDIATE_BUFFER before = guarded.record;
            EXPECT_EQ(run_outgoing(t), tunnelled ? packet_action::drop : packet_action::pass);
            if (!tunnelled) {
                EXPECT_EQ(0, std::memcmp(&before, &guarded.record, sizeof before)) << "passed unchanged";
            }

            // The same frame received: not from the server, it passes unchanged.
            guarded.record = before;
            guarded.record.direction = rimcap::direction_incoming;
            EXPECT_EQ(run_incoming(t), packet_action::pass);
            guarded.record.direction = before.direction;
            EXPECT_EQ(0, std::memcmp(&before, &guarded.record, sizeof before));
        }
    }
}

TEST_F(tunnel_handlers, malformed_datagrams_claiming_the_server_are_dropped)
{
    auto& t = make(3);
    learn(t);
    handshake(t);
    const bytes good = sealed(t, ipv4(1, echo(0, pattern(10)), 5, 0, remote4, tunnel4));
    auto udp_length = [](bytes ip, std::uint16_t v) {
        put16(ip, 24, v);
        return ip;
    };
    auto total = [](bytes ip, std::uint16_t v) {
        put16(ip, 2, v);
        return ip;
    };
    auto flags = [](bytes ip, std::uint16_t v) {
        put16(ip, 6, v);
        return ip;
    };
    struct claim_case {
        const char* name;
        bytes ip;
        packet_action expected;
    };
    const std::vector<claim_case> cases{
        {"udp_length_past_the_packet", udp_length(good, static_cast<std::uint16_t>(good.size() - 20 + 1)),
         packet_action::drop},
        {"udp_length_below_8", udp_length(good, 7), packet_action::drop},
        {"udp_length_0", udp_length(good, 0), packet_action::drop},
        {"total_length_past_the_frame", total(good, static_cast<std::uint16_t>(good.size() + 1)), packet_action::drop},
        {"first_fragment", flags(good, 0x2000), packet_action::drop},
        {"later_fragment_names_no_port", flags(good, 0x0010), packet_action::pass},
        {"empty_payload", ipv4(17, udp(wg_server_port, local_port, {}), 5, 0, ipv4_b, ipv4_a), packet_action::pass},
        {"unknown_message_type", ipv4(17, udp(wg_server_port, local_port, pattern(40, 9)), 5, 0, ipv4_b, ipv4_a),
         packet_action::pass},
        {"transport_data_too_short", ipv4(17, udp(wg_server_port, local_port, bytes{4, 0, 0, 0, 1, 2}), 5, 0, ipv4_b, ipv4_a),
         packet_action::drop},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(incoming(t, ipv4_type, c.ip), c.expected);
        if (c.expected == packet_action::pass) {
            EXPECT_EQ(after, frame_of(ipv4_type, c.ip));
        }
    }
    // Shorter UDP length than the payload: the engine gets only what the length says.
    const bytes shortened = udp_length(good, static_cast<std::uint16_t>(good.size() - 20 - 1));
    EXPECT_EQ(incoming(t, ipv4_type, shortened), packet_action::drop);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: wireguard_read result = 2 size = 9")) << "tag cut off";
    EXPECT_EQ(incoming(t, ipv4_type, good), packet_action::pass) << "the whole one still opens";
}

TEST_F(tunnel_handlers, many_thousand_mutated_frames_through_both_handlers)
{
    auto& t = make(0);
    learn(t);
    handshake(t);
    wireguard::ip_address server;
    std::copy(dns4.begin(), dns4.end(), server.address.begin());
    t.set_dns_redirect_table(wireguard::dns_slot_table({server}));

    frame_mutator mutator(20240611);
    // Frames that reach deep into both paths: transport data of every kind, handshake
    // responses, tunnelled packets of both families, DNS, own datagrams.
    std::vector<std::pair<std::uint16_t, bytes>> seeds;
    const std::vector<bytes> inner{
        ipv4(6, tcp(443, 5000, {}, 0x12, 1), 5, 0x4000, remote4, tunnel4),
        ipv4(17, udp(53, 5353, pattern(60)), 5, 0, dns4, tunnel4),
        ipv4(1, echo(0, pattern(200)), 6, 0x2000, remote4, tunnel4),
        ipv6(6, tcp(443, 5000, {}, 0x12, 2), remote6, tunnel6),
        ipv6(44, concat(fragment_header(17, 0, true), udp(53, 5353, pattern(40))), remote6, tunnel6),
    };
    for (int i = 0; i < 40; ++i)
        seeds.emplace_back(ipv4_type, sealed(t, inner[static_cast<std::size_t>(i) % inner.size()]));
    seeds.emplace_back(ipv4_type, from_server(t, concat(bytes{2, 0, 0, 0}, pattern(88))));
    seeds.emplace_back(ipv4_type, ipv4(6, tcp(5000, 443, {}, 0x02, 2), 5, 0x4000, ipv4_a, remote4));
    seeds.emplace_back(ipv4_type, ipv4(17, udp(5353, 53, pattern(30)), 5, 0x2000, ipv4_a, asked4));
    seeds.emplace_back(ipv6_type, ipv6(6, tcp(5000, 443, {}, 0x02, 0), ipv6_a, remote6));
    seeds.emplace_back(ipv6_type, ipv6(0, concat(options_header(17), udp(5353, 53, pattern(30))), ipv6_a, remote6));
    seeds.emplace_back(ipv4_type, ipv4(17, udp(local_port, wg_server_port, pattern(32))));
    seeds.emplace_back(ipv4_type, ipv4(17, udp(5000, 6000, pattern(1400)), 5, 0x4000, ipv4_a, remote4));

    for (int i = 0; i < 30000; ++i) {
        std::memset(&guarded.record, 0, sizeof guarded.record);
        if (i % 5 == 0) {
            // A hostile packet inside well-sealed transport data.
            bytes packet = inner[static_cast<std::size_t>(i / 5) % inner.size()];
            mutator.damage_packet(packet);
            t.active = true;
            load(guarded.record, ipv4_type, sealed(t, packet));
            guarded.record.direction = rimcap::direction_incoming;
            const auto in = run_incoming(t);
            ASSERT_LE(static_cast<std::uint32_t>(in), 2u);
            ASSERT_TRUE(guarded.canary_intact()) << "sealed, frame " << i;
            if (in == packet_action::pass) {
                rimcap::frame_view f(guarded.record);
                EXPECT_TRUE(f.ok()) << "a delivered packet passes the frame checks";
            }
            continue;
        }
        const auto& [type, ip] = seeds[static_cast<std::size_t>(i) % seeds.size()];
        load(guarded.record, type, ip);
        mutator.damage_frame(guarded.record, ip.size() + 14);
        const bool tunnelled = mutator.chance(200);
        decide = [&](_INTERMEDIATE_BUFFER&) { return tunnelled; };
        t.active = mutator.chance(240);
        const _INTERMEDIATE_BUFFER copy = guarded.record;
        const auto out = t.outgoing_handler(nullptr, guarded.record, wireguard::classifier_ref(decide));
        ASSERT_TRUE(guarded.canary_intact()) << "outgoing, frame " << i;
        ASSERT_LE(static_cast<std::uint32_t>(out), 2u);
        guarded.record = copy;
        guarded.record.direction = rimcap::direction_incoming;
        const auto in = t.incoming_handler(nullptr, guarded.record);
        ASSERT_TRUE(guarded.canary_intact()) << "incoming, frame " << i;
        ASSERT_LE(static_cast<std::uint32_t>(in), 2u);
        if (in != packet_action::drop && guarded.record.length <= 1514) {
            // Whatever goes on is a frame that the view accepts, or one that was there.
            rimcap::frame_view f(guarded.record);
            if (!f.ok()) {
                ASSERT_EQ(0, std::memcmp(copy.frame, guarded.record.frame, 1514)) << "incoming, frame " << i;
            }
        }
    }
}

TEST_F(tunnel_handlers, random_frames_through_both_handlers)
{
    auto& t = make(0);
    learn(t);
    handshake(t);
    frame_mutator mutator(99);
    for (int i = 0; i < 20000; ++i) {
        mutator.random_bytes(guarded.record);
        // Often aimed at the tunnel: IPv4 UDP to or from the server.
        if (i % 3 == 0) {
            const bytes ip = i % 2 ? ipv4(17, udp(local_port, wg_server_port, pattern(i % 200)))
                                   : from_server(t, concat(bytes{static_cast<std::uint8_t>(i % 5)}, pattern(i % 300)));
            std::memcpy(guarded.record.frame + 14, ip.data(), std::min<std::size_t>(ip.size(), 40));
            guarded.record.frame[12] = 0x08;
            guarded.record.frame[13] = 0x00;
        }
        guarded.record.length = mutator.random_length();
        decide = [&](_INTERMEDIATE_BUFFER&) { return i % 2 == 0; };
        t.outgoing_handler(nullptr, guarded.record, wireguard::classifier_ref(decide));
        t.incoming_handler(nullptr, guarded.record);
        ASSERT_TRUE(guarded.canary_intact());
    }
}

// ---- captures ---------------------------------------------------------------------------------------

std::size_t capture_records(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    in.seekg(24);
    std::size_t count = 0;
    std::uint8_t header[16];
    while (in.read(reinterpret_cast<char*>(header), 16)) {
        std::uint32_t captured;
        std::memcpy(&captured, header + 8, 4);
        in.seekg(captured, std::ios::cur);
        ++count;
    }
    return count;
}

TEST_F(tunnel_handlers, every_capture_point_holds_its_frames_with_good_checksums)
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("lorrivan_paths_" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string base = (folder / "lorrivan").string();
    {
        wireguard::wg_tunnel t(base, client_keys.private_text, server_keys.public_text, std::nullopt, 25, nullptr, 0);
        t.server_endpoint.family = wireguard::family_ipv4;
        std::copy(ipv4_b.begin(), ipv4_b.end(), t.server_endpoint.address.begin());
        t.server_endpoint.port = wg_server_port;
        t.local_udp_port = local_port;
        t.address_switching.tunnel_ipv4_address = as_u32(tunnel4);
        t.allowed_ips = wireguard::parse_prefix_list("0.0.0.0/0");
        learn(t);           // enc 1
        handshake(t);       // enc 2 (the response and the reply)
        bool tunnelled = true;
        decide = [&](_INTERMEDIATE_BUFFER&) { return tunnelled; };
        // lcl 1, tun 1, enc 1
        EXPECT_EQ(outgoing(t, ipv4_type, with_checksums(ipv4(1, echo(8, pattern(40)), 5, 0x4000, ipv4_a, remote4))),
                  packet_action::pass);
        // lcl 2 (the packet and the reply)
        EXPECT_EQ(outgoing(t, ipv4_type, with_checksums(ipv4(17, udp(5000, 6000, pattern(1400)), 5, 0x4000, ipv4_a, remote4))),
                  packet_action::revert);
        tunnelled = false;
        // ext 1
        EXPECT_EQ(outgoing(t, ipv4_type, with_checksums(ipv4(6, tcp(5000, 80, pattern(10)), 5, 0x4000, ipv4_a, asked4))),
                  packet_action::pass);
        // enc 1, tun 1, lcl 1
        EXPECT_EQ(incoming(t, ipv4_type, with_checksums(sealed(t, with_checksums(ipv4(1, echo(0, pattern(40)), 5, 0, remote4, tunnel4))))),
                  packet_action::pass);
        // ext 1
        EXPECT_EQ(incoming(t, ipv4_type, with_checksums(ipv4(17, udp(40001, 40002, pattern(20)), 5, 0, asked4, ipv4_a))),
                  packet_action::pass);
    }
    EXPECT_EQ(capture_records(base + "_enc.pcap"), 5u);
    EXPECT_EQ(capture_records(base + "_tun.pcap"), 2u);
    EXPECT_EQ(capture_records(base + "_lcl.pcap"), 4u);
    EXPECT_EQ(capture_records(base + "_ext.pcap"), 2u);
    if (testpkt::tshark_available()) {
        for (const char* suffix : {"_enc", "_tun", "_lcl", "_ext"}) {
            SCOPED_TRACE(suffix);
            const auto lines = testpkt::tshark_packet_lines(base + suffix + ".pcap");
            ASSERT_TRUE(lines.has_value());
            for (const std::string& line : *lines) {
                std::vector<std::string> fields = testpkt::tshark_fields(line);
                fields.resize(8);
                EXPECT_TRUE(fields[1].empty()) << "malformed: " << line;
                for (std::size_t k = 3; k < 8; ++k) {
                    std::size_t at = 0;
                    for (std::size_t comma; at <= fields[k].size(); at = comma + 1) {
                        comma = fields[k].find(',', at);
                        if (comma == std::string::npos)
                            comma = fields[k].size();
                        EXPECT_NE(fields[k].substr(at, comma - at), "0") << "a bad checksum: " << line;
                    }
                }
            }
        }
    }
    fs::remove_all(folder);
}
} // namespace
