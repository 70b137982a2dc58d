// The packet paths against an engine whose answers the test scripts: what the handlers
// hand to wireguard_write and wireguard_read (the exact message and packet lengths, the
// capacities of the frame area), and what they do with answers that a sound engine
// never gives (a handshake reply of another size than 32 bytes, sizes beyond the
// destination, a decrypted packet that is not one).
#include <gtest/gtest.h>

#include "config/address_parsers.h"
#include "packet_builder.h"
#include "support/tunnel_test_support.h"
#include "scripted/scripted_engine.h"

namespace
{
using namespace testpkt;
using tunnel_test::log_lines;
using packet_action = wireguard::wg_tunnel::packet_action;

constexpr std::uint16_t wg_port = 51820;
constexpr std::uint16_t local_port = 40000;

class engine_answers : public tunnel_test::tunnel_host_test
{
protected:
    void SetUp() override
    {
        tunnel_host_test::SetUp();
        scripted::engine::instance().reset();
    }
    void TearDown() override
    {
        tunnel.reset();
        tunnel_host_test::TearDown();
    }

    wireguard::wg_tunnel& make(bool ipv6_server = false)
    {
        tunnel = std::make_unique<wireguard::wg_tunnel>("k-private", "k-public", std::nullopt, 25,
                                                        &log_lines::callback, 3);
        auto& t = *tunnel;
        t.server_endpoint.family = ipv6_server ? wireguard::family_ipv6 : wireguard::family_ipv4;
        if (ipv6_server)
            std::copy(ipv6_b.begin(), ipv6_b.end(), t.server_endpoint.address.begin());
        else
            std::copy(ipv4_b.begin(), ipv4_b.end(), t.server_endpoint.address.begin());
        t.server_endpoint.port = wg_port;
        t.local_udp_port = local_port;
        t.address_switching.tunnel_ipv4_address = tunnel_test::ipv4(10, 8, 0, 2);
        t.address_switching.local_ipv4_address = tunnel_test::ipv4(192, 0, 2, 10);
        t.address_switching.local_ipv6_address = ipv6_a;
        t.allowed_ips = wireguard::parse_prefix_list("0.0.0.0/0, ::/0");
        return t;
    }

    bytes from_server(const wireguard::wg_tunnel& t, const bytes& payload) const
    {
        if (t.server_endpoint.family == wireguard::family_ipv6)
            return ipv6(17, udp(wg_port, local_port, payload), ipv6_b, ipv6_a);
        return ipv4(17, udp(wg_port, local_port, payload), 5, 0, ipv4_b, ipv4_a);
    }

    packet_action incoming(wireguard::wg_tunnel& t, const bytes& ip)
    {
        std::memset(&guarded.record, 0, sizeof guarded.record);
        load(guarded.record, t.server_endpoint.family == wireguard::family_ipv6 ? 0x86DD : 0x0800, ip);
        guarded.record.direction = rimcap::direction_incoming;
        const auto action = t.incoming_handler(nullptr, guarded.record);
        EXPECT_TRUE(guarded.canary_intact());
        return action;
    }

    packet_action outgoing(wireguard::wg_tunnel& t, std::uint16_t type, const bytes& ip, std::size_t padding = 0)
    {
        std::memset(&guarded.record, 0, sizeof guarded.record);
        load(guarded.record, type, ip, padding);
        auto everything = [](_INTERMEDIATE_BUFFER&) { return true; };
        const auto action = t.outgoing_handler(nullptr, guarded.record, wireguard::classifier_ref(everything));
        EXPECT_TRUE(guarded.canary_intact());
        return action;
    }

    static scripted::engine& engine() { return scripted::engine::instance(); }

    std::unique_ptr<wireguard::wg_tunnel> tunnel;
    guarded_record guarded;
};

TEST_F(engine_answers, only_a_32_byte_reply_to_a_whole_response_is_sent)
{
    struct reply_case {
        std::size_t response;
        std::size_t reply;
        packet_action expected;
    };
    const std::vector<reply_case> cases{
        {92, 32, packet_action::revert},
        {92, 31, packet_action::drop},
        {92, 0, packet_action::drop},
        {92, 33, packet_action::drop}, // more than the destination holds
        {91, 32, packet_action::drop}, // a sound engine refuses a short response
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.response) + " / " + std::to_string(c.reply));
        auto& t = make();
        engine().reset();
        engine().push_read(WRITE_TO_NETWORK, c.reply);
        EXPECT_EQ(incoming(t, from_server(t, concat(bytes{2, 0, 0, 0}, pattern(c.response - 4)))), c.expected);
        ASSERT_EQ(engine().reads().size(), 1u);
        EXPECT_EQ(engine().reads()[0].source_size, c.response);
        EXPECT_EQ(engine().reads()[0].destination_size, 32u);
        EXPECT_EQ(t.active.load(), c.expected == packet_action::revert);
        if (c.expected == packet_action::revert) {
            EXPECT_EQ(guarded.record.length, 14u + 20u + 8u + 32u);
            for (std::size_t i = 0; i < 32; ++i)
                EXPECT_EQ(guarded.record.frame[42 + i], scripted::pattern_byte(i));
        }
    }
}

