// Recognising the tunnel socket's own datagrams, and the outer IPv6 header word.
#include <gtest/gtest.h>

#include <random>

#include "own_datagram.h"
#include "packet_builder.h"

using namespace testpkt;
using wireguard::match_own_datagram;

namespace
{
constexpr std::uint16_t server_port = 51820;
constexpr std::uint16_t local_port = 40000;

wireguard::ip_endpoint server_v4()
{
    wireguard::ip_endpoint e;
    e.family = wireguard::family_ipv4;
    std::copy(ipv4_b.begin(), ipv4_b.end(), e.address.begin());
    e.port = server_port;
    return e;
}

wireguard::ip_endpoint server_v6()
{
    wireguard::ip_endpoint e;
    e.family = wireguard::family_ipv6;
    std::copy(ipv6_b.begin(), ipv6_b.end(), e.address.begin());
    e.port = server_port;
    return e;
}

struct own_case {
    const char* name;
    std::uint16_t ether_type;
    bytes ip;
    bool ipv6_server;
    bool own;
    std::size_t udp_offset;
    std::uint16_t udp_length;
};

const bytes initiation = pattern(148);

const own_case own_cases[] = {
    {"ipv4 initiation", 0x0800, ipv4(17, udp(local_port, server_port, initiation)), false, true, 34, 156},
    {"ipv4 keep-alive", 0x0800, ipv4(17, udp(local_port, server_port, pattern(32))), false, true, 34, 40},
    {"ipv4 with options", 0x0800, ipv4(17, udp(local_port, server_port, pattern(32)), 7), false, true, 42, 40},
    {"ipv4 first fragment", 0x0800, ipv4(17, udp(local_port, server_port, pattern(32)), 5, 0x2000), false, true,
     34, 40},
    {"ipv4 later fragment", 0x0800, ipv4(17, udp(local_port, server_port, pattern(32)), 5, 0x0004), false, false,
     0, 0},
    {"another server port", 0x0800, ipv4(17, udp(local_port, server_port + 1, initiation)), false, false, 0, 0},
    {"another source port", 0x0800, ipv4(17, udp(local_port + 1, server_port, initiation)), false, false, 0, 0},
    {"another server address", 0x0800, ipv4(17, udp(local_port, server_port, initiation), 5, 0x4000, ipv4_a, ipv4_a),
     false, false, 0, 0},
    {"tcp to the server", 0x0800, ipv4(6, tcp(local_port, server_port, {})), false, false, 0, 0},
    {"ipv4 frame, ipv6 server", 0x0800, ipv4(17, udp(local_port, server_port, initiation)), true, false, 0, 0},
    {"ipv6 initiation", 0x86DD, ipv6(17, udp(local_port, server_port, initiation)), true, true, 54, 156},
    {"ipv6 behind options", 0x86DD, ipv6(0, concat(options_header(17), udp(local_port, server_port, pattern(32)))),
     true, true, 62, 40},
    {"ipv6 frame, ipv4 server", 0x86DD, ipv6(17, udp(local_port, server_port, initiation)), false, false, 0, 0},
    {"ipv6 another port", 0x86DD, ipv6(17, udp(local_port, 53, initiation)), true, false, 0, 0},
    {"ipv6 later fragment", 0x86DD,
     ipv6(44, concat(fragment_header(17, 8, false), udp(local_port, server_port, pattern(8)))), true, false, 0, 0},
    {"ipv6 udp header cut short", 0x86DD, ipv6(17, bytes{0x9C, 0x40, 0xCA, 0x6C, 0}), true, false, 0, 0},
};

TEST(own_datagram, frames_of_the_tunnel_socket)
{
    for (const auto& c : own_cases) {
        SCOPED_TRACE(c.name);
        guarded_record g;
        load(g.record, c.ether_type, c.ip);
        rimcap::frame_view view(g.record);
        const auto own = match_own_datagram(view, c.ipv6_server ? server_v6() : server_v4(), local_port);
        ASSERT_EQ(own.has_value(), c.own);
        if (own) {
            EXPECT_EQ(own->family, c.ipv6_server ? wireguard::family_ipv6 : wireguard::family_ipv4);
            EXPECT_EQ(own->udp_offset, c.udp_offset);
            EXPECT_EQ(own->udp_length, c.udp_length);
        }
        EXPECT_TRUE(g.canary_intact());
    }
}

TEST(own_datagram, no_local_port_yet_matches_nothing)
{
    guarded_record g;
    load(g.record, 0x0800, ipv4(17, udp(0, server_port, initiation)));
    rimcap::frame_view view(g.record);
    EXPECT_FALSE(match_own_datagram(view, server_v4(), 0).has_value());
}

TEST(own_datagram, frames_that_fail_the_checks_are_never_own)
{
    guarded_record g;
    load(g.record, 0x0800, ipv4(17, udp(local_port, server_port, initiation)));
    g.record.length = 30; // cut inside the IPv4 header
    rimcap::frame_view cut(g.record);
    EXPECT_FALSE(match_own_datagram(cut, server_v4(), local_port).has_value());
    g.record.length = 5000;
    rimcap::frame_view too_long(g.record);
    EXPECT_FALSE(match_own_datagram(too_long, server_v4(), local_port).has_value());
    EXPECT_TRUE(g.canary_intact());
}

TEST(own_datagram, random_frames_never_read_outside_the_record)
{
    std::mt19937 random(1234);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::uint32_t> length(0, 1600);
    for (int i = 0; i < 20000; ++i) {
        guarded_record g;
        for (auto& b : g.record.frame)
            b = static_cast<std::uint8_t>(byte(random));
        g.record.frame[12] = (i % 2) ? 0x08 : 0x86;
        g.record.frame[13] = (i % 2) ? 0x00 : 0xDD;
        g.record.frame[14] = static_cast<std::uint8_t>((i % 2) ? 0x45 + (i % 3) : 0x60);
        g.record.length = length(random);
        rimcap::frame_view view(g.record);
        (void)match_own_datagram(view, (i % 2) ? server_v4() : server_v6(), local_port);
        ASSERT_TRUE(g.canary_intact());
    }
}

TEST(own_datagram, the_outer_ipv6_header_word_is_never_zero)
{
    EXPECT_EQ(wireguard::outer_ipv6_header_word(0), 0x60000000u);
    EXPECT_EQ(wireguard::outer_ipv6_header_word(0x6012345Au), 0x6012345Au);
}
} // namespace
