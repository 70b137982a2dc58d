// The server's handshake response in a frame: what is taken and answered, and what is
// no action: truncated frames, length fields that lie, other sizes, other senders,
// fragments, extension headers past the frame, engine answers other than the 32-byte
// reply. No action leaves the record as it was; nothing is ever written outside it.
// (The turn-round itself is the packet steps' own, tested there.)
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "dual_test_support.h"

namespace
{
using namespace dual_test;
using testpkt::bytes;
using packet_action = wg_dual_tunnel::packet_action;

constexpr std::uint16_t server_port = 51820;
constexpr std::uint16_t local_port = 40000;

bytes response_udp(std::size_t size = 92, std::uint16_t from_port = server_port)
{
    bytes payload = testpkt::pattern(size);
    payload[0] = 2;
    return testpkt::udp(from_port, local_port, payload);
}

bytes ipv4_response(const bytes& udp, std::uint16_t flags_offset = 0x4000,
                    testpkt::ipv4_address source = {127, 0, 0, 1}, std::uint8_t protocol = 17)
{
    return testpkt::ipv4(protocol, udp, 5, flags_offset, source, {192, 168, 1, 10});
}

bytes ipv6_response(const bytes& payload, std::uint8_t next = 17)
{
    return testpkt::ipv6(next, payload, testpkt::ipv6_a, testpkt::ipv6_b);
}

bytes with_udp_length(std::uint16_t length)
{
    bytes udp = response_udp();
    testpkt::put16(udp, 4, length);
    return udp;
}

struct frame_case {
    const char* name;
    bool ipv6_server;
    std::uint16_t ether_type;
    bytes ip;
    std::function<void(_INTERMEDIATE_BUFFER&)> spoil{}; // after loading
    result_type op = WRITE_TO_NETWORK;                  // the engine's answer
    std::size_t size = 32;
};

class handshake_response : public dual_host_test
{
protected:
    wg_dual_tunnel& make_for(bool ipv6_server)
    {
        wg_dual_tunnel& t = make();
        if (ipv6_server) {
            t.server_endpoint.family = wireguard::family_ipv6;
            std::memcpy(t.server_endpoint.address.data(), testpkt::ipv6_a.data(), 16);
        } else {
            t.server_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, server_port);
        }
        t.server_endpoint.port = server_port;
        return t;
    }
};

TEST_F(handshake_response, frames_that_are_not_the_servers_whole_response_or_not_answered_by_a_reply_are_no_action)
{
    const bytes udp = response_udp();
    const bytes truncated_udp(udp.begin(), udp.begin() + 8 + 50); // the UDP length still says 100
    bytes long_options = testpkt::options_header(17);
    long_options[1] = 40; // 328 bytes, far past the packet
    const frame_case cases[] = {
        {"a payload of 91 bytes", false, 0x0800, ipv4_response(response_udp(91))},
        {"a payload of 93 bytes", false, 0x0800, ipv4_response(response_udp(93))},
        {"a UDP length one past the packet", false, 0x0800, ipv4_response(with_udp_length(8 + 92 + 1))},
        {"a UDP length one short of 92 bytes", false, 0x0800, ipv4_response(with_udp_length(8 + 91))},
        {"a UDP length of 65535", false, 0x0800, ipv4_response(with_udp_length(0xFFFF))},
        {"a truncated datagram whose UDP length says 92 bytes", false, 0x0800, ipv4_response(truncated_udp)},
        {"an IPv4 total length past the frame", false, 0x0800, ipv4_response(udp),
         [](_INTERMEDIATE_BUFFER& r) { r.length -= 10; }},
        {"a frame length past the frame area", false, 0x0800, ipv4_response(udp),
         [](_INTERMEDIATE_BUFFER& r) { r.length = 1515; }},
        {"another source port", false, 0x0800, ipv4_response(response_udp(92, server_port + 1))},
        {"another source address", false, 0x0800, ipv4_response(udp, 0x4000, {127, 0, 0, 2})},
        {"a first fragment", false, 0x0800, ipv4_response(udp, 0x2000)},
        {"a later fragment", false, 0x0800, ipv4_response(udp, 0x0010)},
        {"TCP, not UDP", false, 0x0800, ipv4_response(udp, 0x4000, {127, 0, 0, 1}, 6)},
        {"an IPv6 frame for an IPv4 server", false, 0x86DD, ipv6_response(udp)},
        {"an IPv4 frame for an IPv6 server", true, 0x0800, ipv4_response(udp)},
        {"an IPv6 option header past the packet", true, 0x86DD, ipv6_response(testpkt::concat(long_options, udp), 0)},
        {"an IPv6 payload length past the frame", true, 0x86DD, ipv6_response(udp),
         [](_INTERMEDIATE_BUFFER& r) { r.length -= 1; }},
        {"an IPv6 first fragment", true, 0x86DD,
         ipv6_response(testpkt::concat(testpkt::fragment_header(17, 0, true), udp), 44)},
        {"an IPv6 truncated datagram", true, 0x86DD, ipv6_response(truncated_udp)},
        // The engine's answers to the whole response, other than a 32-byte reply.
        {"nothing to send", false, 0x0800, ipv4_response(udp), {}, WIREGUARD_DONE, 0},
        {"an error", false, 0x0800, ipv4_response(udp), {}, WIREGUARD_ERROR, 2},
        {"a 31-byte datagram", false, 0x0800, ipv4_response(udp), {}, WRITE_TO_NETWORK, 31},
        {"a 33-byte datagram", false, 0x0800, ipv4_response(udp), {}, WRITE_TO_NETWORK, 33},
        {"a 148-byte datagram", false, 0x0800, ipv4_response(udp), {}, WRITE_TO_NETWORK, 148},
        {"a packet for the tunnel", false, 0x0800, ipv4_response(udp), {}, WRITE_TO_TUNNEL_IPV4, 32},
    };
    for (const frame_case& c : cases) {
        SCOPED_TRACE(c.name);
        wg_dual_tunnel& t = make_for(c.ipv6_server);
        engine().push_read(c.op, c.size);
        testpkt::guarded_record g;
        testpkt::load(g.record, c.ether_type, c.ip);
        if (c.spoil)
            c.spoil(g.record);
        const _INTERMEDIATE_BUFFER original = g.record;
        EXPECT_EQ(t.process_handshake_response(g.record), std::nullopt);
        EXPECT_EQ(std::memcmp(&original, &g.record, sizeof original), 0) << "the record was changed";
        EXPECT_TRUE(g.canary_intact());
        const auto reads = engine().reads();
        if (c.op == WRITE_TO_NETWORK && c.size == 32) {
            EXPECT_TRUE(reads.empty()) << "the engine was given the frame";
        } else {
            ASSERT_EQ(reads.size(), 1u);
            EXPECT_EQ(reads[0].source_size, 92u);
            EXPECT_EQ(reads[0].destination_size, 32u);
        }
        EXPECT_EQ(event_count(wireguard::tunnel_event::handshake_response_accepted), 0u);
        engine().reset();
        tunnel.reset();
    }
}