TEST_F(engine_answers, the_message_is_exactly_the_udp_payload)
{
    auto& t = make();
    t.active = true;
    for (const std::size_t n : {32u, 33u, 100u, 1472u}) {
        bytes ip = from_server(t, concat(bytes{4, 0, 0, 0}, pattern(n - 4)));
        engine().push_read(WIREGUARD_ERROR, 9);
        EXPECT_EQ(incoming(t, ip), packet_action::drop);
        // With bytes behind the datagram inside the IP packet: still the UDP length.
        put16(ip, 24, static_cast<std::uint16_t>(8 + n - 1));
        engine().push_read(WIREGUARD_ERROR, 9);
        EXPECT_EQ(incoming(t, ip), packet_action::drop);
    }
    const auto calls = engine().reads();
    ASSERT_EQ(calls.size(), 8u);
    const std::uint32_t expected[] = {32, 31, 33, 32, 100, 99, 1472, 1471};
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].source_size, expected[i]) << i;
        EXPECT_EQ(calls[i].destination_size, 1500u);
    }
    EXPECT_EQ(log_lines::instance().count("[TUN]: wireguard_read result = 2 size = 9"), 8u);
}

TEST_F(engine_answers, decrypted_packets_must_be_what_the_engine_says)
{
    auto& t = make();
    t.active = true;
    const bytes packet = ipv4(1, echo(0, pattern(20)), 5, 0, {10, 8, 0, 1}, {10, 8, 0, 2});
    const bytes largest = ipv4(17, udp(6000, 5000, pattern(1500 - 28)), 5, 0, {10, 8, 0, 1}, {10, 8, 0, 2});
    const bytes message = concat(bytes{4, 0, 0, 0}, pattern(80));
    struct answer_case {
        const char* name;
        result_type op;
        std::size_t size;
        bytes content;
        packet_action expected;
    };
    const std::vector<answer_case> cases{
        {"a_whole_ipv4_packet", WRITE_TO_TUNNEL_IPV4, packet.size(), packet, packet_action::pass},
        {"the_largest_packet_that_a_frame_holds", WRITE_TO_TUNNEL_IPV4, 1500, largest, packet_action::pass},
        {"more_than_the_destination", WRITE_TO_TUNNEL_IPV4, 1501, largest, packet_action::drop},
        {"shorter_than_its_total_length", WRITE_TO_TUNNEL_IPV4, packet.size() - 1, packet, packet_action::drop},
        {"not_a_packet", WRITE_TO_TUNNEL_IPV4, 60, {}, packet_action::drop},
        {"ipv4_bytes_called_ipv6", WRITE_TO_TUNNEL_IPV6, packet.size(), packet, packet_action::drop},
        {"nothing", WRITE_TO_TUNNEL_IPV4, 0, {}, packet_action::drop},
        {"a_datagram_for_the_network", WRITE_TO_NETWORK, 32, {}, packet_action::drop},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        engine().push_read(c.op, c.size, c.content);
        EXPECT_EQ(incoming(t, from_server(t, message)), c.expected);
        if (c.expected == packet_action::pass) {
            EXPECT_EQ(guarded.record.length, 14u + c.size);
            EXPECT_TRUE(ipv4_header_verifies(guarded.record));
            EXPECT_TRUE(ipv4_transport_verifies(guarded.record));
        }
    }
}

TEST_F(engine_answers, encryption_gets_the_packet_and_the_room_left_in_the_frame)
{
    for (const bool v6 : {false, true}) {
        SCOPED_TRACE(v6 ? "IPv6 server" : "IPv4 server");
        auto& t = make(v6);
        engine().reset();
        t.active = true;
        const bytes packet = ipv4(17, udp(5000, 6000, pattern(300)), 5, 0x4000, ipv4_a, {10, 8, 0, 1});
        engine().push_write(WRITE_TO_NETWORK, 300);
        EXPECT_EQ(outgoing(t, 0x0800, packet, 20), packet_action::pass) << "Ethernet padding is not encrypted";
        EXPECT_EQ(guarded.record.length, (v6 ? 62u : 42u) + 300u);
        // An answer larger than the room: dropped, with the line; no handshake ever: inactive.
        const std::size_t room = v6 ? 1452 : 1472;
        engine().push_write(WRITE_TO_NETWORK, room + 1);
        EXPECT_EQ(outgoing(t, 0x0800, packet), packet_action::drop);
        EXPECT_TRUE(log_lines::instance().contains("[TUN]: wireguard_write result = 1 size = " +
                                                    std::to_string(room + 1)));
        EXPECT_FALSE(t.active.load());
        const auto calls = engine().writes();
        ASSERT_EQ(calls.size(), 2u);
        for (const auto& call : calls) {
            EXPECT_EQ(call.source_size, packet.size());
            EXPECT_EQ(call.destination_size, room);
        }
    }
}

TEST_F(engine_answers, a_failed_write_keeps_the_tunnel_active_while_a_session_exists)
{
    auto& t = make();
    t.active = true;
    engine().set_stats(3, 0, 0);
    engine().push_write(WIREGUARD_ERROR, 13);
    EXPECT_EQ(outgoing(t, 0x0800, ipv4(1, echo(8, pattern(8)), 5, 0, ipv4_a, {10, 8, 0, 1})), packet_action::drop);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: wireguard_write result = 2 size = 13"));
    EXPECT_TRUE(t.active.load());
}
} // namespace
