// The server's handshake response in a frame: what is taken and answered, and what is
// no action: truncated frames, length fields that lie, other sizes, other senders,
// fragments, extension headers past the frame, engine answers of the wrong size. No
// action leaves the record as it was; nothing is ever written outside it.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "dual_test_support.h"

namespace
{
using namespace dual_test;
using testpkt::bytes;
using packet_action = wg_dual_tunnel::packet_action;

constexpr std::uint16_t server_port = 51820;
constexpr std::uint16_t local_port = 40000;

bytes response_payload(std::size_t size = 92)
{
    bytes payload = testpkt::pattern(size);
    payload[0] = 2;
    return payload;
}

bytes ipv4_response(const bytes& udp, std::uint16_t flags_offset = 0x4000,
                    testpkt::ipv4_address source = {127, 0, 0, 1})
{
    return testpkt::ipv4(17, udp, 5, flags_offset, source, {192, 168, 1, 10});
}

bytes ipv6_response(const bytes& payload, std::uint8_t next = 17)
{
    return testpkt::ipv6(next, payload, testpkt::ipv6_a, testpkt::ipv6_b);
}

struct frame_case {
    const char* name;
    bool ipv6_server;
    std::uint16_t ether_type;
    bytes ip;
    std::size_t extra = 0;                          // frame bytes after the packet
    std::function<void(_INTERMEDIATE_BUFFER&)> spoil{}; // after loading
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

std::vector<frame_case> no_action_cases()
{
    const bytes udp = testpkt::udp(server_port, local_port, response_payload());
    bytes long_udp_field = udp;
    testpkt::put16(long_udp_field, 4, 8 + 92 + 1);
    bytes short_udp_field = udp;
    testpkt::put16(short_udp_field, 4, 8 + 91);
    bytes huge_udp_field = udp;
    testpkt::put16(huge_udp_field, 4, 0xFFFF);
    const bytes truncated_udp(udp.begin(), udp.begin() + 8 + 50); // the UDP length still says 100
    bytes long_options = testpkt::options_header(17);
    long_options[1] = 40; // 328 bytes, far past the packet

    return {
        {"a payload of 91 bytes", false, 0x0800, ipv4_response(testpkt::udp(server_port, local_port, response_payload(91)))},
        {"a payload of 93 bytes", false, 0x0800, ipv4_response(testpkt::udp(server_port, local_port, response_payload(93)))},
        {"a UDP length one past the packet", false, 0x0800, ipv4_response(long_udp_field)},
        {"a UDP length one short of 92 bytes", false, 0x0800, ipv4_response(short_udp_field)},
        {"a UDP length of 65535", false, 0x0800, ipv4_response(huge_udp_field)},
        {"a truncated datagram whose UDP length says 92 bytes", false, 0x0800, ipv4_response(truncated_udp)},
        {"an IPv4 total length past the frame", false, 0x0800, ipv4_response(udp), 0,
         [](_INTERMEDIATE_BUFFER& r) { r.length -= 10; }},
        {"a frame length past the frame area", false, 0x0800, ipv4_response(udp), 0,
         [](_INTERMEDIATE_BUFFER& r) { r.length = 1515; }},
        {"another source port", false, 0x0800, ipv4_response(testpkt::udp(server_port + 1, local_port, response_payload()))},
        {"another source address", false, 0x0800, ipv4_response(udp, 0x4000, {127, 0, 0, 2})},
        {"a first fragment", false, 0x0800, ipv4_response(udp, 0x2000)},
        {"a later fragment", false, 0x0800, ipv4_response(udp, 0x0010)},
        {"TCP, not UDP", false, 0x0800, testpkt::ipv4(6, udp, 5, 0x4000, {127, 0, 0, 1}, {192, 168, 1, 10})},
        {"an IPv6 frame for an IPv4 server", false, 0x86DD, ipv6_response(udp)},
        {"an IPv4 frame for an IPv6 server", true, 0x0800, ipv4_response(udp)},
        {"an IPv6 option header past the packet", true, 0x86DD, ipv6_response(testpkt::concat(long_options, udp), 0)},
        {"an IPv6 payload length past the frame", true, 0x86DD, ipv6_response(udp), 0,
         [](_INTERMEDIATE_BUFFER& r) { r.length -= 1; }},
        {"an IPv6 first fragment", true, 0x86DD,
         ipv6_response(testpkt::concat(testpkt::fragment_header(17, 0, true), udp), 44)},
        {"an IPv6 truncated datagram", true, 0x86DD, ipv6_response(truncated_udp)},
    };
}

TEST_F(handshake_response, frames_that_are_not_the_servers_whole_response_are_no_action)
{
    for (const frame_case& c : no_action_cases()) {
        SCOPED_TRACE(c.name);
        wg_dual_tunnel& t = make_for(c.ipv6_server);
        engine().push_read(WRITE_TO_NETWORK, 32);
        testpkt::guarded_record g;
        testpkt::load(g.record, c.ether_type, c.ip, c.extra);
        if (c.spoil)
            c.spoil(g.record);
        const _INTERMEDIATE_BUFFER original = g.record;
        EXPECT_EQ(t.process_handshake_response(g.record), std::nullopt);
        EXPECT_EQ(std::memcmp(&original, &g.record, sizeof original), 0) << "the record was changed";
        EXPECT_TRUE(g.canary_intact());
        EXPECT_TRUE(engine().reads().empty()) << "the engine was given the frame";
        engine().reset();
        tunnel.reset();
    }
}

struct engine_answer_case {
    const char* name;
    result_type op;
    std::size_t size;
};

TEST_F(handshake_response, an_engine_answer_other_than_a_32_byte_reply_is_no_action)
{
    const engine_answer_case cases[] = {
        {"nothing to send", WIREGUARD_DONE, 0},   {"an error", WIREGUARD_ERROR, 2},
        {"a 31-byte datagram", WRITE_TO_NETWORK, 31}, {"a 33-byte datagram", WRITE_TO_NETWORK, 33},
        {"a 148-byte datagram", WRITE_TO_NETWORK, 148}, {"a packet for the tunnel", WRITE_TO_TUNNEL_IPV4, 32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        wg_dual_tunnel& t = make_for(false);
        engine().push_read(c.op, c.size);
        testpkt::guarded_record g;
        testpkt::load(g.record, 0x0800, ipv4_response(testpkt::udp(server_port, local_port, response_payload())));
        const _INTERMEDIATE_BUFFER original = g.record;
        EXPECT_EQ(t.process_handshake_response(g.record), std::nullopt);
        EXPECT_EQ(std::memcmp(&original, &g.record, sizeof original), 0);
        EXPECT_TRUE(g.canary_intact());
        const auto reads = engine().reads();
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_EQ(reads[0].source_size, 92u);
        EXPECT_EQ(reads[0].destination_size, 32u);
        EXPECT_EQ(event_count(wireguard::tunnel_event::handshake_response_accepted), 0u);
        engine().reset();
        tunnel.reset();
    }
}

TEST_F(handshake_response, an_ipv4_response_turns_round_into_the_reply)
{
    wg_dual_tunnel& t = make_for(false);
    engine().push_read(WRITE_TO_NETWORK, 32);
    testpkt::guarded_record g;
    // Ethernet padding behind the packet is not part of the reply.
    testpkt::load(g.record, 0x0800, ipv4_response(testpkt::udp(server_port, local_port, response_payload())), 6);
    EXPECT_EQ(t.process_handshake_response(g.record), packet_action::revert);
    EXPECT_TRUE(g.canary_intact());
    const std::uint8_t* f = g.record.frame;
    EXPECT_EQ(g.record.length, 14u + 20 + 8 + 32);
    EXPECT_EQ(testpkt::get16(f + 16), 20 + 8 + 32) << "IPv4 total length";
    EXPECT_EQ(f[22], 128) << "TTL";
    EXPECT_EQ(testpkt::get16(f + 38), 8 + 32) << "UDP length";
    EXPECT_EQ(testpkt::get16(f + 34), local_port);
    EXPECT_EQ(testpkt::get16(f + 36), server_port);
    EXPECT_EQ(bytes(f + 26, f + 34), (bytes{192, 168, 1, 10, 127, 0, 0, 1}));
    EXPECT_EQ(bytes(f, f + 12), (bytes{0x02, 0, 0, 0, 0, 0xAA, 0x02, 0, 0, 0, 0, 0xBB})) << "MACs swapped";
    for (std::size_t i = 0; i < 32; ++i)
        ASSERT_EQ(f[42 + i], scripted::pattern_byte(i));
    EXPECT_TRUE(testpkt::ipv4_header_verifies(g.record));
    EXPECT_TRUE(testpkt::ipv4_transport_verifies(g.record));
    EXPECT_EQ(event_count(wireguard::tunnel_event::handshake_response_accepted), 1u);
    tunnel.reset(); // waits for the activation, which finds the tunnel stopped
    EXPECT_FALSE(logs().contains(trying_to_activate));
}

TEST_F(handshake_response, an_ipv6_response_behind_extension_headers_turns_round_with_the_learned_word)
{
    for (const std::uint32_t learned : {0u, 0x6012345Au}) {
        SCOPED_TRACE(learned);
        wg_dual_tunnel& t = make_for(true);
        t.ipv6_header_word = learned;
        engine().push_read(WRITE_TO_NETWORK, 32);
        const bytes headers = testpkt::concat(testpkt::options_header(60, 1), testpkt::options_header(17));
        testpkt::guarded_record g;
        testpkt::load(g.record, 0x86DD,
                      ipv6_response(testpkt::concat(headers, testpkt::udp(server_port, local_port, response_payload())), 0));
        EXPECT_EQ(t.process_handshake_response(g.record), packet_action::revert);
        EXPECT_TRUE(g.canary_intact());
        const std::uint8_t* f = g.record.frame;
        const std::size_t udp = 14 + 40 + headers.size();
        EXPECT_EQ(g.record.length, udp + 8 + 32);
        EXPECT_EQ(testpkt::get16(f + 18), headers.size() + 8 + 32) << "payload length";
        const std::uint32_t word = static_cast<std::uint32_t>(testpkt::get16(f + 14)) << 16 | testpkt::get16(f + 16);
        EXPECT_EQ(word, learned != 0 ? learned : 0x60000000u);
        EXPECT_EQ(f[21], 128) << "hop limit";
        EXPECT_EQ(bytes(f + 22, f + 38), bytes(testpkt::ipv6_b.begin(), testpkt::ipv6_b.end()));
        EXPECT_EQ(testpkt::get16(f + udp + 4), 8 + 32);
        EXPECT_TRUE(testpkt::ipv6_upper_verifies(g.record, udp, 17));
        tunnel.reset();
        engine().reset();
    }
}
} // namespace