struct reply_case {
    const char* name;
    bool ipv6_server;
    std::uint32_t learned_word;
    std::uint32_t reply_word; // IPv6
};

TEST_F(handshake_response, the_response_turns_round_into_the_engines_reply)
{
    const bytes headers = testpkt::concat(testpkt::options_header(60, 1), testpkt::options_header(17));
    const reply_case cases[] = {
        {"IPv4, with Ethernet padding behind the packet", false, 0, 0},
        {"IPv6 behind extension headers, no word learned", true, 0, 0x60000000u},
        {"IPv6 behind extension headers, the learned word", true, 0x6012345Au, 0x6012345Au},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        wg_dual_tunnel& t = make_for(c.ipv6_server);
        t.ipv6_header_word = c.learned_word;
        engine().push_read(WRITE_TO_NETWORK, 32);
        testpkt::guarded_record g;
        if (c.ipv6_server)
            testpkt::load(g.record, 0x86DD, ipv6_response(testpkt::concat(headers, response_udp()), 0));
        else
            testpkt::load(g.record, 0x0800, ipv4_response(response_udp()), 6);
        EXPECT_EQ(t.process_handshake_response(g.record), packet_action::revert);
        EXPECT_TRUE(g.canary_intact());
        const std::uint8_t* f = g.record.frame;
        const std::size_t udp = c.ipv6_server ? 14 + 40 + headers.size() : 14 + 20;
        ASSERT_EQ(g.record.length, udp + 8 + 32);
        EXPECT_EQ(testpkt::get16(f + udp), local_port);
        for (std::size_t i = 0; i < 32; ++i)
            ASSERT_EQ(f[udp + 8 + i], scripted::pattern_byte(i));
        if (c.ipv6_server) {
            EXPECT_EQ(static_cast<std::uint32_t>(testpkt::get16(f + 14)) << 16 | testpkt::get16(f + 16), c.reply_word);
            EXPECT_TRUE(testpkt::ipv6_upper_verifies(g.record, udp, 17));
        } else {
            EXPECT_TRUE(testpkt::ipv4_header_verifies(g.record));
            EXPECT_TRUE(testpkt::ipv4_transport_verifies(g.record));
        }
        EXPECT_EQ(event_count(wireguard::tunnel_event::handshake_response_accepted), 1u);
        tunnel.reset(); // waits for the activation, which finds the tunnel stopped
        EXPECT_FALSE(logs().contains(trying_to_activate));
        engine().reset();
        events.clear();
    }
}
} // namespace
