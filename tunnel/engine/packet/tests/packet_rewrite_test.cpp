// The packet paths' rewriting helpers on hand-built frames: the four outer-header forms
// of the datagram to the server, byte for byte; the handshake reply turned round;
// address rewrites of plain packets with their checksums (whole packets, first and later
// fragments); DNS redirection and translation with the slot table; which received frames
// name the server as their sender.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "dns_redirect.h"
#include "inner_rewrite.h"
#include "ipv6_walk.h"
#include "netaccess/checksum.h"
#include "outer_datagram.h"
#include "own_datagram.h"
#include "packet_builder.h"

using namespace testpkt;
using rimcap::frame_view;

namespace
{
constexpr std::uint16_t ipv4_type = 0x0800;
constexpr std::uint16_t ipv6_type = 0x86DD;
constexpr std::uint16_t server_port = 51820;
constexpr std::uint16_t local_port = 40000;

constexpr ipv4_address local4 = {192, 168, 1, 10};
constexpr ipv4_address server4 = {203, 0, 113, 5};
constexpr ipv6_address local6 = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
constexpr ipv6_address server6 = {0x20, 0x01, 0x0d, 0xb8, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05};
constexpr std::uint8_t next_hop[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr std::uint8_t stack_mac[6] = {0x02, 0, 0, 0, 0, 0xAA}; // load()'s source MAC
constexpr std::uint8_t gateway_mac[6] = {0x02, 0, 0, 0, 0, 0xBB}; // load()'s destination MAC

std::uint32_t as_u32(const ipv4_address& a)
{
    std::uint32_t v;
    std::memcpy(&v, a.data(), 4);
    return v;
}

wireguard::outer_route route(std::uint8_t server_family)
{
    wireguard::outer_route r;
    r.server.family = server_family;
    if (server_family == wireguard::family_ipv4)
        std::copy(server4.begin(), server4.end(), r.server.address.begin());
    else
        std::copy(server6.begin(), server6.end(), r.server.address.begin());
    r.server.port = server_port;
    r.local_port = local_port;
    r.local_ipv4 = as_u32(local4);
    r.local_ipv6 = local6;
    r.ipv6_header_word = 0x6ABCDEF0; // as learned from the socket's own frames
    std::copy(std::begin(next_hop), std::end(next_hop), r.next_hop_mac.begin());
    return r;
}

bytes frame_bytes(const _INTERMEDIATE_BUFFER& r)
{
    return bytes(r.frame, r.frame + r.length);
}

void append(bytes& b, std::initializer_list<std::uint8_t> v)
{
    b.insert(b.end(), v.begin(), v.end());
}

void append16(bytes& b, std::uint16_t v)
{
    append(b, {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
}

template <class A>
void append_address(bytes& b, const A& a)
{
    b.insert(b.end(), a.begin(), a.end());
}

// The outer frame as it must come out, with zero in both checksum fields (the
// checksums are verified separately).
bytes expected_outer(std::uint8_t server_family, const bytes& header_fields, const bytes& datagram)
{
    bytes b(std::begin(next_hop), std::end(next_hop));
    b.insert(b.end(), std::begin(stack_mac), std::end(stack_mac));
    const std::size_t n = datagram.size();
    if (server_family == wireguard::family_ipv4) {
        append16(b, 0x0800);
        // header_fields: type of service, identification (2), flags (2)
        append(b, {0x45, header_fields[0]});
        append16(b, static_cast<std::uint16_t>(n + 28));
        append(b, {header_fields[1], header_fields[2], header_fields[3], header_fields[4], 128, 17, 0, 0});
        append_address(b, local4);
        append_address(b, server4);
    } else {
        append16(b, 0x86DD);
        // header_fields: first word (4), hop limit
        append(b, {header_fields[0], header_fields[1], header_fields[2], header_fields[3]});
        append16(b, static_cast<std::uint16_t>(n + 8));
        append(b, {17, header_fields[4]});
        append_address(b, local6);
        append_address(b, server6);
    }
    append16(b, local_port);
    append16(b, server_port);
    append16(b, static_cast<std::uint16_t>(n + 8));
    append16(b, 0);
    return concat(b, datagram);
}

bytes without_checksums(bytes f)
{
    if (f.size() >= 42 && get16(&f[12]) == 0x0800) {
        f[24] = f[25] = 0;
        f[40] = f[41] = 0;
    } else if (f.size() >= 62) {
        f[60] = f[61] = 0;
    }
    return f;
}

struct outer_case {
    const char* name;
    std::uint8_t server_family;
    std::uint16_t inner_type;
    std::uint16_t inner_flags; // IPv4 inner packets
    bytes header_fields;       // see expected_outer
};

TEST(outer_datagram, the_four_forms_byte_for_byte)
{
    const std::vector<outer_case> cases{
        {"ipv4_in_ipv4_keeps_tos_identification_and_df", wireguard::family_ipv4, ipv4_type, 0x4000,
         {0xB8, 0x12, 0x34, 0x40, 0x00}},
        {"ipv4_in_ipv4_without_df", wireguard::family_ipv4, ipv4_type, 0x0000, {0xB8, 0x12, 0x34, 0x00, 0x00}},
        {"ipv4_first_fragment_gives_no_mf", wireguard::family_ipv4, ipv4_type, 0x2000, {0xB8, 0x12, 0x34, 0x00, 0x00}},
        {"ipv4_later_fragment_gives_no_offset", wireguard::family_ipv4, ipv4_type, 0x0003,
         {0xB8, 0x12, 0x34, 0x00, 0x00}},
        {"ipv4_df_and_mf_gives_df_only", wireguard::family_ipv4, ipv4_type, 0x6001, {0xB8, 0x12, 0x34, 0x40, 0x00}},
        {"ipv6_in_ipv4_takes_the_counter", wireguard::family_ipv4, ipv6_type, 0, {0x00, 0x08, 0x00, 0x00, 0x00}},
        {"ipv4_in_ipv6_takes_the_learned_word", wireguard::family_ipv6, ipv4_type, 0x4000,
         {0x6A, 0xBC, 0xDE, 0xF0, 128}},
        {"ipv6_in_ipv6_keeps_word_and_hop_limit", wireguard::family_ipv6, ipv6_type, 0, {0x60, 0x01, 0x23, 0x45, 64}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        guarded_record g;
        bytes inner = c.inner_type == ipv4_type ? ipv4(17, udp(5000, 6000, pattern(300)), 5, c.inner_flags)
                                                : ipv6(17, udp(5000, 6000, pattern(300)));
        if (c.inner_type == ipv4_type)
            inner[1] = 0xB8; // type of service
        load(g.record, c.inner_type, inner);
        frame_view f(g.record);
        ASSERT_TRUE(f.ok());
        const auto fields = wireguard::read_inner_header_fields(f);
        const bytes datagram = pattern(348, 9); // what the engine wrote: 316 + 32
        std::uint16_t identification = 0x07FF;
        ASSERT_TRUE(wireguard::build_outer_datagram(f, fields, datagram, route(c.server_family), identification));
        EXPECT_TRUE(g.canary_intact());
        const bytes out = frame_bytes(g.record);
        EXPECT_EQ(without_checksums(out), expected_outer(c.server_family, c.header_fields, datagram));
        EXPECT_EQ(identification, c.server_family == wireguard::family_ipv4 && c.inner_type == ipv6_type ? 0x0800 : 0x07FF)
            << "only IPv6 packets in IPv4 headers count";
        if (c.server_family == wireguard::family_ipv4) {
            EXPECT_EQ(out.size(), datagram.size() + 42);
            EXPECT_TRUE(ipv4_header_verifies(g.record));
            EXPECT_TRUE(ipv4_transport_verifies(g.record));
        } else {
            EXPECT_EQ(out.size(), datagram.size() + 62);
            EXPECT_TRUE(ipv6_upper_verifies(g.record, 54, 17));
        }
        EXPECT_TRUE(f.ok());
    }
}

// The outer checksums come from the values written; the frame ends byte for byte as a
// full recalculation of the finished datagram leaves it, for datagrams of every length
// (odd ones with the pad byte behind an IPv4 datagram), both server families and a
// byte behind the datagram that held something else.
TEST(outer_datagram, checksums_match_a_full_recalculation)
{
    for (const std::uint8_t family : {wireguard::family_ipv4, wireguard::family_ipv6}) {
        for (const std::uint16_t inner_type : {ipv4_type, ipv6_type}) {
            for (std::size_t n = 0; n <= wireguard::datagram_capacity(family); n += n < 80 ? 1 : 37) {
                SCOPED_TRACE(testing::Message() << "family " << int{family} << " inner " << inner_type << " n " << n);
                guarded_record g;
                load(g.record, inner_type,
                     inner_type == ipv4_type ? ipv4(17, udp(5000, 6000, pattern(1400))) : ipv6(6, tcp(1, 2, pattern(1400))));
                frame_view f(g.record);
                const auto fields = wireguard::read_inner_header_fields(f);
                std::uint16_t identification = 0x1234;
                ASSERT_TRUE(wireguard::build_outer_datagram(f, fields, pattern(n, static_cast<std::uint8_t>(n)),
                                                            route(family), identification));
                _INTERMEDIATE_BUFFER recalculated = g.record;
                frame_view r(recalculated);
                if (family == wireguard::family_ipv4) {
                    ASSERT_TRUE(rimcap::recalculate_udp_checksum(r));
                    ASSERT_TRUE(rimcap::recalculate_ip_checksum(r));
                } else {
                    ASSERT_TRUE(wireguard::recalculate_ipv6_checksum(r));
                }
                ASSERT_EQ(std::memcmp(&recalculated, &g.record, sizeof recalculated), 0);
                ASSERT_TRUE(g.canary_intact());
            }
        }
    }
}

TEST(outer_datagram, the_identification_counter_wraps)
{
    std::uint16_t identification = 0xFFFE;
    for (const std::uint16_t expected : {0xFFFF, 0x0000, 0x0001}) {
        _INTERMEDIATE_BUFFER r{};
        load(r, ipv6_type, ipv6(17, udp(5000, 6000, pattern(20))));
        frame_view f(r);
        const auto fields = wireguard::read_inner_header_fields(f);
        ASSERT_TRUE(wireguard::build_outer_datagram(f, fields, pattern(60), route(wireguard::family_ipv4), identification));
        EXPECT_EQ(get16(r.frame + 18), expected);
        EXPECT_EQ(identification, expected);
    }
}

TEST(outer_datagram, the_datagram_fills_at_most_the_frame_area)
{
    for (const std::uint8_t family : {wireguard::family_ipv4, wireguard::family_ipv6}) {
        const std::size_t capacity = wireguard::datagram_capacity(family);
        EXPECT_EQ(capacity, family == wireguard::family_ipv4 ? 1472u : 1452u);
        guarded_record g;
        load(g.record, ipv4_type, ipv4(17, udp(5000, 6000, pattern(1400))));
        frame_view f(g.record);
        const auto fields = wireguard::read_inner_header_fields(f);
        std::uint16_t identification = 0;
        ASSERT_TRUE(wireguard::build_outer_datagram(f, fields, pattern(capacity), route(family), identification));
        EXPECT_EQ(g.record.length, 1514u);
        EXPECT_TRUE(g.canary_intact());

        load(g.record, ipv4_type, ipv4(17, udp(5000, 6000, pattern(1400))));
        frame_view again(g.record);
        const bytes before = frame_bytes(g.record);
        EXPECT_FALSE(wireguard::build_outer_datagram(again, fields, pattern(capacity + 1), route(family), identification));
        EXPECT_EQ(frame_bytes(g.record), before) << "nothing written";
        EXPECT_TRUE(g.canary_intact());
    }
}

// ---- the handshake reply ---------------------------------------------------------------

TEST(handshake_reply, the_response_frame_is_turned_round)
{
    struct reply_case {
        const char* name;
        std::uint16_t type;
        bytes ip;
        std::size_t udp_offset;
    };
    const bytes response = pattern(92, 3);
    const std::vector<reply_case> cases{
        {"ipv4", ipv4_type, ipv4(17, udp(server_port, local_port, response), 5, 0x4000, server4, local4), 34},
        {"ipv4_with_options", ipv4_type, ipv4(17, udp(server_port, local_port, response), 6, 0x0000, server4, local4),
         38},
        {"ipv6", ipv6_type, ipv6(17, udp(server_port, local_port, response), server6, local6), 54},
        {"ipv6_behind_hop_by_hop", ipv6_type,
         ipv6(0, concat(options_header(17), udp(server_port, local_port, response)), server6, local6), 62},
    };
    std::array<std::uint8_t, 32> reply{};
    for (std::size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<std::uint8_t>(0xC0 + i);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        guarded_record g;
        load(g.record, c.type, c.ip);
        g.record.direction = rimcap::direction_incoming;
        const bytes in = frame_bytes(g.record);
        frame_view f(g.record);
        ASSERT_TRUE(wireguard::turn_round_handshake_response(f, c.udp_offset, reply, 0x6ABCDEF0));
        EXPECT_TRUE(g.canary_intact());
        const bytes out = frame_bytes(g.record);
        ASSERT_EQ(out.size() + 60, in.size()) << "92-byte response, 32-byte reply";
        EXPECT_EQ(0, std::memcmp(&out[0], &in[6], 6)) << "MACs swapped";
        EXPECT_EQ(0, std::memcmp(&out[6], &in[0], 6));
        EXPECT_EQ(get16(&out[c.udp_offset]), local_port) << "ports swapped";
        EXPECT_EQ(get16(&out[c.udp_offset + 2]), server_port);
        EXPECT_EQ(get16(&out[c.udp_offset + 4]), 40);
        EXPECT_EQ(0, std::memcmp(&out[c.udp_offset + 8], reply.data(), 32));
        if (c.type == ipv4_type) {
            EXPECT_EQ(get16(&out[16]) + 60, get16(&in[16])) << "total length";
            EXPECT_EQ(out[22], 128) << "TTL";
            EXPECT_EQ(0, std::memcmp(&out[26], local4.data(), 4));
            EXPECT_EQ(0, std::memcmp(&out[30], server4.data(), 4));
            EXPECT_EQ(get16(&out[18]), get16(&in[18])) << "identification kept";
            EXPECT_TRUE(ipv4_header_verifies(g.record));
            EXPECT_TRUE(ipv4_transport_verifies(g.record));
        } else {
            EXPECT_EQ(get16(&out[18]) + 60, get16(&in[18])) << "payload length";
            EXPECT_EQ(get16(&out[14]), 0x6ABC) << "the learned header word";
            EXPECT_EQ(get16(&out[16]), 0xDEF0);
            EXPECT_EQ(out[21], 128) << "hop limit";
            EXPECT_EQ(0, std::memcmp(&out[22], local6.data(), 16));
            EXPECT_EQ(0, std::memcmp(&out[38], server6.data(), 16));
            EXPECT_TRUE(ipv6_upper_verifies(g.record, c.udp_offset, 17));
        }
    }
}

TEST(handshake_reply, ethernet_padding_and_trailing_bytes_do_not_stay_in_the_reply)
{
    guarded_record g;
    load(g.record, ipv4_type, ipv4(17, udp(server_port, local_port, pattern(92)), 5, 0, server4, local4), 30);
    frame_view f(g.record);
    std::array<std::uint8_t, 32> reply{};
    ASSERT_TRUE(wireguard::turn_round_handshake_response(f, 34, reply, 0x60000000));
    EXPECT_EQ(g.record.length, 74u) << "ends with the reply";
    EXPECT_TRUE(f.ok());
    EXPECT_TRUE(ipv4_transport_verifies(g.record));
}

TEST(handshake_reply, frames_that_are_not_ip_are_left_alone)
{
    guarded_record g;
    load(g.record, 0x0806, pattern(140));
    const bytes before = frame_bytes(g.record);
    frame_view f(g.record);
    std::array<std::uint8_t, 32> reply{};
    EXPECT_FALSE(wireguard::turn_round_handshake_response(f, 34, reply, 0x60000000));
    EXPECT_EQ(frame_bytes(g.record), before);
    load(g.record, ipv4_type, ipv4(17, udp(server_port, local_port, pattern(92))));
    frame_view short_view(g.record);
    EXPECT_FALSE(wireguard::turn_round_handshake_response(short_view, 20, reply, 0x60000000))
        << "a UDP header inside the IP header";
}

// ---- address rewrites of plain packets -------------------------------------------------

// The transport checksum that a whole datagram must carry, summed here byte pair by
// byte pair with its pseudo-header (IPv4: the TCP or UDP header follows a 20-byte
// header; IPv6: the upper layer follows the fixed header). field is a frame offset.
std::uint16_t whole_checksum(std::uint16_t type, bytes ip, std::size_t field)
{
    ip[field - 14] = 0;
    ip[field - 13] = 0;
    std::uint32_t sum = 0;
    std::size_t upper = 0;
    if (type == ipv4_type) {
        upper = 20;
        sum = reference_sum(&ip[12], 8);
        sum += ip[9];
    } else {
        upper = 40;
        sum = reference_sum(&ip[8], 32);
        sum += ip[6];
    }
    const std::size_t size = ip.size() - upper;
    sum += static_cast<std::uint32_t>(size);
    return static_cast<std::uint16_t>(~reference_sum(&ip[upper], size, sum));
}

TEST(inner_rewrite, whole_packets_get_their_checksums_recomputed)
{
    for (const std::uint8_t protocol : {1, 6, 17}) {
        SCOPED_TRACE(int{protocol});
        const bytes transport = protocol == 1   ? echo(8, pattern(33))
                                : protocol == 6 ? tcp(5000, 443, pattern(101))
                                                : udp(5000, 53, pattern(77));
        _INTERMEDIATE_BUFFER r{};
        load(r, ipv4_type, ipv4(protocol, transport));
        frame_view f(r);
        wireguard::replace_ipv4_address(f, wireguard::inner_field::ipv4_source, as_u32({10, 8, 0, 2}));
        wireguard::finish_inner_ipv4(f);
        EXPECT_EQ(r.frame[26], 10);
        EXPECT_TRUE(ipv4_header_verifies(r));
        EXPECT_TRUE(ipv4_transport_verifies(r));
    }
    for (const std::uint8_t protocol : {6, 17, 58}) {
        SCOPED_TRACE(int{protocol});
        const bytes transport = protocol == 58  ? echo(128, pattern(33))
                                : protocol == 6 ? tcp(5000, 443, pattern(101))
                                                : udp(5000, 53, pattern(77));
        _INTERMEDIATE_BUFFER r{};
        load(r, ipv6_type, ipv6(protocol, transport));
        frame_view f(r);
        wireguard::ipv6_bytes tunnel{0xfd};
        tunnel[15] = 2;
        wireguard::replace_ipv6_address(f, wireguard::inner_field::ipv6_source, tunnel);
        wireguard::finish_inner_ipv6(f);
        EXPECT_EQ(r.frame[22], 0xfd);
        EXPECT_TRUE(ipv6_upper_verifies(r, 54, protocol));
    }
}

TEST(inner_rewrite, a_first_ipv4_fragment_gets_an_incremental_update)
{
    for (const std::uint8_t protocol : {6, 17}) {
        SCOPED_TRACE(int{protocol});
        const std::size_t field = protocol == 6 ? 34 + 16 : 34 + 6;
        const bytes transport = protocol == 6 ? tcp(5000, 443, pattern(300)) : udp(5000, 53, pattern(300));
        // The whole datagram with its right checksum, and the same with the new source.
        bytes whole = ipv4(protocol, transport);
        put16(whole, field - 14, whole_checksum(ipv4_type, whole, field));
        bytes moved = whole;
        moved[12] = 10, moved[13] = 8, moved[14] = 0, moved[15] = 2;
        const std::uint16_t expected = whole_checksum(ipv4_type, moved, field);

        // Its first fragment: the header and 96 bytes, more fragments set.
        bytes first(whole.begin(), whole.begin() + 20 + 96);
        put16(first, 2, static_cast<std::uint16_t>(first.size()));
        put16(first, 6, 0x2000);
        _INTERMEDIATE_BUFFER r{};
        load(r, ipv4_type, first);
        frame_view f(r);
        const bytes payload_before(r.frame + 34 + 20, r.frame + r.length);
        wireguard::replace_ipv4_address(f, wireguard::inner_field::ipv4_source, as_u32({10, 8, 0, 2}));
        wireguard::finish_inner_ipv4(f);
        EXPECT_EQ(get16(r.frame + field), expected);
        EXPECT_TRUE(ipv4_header_verifies(r));
        EXPECT_EQ(bytes(r.frame + 34 + 20, r.frame + r.length), payload_before);
    }
}

TEST(inner_rewrite, a_later_ipv4_fragment_keeps_its_payload)
{
    bytes later = ipv4(17, pattern(200), 5, 0x0000 | 12); // offset 96 bytes, the last fragment
    _INTERMEDIATE_BUFFER r{};
    load(r, ipv4_type, later);
    frame_view f(r);
    wireguard::replace_ipv4_address(f, wireguard::inner_field::ipv4_source, as_u32({10, 8, 0, 2}));
    wireguard::finish_inner_ipv4(f);
    EXPECT_EQ(bytes(r.frame + 34, r.frame + r.length), pattern(200));
    EXPECT_TRUE(ipv4_header_verifies(r));
}

TEST(inner_rewrite, a_udp_fragment_without_checksum_keeps_none)
{
    bytes first = ipv4(17, udp(5000, 53, pattern(64)), 5, 0x2000);
    first[20 + 6] = 0;
    first[20 + 7] = 0;
    put16(first, 20 + 4, 500); // the whole datagram is longer than this fragment
    _INTERMEDIATE_BUFFER r{};
    load(r, ipv4_type, first);
    frame_view f(r);
    wireguard::replace_ipv4_address(f, wireguard::inner_field::ipv4_source, as_u32({10, 8, 0, 2}));
    wireguard::finish_inner_ipv4(f);
    EXPECT_EQ(get16(r.frame + 40), 0);
}

TEST(inner_rewrite, a_first_ipv6_fragment_gets_an_incremental_update)
{
    for (const std::uint8_t protocol : {6, 17, 58}) {
        SCOPED_TRACE(int{protocol});
        const bytes transport = protocol == 6    ? tcp(5000, 443, pattern(300))
                                : protocol == 17 ? udp(5000, 53, pattern(300))
                                                 : echo(128, pattern(300));
        const std::size_t field_in_transport = protocol == 6 ? 16 : protocol == 17 ? 6 : 2;
        bytes whole = ipv6(protocol, transport);
        put16(whole, 40 + field_in_transport, whole_checksum(ipv6_type, whole, 54 + field_in_transport));
        bytes moved = whole;
        moved[8] = 0xfd;
        const std::uint16_t expected = whole_checksum(ipv6_type, moved, 54 + field_in_transport);

        // The first fragment: a fragment header, then the first 96 bytes.
        bytes first = ipv6(44, concat(fragment_header(protocol, 0, true), bytes(whole.begin() + 40, whole.begin() + 136)));
        _INTERMEDIATE_BUFFER r{};
        load(r, ipv6_type, first);
        frame_view f(r);
        wireguard::ipv6_bytes source{};
        std::copy(whole.begin() + 8, whole.begin() + 24, source.begin());
        source[0] = 0xfd;
        wireguard::replace_ipv6_address(f, wireguard::inner_field::ipv6_source, source);
        wireguard::finish_inner_ipv6(f);
        EXPECT_EQ(get16(r.frame + 62 + field_in_transport), expected);
    }
}

TEST(inner_rewrite, a_later_ipv6_fragment_keeps_its_payload)
{
    const bytes later = ipv6(44, concat(fragment_header(17, 12, false), pattern(100)));
    _INTERMEDIATE_BUFFER r{};
    load(r, ipv6_type, later);
    frame_view f(r);
    wireguard::ipv6_bytes source{0xfd};
    wireguard::replace_ipv6_address(f, wireguard::inner_field::ipv6_source, source);
    wireguard::finish_inner_ipv6(f);
    EXPECT_EQ(r.frame[22], 0xfd);
    EXPECT_EQ(bytes(r.frame + 62, r.frame + r.length), pattern(100));
}

TEST(inner_rewrite, frames_that_fail_the_checks_are_left_alone)
{
    bytes ip = ipv4(17, udp(5000, 53, pattern(64)));
    put16(ip, 2, 1000); // total length past the frame
    _INTERMEDIATE_BUFFER r{};
    load(r, ipv4_type, ip);
    const bytes before = frame_bytes(r);
    frame_view f(r);
    wireguard::replace_ipv4_address(f, wireguard::inner_field::ipv4_source, as_u32({10, 8, 0, 2}));
    wireguard::finish_inner_ipv4(f);
    wireguard::replace_ipv6_address(f, wireguard::inner_field::ipv6_source, wireguard::ipv6_bytes{1});
    wireguard::finish_inner_ipv6(f);
    EXPECT_EQ(frame_bytes(r), before);
}

// ---- DNS redirection and translation -----------------------------------------------------

wireguard::ip_address ip4(const ipv4_address& a)
{
    wireguard::ip_address x;
    std::copy(a.begin(), a.end(), x.address.begin());
    return x;
}

wireguard::ip_address ip6(const ipv6_address& a)
{
    wireguard::ip_address x;
    x.family = wireguard::family_ipv6;
    std::copy(a.begin(), a.end(), x.address.begin());
    return x;
}

constexpr ipv4_address dns4 = {10, 8, 0, 53};
constexpr ipv4_address asked4 = {8, 8, 8, 8};
constexpr ipv6_address dns6 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53};
constexpr ipv6_address asked6 = {0x20, 0x01, 0x48, 0x60, 0x48, 0x60, 0, 0, 0, 0, 0, 0, 0, 0, 0x88, 0x88};

struct dns_world {
    std::int64_t now = 10'000'000'000;
    wireguard::dns_slot_table table{{ip4(dns4), ip6(dns6)}, [this] { return now; }};
};

TEST(dns_redirect, a_query_and_its_answer_round_trip_in_both_families)
{
    for (const bool v6 : {false, true}) {
        SCOPED_TRACE(v6 ? "IPv6" : "IPv4");
        dns_world w;
        const std::uint16_t type = v6 ? ipv6_type : ipv4_type;
        const bytes query = v6 ? ipv6(17, udp(5353, 53, pattern(40)), local6, asked6)
                               : ipv4(17, udp(5353, 53, pattern(40)), 5, 0, local4, asked4);
        guarded_record g;
        load(g.record, type, query);
        frame_view f(g.record);
        const auto out = wireguard::redirect_dns_query(f, w.table);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->before, v6 ? ip6(asked6) : ip4(asked4));
        EXPECT_EQ(out->after, v6 ? ip6(dns6) : ip4(dns4));
        if (v6) {
            wireguard::finish_inner_ipv6(f);
            EXPECT_EQ(0, std::memcmp(g.record.frame + 38, dns6.data(), 16));
            EXPECT_TRUE(ipv6_upper_verifies(g.record, 54, 17));
            EXPECT_EQ(w.table.slots_v6()[0].requests.count(5353), 1u);
        } else {
            wireguard::finish_inner_ipv4(f);
            EXPECT_EQ(0, std::memcmp(g.record.frame + 30, dns4.data(), 4));
            EXPECT_TRUE(ipv4_header_verifies(g.record));
            EXPECT_TRUE(ipv4_transport_verifies(g.record));
            EXPECT_EQ(w.table.slots_v4()[0].requests.count(5353), 1u);
        }

        // The answer from the server to the query's port comes back from the address asked.
        const bytes answer = v6 ? ipv6(17, udp(53, 5353, pattern(90)), dns6, local6)
                                : ipv4(17, udp(53, 5353, pattern(90)), 5, 0, dns4, local4);
        load(g.record, type, answer);
        frame_view a(g.record);
        const auto back = wireguard::translate_dns_answer(a, w.table);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->before, v6 ? ip6(dns6) : ip4(dns4));
        EXPECT_EQ(back->after, v6 ? ip6(asked6) : ip4(asked4));
        if (v6) {
            wireguard::finish_inner_ipv6(a);
            EXPECT_EQ(0, std::memcmp(g.record.frame + 22, asked6.data(), 16));
            EXPECT_TRUE(ipv6_upper_verifies(g.record, 54, 17));
            EXPECT_TRUE(w.table.slots_v6()[0].requests.empty());
        } else {
            wireguard::finish_inner_ipv4(a);
            EXPECT_EQ(0, std::memcmp(g.record.frame + 26, asked4.data(), 4));
            EXPECT_TRUE(ipv4_transport_verifies(g.record));
            EXPECT_TRUE(w.table.slots_v4()[0].requests.empty());
        }
        EXPECT_TRUE(g.canary_intact());

        // A second answer to the same port finds no record and keeps its source.
        load(g.record, type, answer);
        frame_view again(g.record);
        const bytes before = frame_bytes(g.record);
        EXPECT_FALSE(wireguard::translate_dns_answer(again, w.table));
        EXPECT_EQ(frame_bytes(g.record), before);
    }
}

TEST(dns_redirect, only_udp_to_or_from_port_53_is_touched)
{
    dns_world w;
    struct frame_case {
        const char* name;
        std::uint16_t type;
        bytes ip;
    };
    const std::vector<frame_case> cases{
        {"tcp_to_53", ipv4_type, ipv4(6, tcp(5353, 53, pattern(10)), 5, 0, local4, asked4)},
        {"udp_to_54", ipv4_type, ipv4(17, udp(5353, 54, pattern(10)), 5, 0, local4, asked4)},
        {"later_fragment", ipv4_type, ipv4(17, udp(5353, 53, pattern(10)), 5, 0x0004, local4, asked4)},
        {"udp_header_cut_short", ipv4_type, ipv4(17, bytes{0x14, 0xE9, 0, 53}, 5, 0, local4, asked4)},
        {"ipv6_later_fragment", ipv6_type,
         ipv6(44, concat(fragment_header(17, 2, false), udp(5353, 53, pattern(10))), local6, asked6)},
        {"arp", 0x0806, pattern(28)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        _INTERMEDIATE_BUFFER r{};
        load(r, c.type, c.ip);
        const bytes before = frame_bytes(r);
        frame_view f(r);
        EXPECT_FALSE(wireguard::redirect_dns_query(f, w.table));
        EXPECT_FALSE(wireguard::translate_dns_answer(f, w.table));
        EXPECT_EQ(frame_bytes(r), before);
    }
    EXPECT_TRUE(w.table.slots_v4()[0].requests.empty());
    EXPECT_TRUE(w.table.slots_v6()[0].requests.empty());
}

TEST(dns_redirect, a_family_without_a_server_keeps_its_destination)
{
    std::int64_t now = 1;
    wireguard::dns_slot_table only_v4({ip4(dns4)}, [&] { return now; });
    _INTERMEDIATE_BUFFER r{};
    load(r, ipv6_type, ipv6(17, udp(5353, 53, pattern(10)), local6, asked6));
    const bytes before = frame_bytes(r);
    frame_view f(r);
    EXPECT_FALSE(wireguard::redirect_dns_query(f, only_v4));
    EXPECT_EQ(frame_bytes(r), before);
}

TEST(dns_redirect, a_first_fragment_query_keeps_a_right_checksum)
{
    dns_world w;
    bytes whole = ipv4(17, udp(5353, 53, pattern(200)), 5, 0, local4, asked4);
    put16(whole, 26, whole_checksum(ipv4_type, whole, 40));
    bytes moved = whole;
    std::copy(dns4.begin(), dns4.end(), moved.begin() + 16);
    const std::uint16_t expected = whole_checksum(ipv4_type, moved, 40);
    bytes first(whole.begin(), whole.begin() + 20 + 64);
    put16(first, 2, static_cast<std::uint16_t>(first.size()));
    put16(first, 6, 0x2000);
    _INTERMEDIATE_BUFFER r{};
    load(r, ipv4_type, first);
    frame_view f(r);
    ASSERT_TRUE(wireguard::redirect_dns_query(f, w.table));
    wireguard::finish_inner_ipv4(f);
    EXPECT_EQ(get16(r.frame + 40), expected);
    EXPECT_TRUE(ipv4_header_verifies(r));
}

// ---- frames that name the server as their sender -----------------------------------------

TEST(server_origin, which_frames_claim_the_server)
{
    wireguard::ip_endpoint s4;
    std::copy(server4.begin(), server4.end(), s4.address.begin());
    s4.port = server_port;
    wireguard::ip_endpoint s6;
    s6.family = wireguard::family_ipv6;
    std::copy(server6.begin(), server6.end(), s6.address.begin());
    s6.port = server_port;

    auto too_long = [](bytes ip) {
        put16(ip, 2, static_cast<std::uint16_t>(ip.size() + 100));
        return ip;
    };
    auto too_long6 = [](bytes ip) {
        put16(ip, 4, static_cast<std::uint16_t>(ip.size() + 100));
        return ip;
    };
    struct claim_case {
        const char* name;
        const wireguard::ip_endpoint* server;
        std::uint16_t type;
        bytes ip;
        std::size_t frame_length = 0; // 0: the whole packet
        bool claims;
    };
    const std::vector<claim_case> cases{
        {"udp_from_the_server", &s4, ipv4_type, ipv4(17, udp(server_port, local_port, pattern(32)), 5, 0, server4, local4), 0, true},
        {"another_port", &s4, ipv4_type, ipv4(17, udp(53, local_port, pattern(32)), 5, 0, server4, local4), 0, false},
        {"tcp_from_the_server", &s4, ipv4_type, ipv4(6, tcp(server_port, local_port, {}), 5, 0, server4, local4), 0, false},
        {"another_address", &s4, ipv4_type, ipv4(17, udp(server_port, local_port, pattern(32)), 5, 0, local4, local4), 0, false},
        {"total_length_past_the_frame", &s4, ipv4_type,
         too_long(ipv4(17, udp(server_port, local_port, pattern(32)), 5, 0, server4, local4)), 0, true},
        {"cut_before_the_port", &s4, ipv4_type, ipv4(17, udp(server_port, local_port, pattern(32)), 5, 0, server4, local4),
         14 + 21, false},
        {"later_fragment", &s4, ipv4_type, ipv4(17, udp(server_port, local_port, pattern(32)), 5, 0x0003, server4, local4), 0, false},
        {"first_fragment", &s4, ipv4_type, ipv4(17, udp(server_port, local_port, pattern(32)), 5, 0x2000, server4, local4), 0, true},
        {"ipv6_frame_for_an_ipv4_server", &s4, ipv6_type, ipv6(17, udp(server_port, local_port, pattern(32)), server6, local6), 0, false},
        {"ipv6_from_the_server", &s6, ipv6_type, ipv6(17, udp(server_port, local_port, pattern(32)), server6, local6), 0, true},
        {"ipv6_behind_options", &s6, ipv6_type,
         ipv6(60, concat(options_header(17), udp(server_port, local_port, pattern(32))), server6, local6), 0, true},
        {"ipv6_payload_past_the_frame", &s6, ipv6_type,
         too_long6(ipv6(17, udp(server_port, local_port, pattern(32)), server6, local6)), 0, true},
        {"ipv6_icmp_from_the_server", &s6, ipv6_type, ipv6(58, echo(129, pattern(8)), server6, local6), 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        guarded_record g;
        load(g.record, c.type, c.ip);
        if (c.frame_length)
            g.record.length = static_cast<std::uint32_t>(c.frame_length);
        const frame_view f(g.record);
        EXPECT_EQ(wireguard::claims_server_origin(f, *c.server), c.claims);
    }
}

// ---- hostile frames through every helper ---------------------------------------------------

TEST(packet_rewrite, random_frames_never_reach_outside_the_record)
{
    std::mt19937 random(4242);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::uint32_t> length(0, 1600);
    dns_world w;
    guarded_record g;
    std::array<std::uint8_t, 32> reply{};
    for (int i = 0; i < 20000; ++i) {
        for (auto& b : g.record.frame)
            b = static_cast<std::uint8_t>(byte(random));
        // Often a plausible IP header in front, so that the helpers go deeper.
        if (i % 2 == 0) {
            const bool v6 = i % 4 == 0;
            const bytes ip = v6 ? ipv6(static_cast<std::uint8_t>(i % 3 == 0 ? 17 : byte(random)),
                                       udp(53, 53, pattern(static_cast<std::size_t>(byte(random)))))
                                : ipv4(static_cast<std::uint8_t>(i % 3 == 0 ? 17 : 6), udp(53, 53, pattern(40)),
                                       5 + byte(random) % 11, static_cast<std::uint16_t>(byte(random) << 8));
            std::memcpy(g.record.frame + 14, ip.data(), std::min<std::size_t>(ip.size(), 20 + byte(random)));
            g.record.frame[12] = v6 ? 0x86 : 0x08;
            g.record.frame[13] = v6 ? 0xDD : 0x00;
        }
        g.record.length = length(random);
        frame_view f(g.record);
        wireguard::claims_server_origin(f, wireguard::ip_endpoint{});
        wireguard::replace_ipv4_address(f, wireguard::inner_field::ipv4_source, 0x0100000A);
        wireguard::replace_ipv6_address(f, wireguard::inner_field::ipv6_destination, wireguard::ipv6_bytes{0xfd});
        wireguard::redirect_dns_query(f, w.table);
        wireguard::translate_dns_answer(f, w.table);
        wireguard::finish_inner_ipv4(f);
        wireguard::finish_inner_ipv6(f);
        if (i % 5 == 0)
            wireguard::turn_round_handshake_response(f, 14 + static_cast<std::size_t>(byte(random)), reply, 0x60000000);
        if (i % 7 == 0 && f.ok()) {
            const auto fields = wireguard::read_inner_header_fields(f);
            std::uint16_t id = 0;
            wireguard::build_outer_datagram(f, fields, pattern(static_cast<std::size_t>(byte(random)) * 6),
                                            route(static_cast<std::uint8_t>(i % 2)), id);
        }
        ASSERT_TRUE(g.canary_intact()) << "frame " << i;
    }
}
} // namespace
