// The IPv6 extension-header walk and the IPv6 upper-layer checksum.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "ipv6_walk.h"
#include "netaccess/capture_file.h"
#include "packet_builder.h"
#include "tshark_check.h"

using namespace testpkt;
using rimcap::frame_view;
using wireguard::ipv6_upper_layer;
using wireguard::recalculate_ipv6_checksum;

namespace
{
constexpr std::size_t none = 0;

struct walk_case {
    const char* name;
    std::function<void(_INTERMEDIATE_BUFFER&)> build;
    std::uint8_t protocol;
    std::size_t offset; // none: no upper-layer header
    bool first_fragment;
};

auto frame_of(bytes ip, std::size_t padding = 0)
{
    return [ip, padding](_INTERMEDIATE_BUFFER& r) { load(r, 0x86DD, ip, padding); };
}

const walk_case walk_cases[] = {
    {"udp_directly", frame_of(ipv6(17, udp(1, 2, pattern(4)))), 17, 54, false},
    {"udp_behind_hop_by_hop", frame_of(ipv6(0, concat(options_header(17), udp(1, 2, pattern(4))))), 17, 62, false},
    {"tcp_behind_hop_by_hop_and_destination_options",
     frame_of(ipv6(0, concat(concat(options_header(60), options_header(6, 1)), tcp(1, 2, {})))), 6, 78, false},
    {"icmpv6_behind_routing", frame_of(ipv6(43, concat(routing_header(58, 2), echo(128, {})))), 58, 78, false},
    {"long_destination_options", frame_of(ipv6(60, concat(options_header(17, 20), udp(1, 2, {})))), 17, 222, false},
    {"atomic_fragment", frame_of(ipv6(44, concat(fragment_header(17, 0, false), udp(1, 2, pattern(4))))), 17, 62,
     false},
    {"first_fragment", frame_of(ipv6(44, concat(fragment_header(17, 0, true), udp(1, 2, pattern(40))))), 17, 62, true},
    {"later_fragment_offset_8", frame_of(ipv6(44, concat(fragment_header(17, 1, true), pattern(40)))), 17, none,
     false},
    {"later_fragment_third_byte_3", frame_of(ipv6(44, concat(fragment_header(6, 3 << 5, false), pattern(40)))), 6,
     none, false},
    {"later_fragment_third_byte_4", frame_of(ipv6(44, concat(fragment_header(6, 4 << 5, false), pattern(40)))), 6,
     none, false},
    {"walk_ends_at_fragment", frame_of(ipv6(44, concat(fragment_header(60, 0, false), options_header(17)))), 60, 62,
     false},
    {"hop_by_hop_then_fragment",
     frame_of(ipv6(0, concat(options_header(44), concat(fragment_header(17, 0, false), udp(1, 2, {}))))), 17, 70,
     false},
    {"no_next_header", frame_of(ipv6(59, {})), 59, none, false},
    {"upper_layer_of_3_bytes", frame_of(ipv6(17, bytes(3, 0))), 17, none, false},
    {"upper_layer_of_4_bytes", frame_of(ipv6(17, bytes(4, 0))), 17, 54, false},
    {"hop_by_hop_longer_than_packet", frame_of(ipv6(0, bytes{17, 255, 1, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})), 17, none,
     false},
    {"hop_by_hop_truncated_to_2_bytes", frame_of(ipv6(0, bytes{17, 0})), 0, none, false},
    {"fragment_header_of_4_bytes", frame_of(ipv6(44, bytes{17, 0, 0, 0})), 44, none, false},
    {"fragment_header_of_7_bytes", frame_of(ipv6(44, bytes{17, 0, 0, 0, 0, 0, 0})), 44, none, false},
    {"fragment_without_upper_bytes", frame_of(ipv6(44, fragment_header(17, 0, false))), 17, none, false},
    {"chain_ends_at_packet_not_frame", frame_of(ipv6(0, options_header(17)), 20), 17, none, false},
    {"packet_end_from_payload_length", frame_of(ipv6(17, udp(1, 2, {})), 20), 17, 54, false},
    {"ipv6_version_4", [](auto& r) { load(r, 0x86DD, ipv6(17, udp(1, 2, {}))); r.frame[14] = 0x40; }, 0, none, false},
    {"ipv4_frame", [](auto& r) { load(r, 0x0800, ipv4(17, udp(1, 2, {}))); }, 0, none, false},
    {"payload_past_frame", [](auto& r) { load(r, 0x86DD, ipv6(17, udp(1, 2, {}))); r.frame[19] = 9; }, 0, none,
     false},
};

class ipv6_walk : public ::testing::TestWithParam<walk_case>
{
};
} // namespace

TEST_P(ipv6_walk, finds_upper_layer)
{
    const walk_case& c = GetParam();
    guarded_record g;
    c.build(g.record);
    const _INTERMEDIATE_BUFFER before = g.record;
    frame_view f(g.record);
    const auto info = ipv6_upper_layer(f);
    EXPECT_EQ(info.protocol, c.protocol);
    ASSERT_EQ(info.header.has_value(), c.offset != none);
    if (info.header) {
        EXPECT_EQ(info.header->protocol, c.protocol);
        EXPECT_EQ(info.header->offset, c.offset);
        EXPECT_EQ(info.header->offset + info.header->length, f.ip_end());
    }
    EXPECT_EQ(info.first_fragment, c.first_fragment);
    const auto same = ipv6_upper_layer(g.record);
    EXPECT_EQ(same.protocol, info.protocol);
    EXPECT_EQ(same.header.has_value(), info.header.has_value());
    EXPECT_EQ(std::memcmp(&before, &g.record, sizeof before), 0);
    EXPECT_TRUE(g.canary_intact());
}

INSTANTIATE_TEST_SUITE_P(table, ipv6_walk, ::testing::ValuesIn(walk_cases),
                         [](const auto& info) { return std::string(info.param.name); });

namespace
{
struct checksum_case {
    const char* name;
    bytes ip;
    std::size_t upper;    // frame offset of the upper-layer header
    std::uint8_t protocol;
    std::size_t padding = 0;
};

const checksum_case checksum_cases[] = {
    {"udp", ipv6(17, udp(40000, 53, pattern(30))), 54, 17},
    {"udp_odd", ipv6(17, udp(40000, 53, pattern(31))), 54, 17},
    {"udp_empty", ipv6(17, udp(40000, 53, {})), 54, 17},
    {"tcp_syn", ipv6(6, tcp(40000, 443, {}, 0x02, 1)), 54, 6},
    {"tcp_odd", ipv6(6, tcp(40000, 443, pattern(1001))), 54, 6},
    {"tcp_full_frame", ipv6(6, tcp(40000, 443, pattern(1440))), 54, 6},
    {"icmpv6_echo", ipv6(58, echo(128, pattern(56))), 54, 58},
    {"icmpv6_odd", ipv6(58, echo(128, pattern(5))), 54, 58},
    {"udp_behind_hop_by_hop", ipv6(0, concat(options_header(17), udp(1, 2, pattern(9)))), 62, 17},
    {"tcp_behind_two_options", ipv6(0, concat(concat(options_header(60), options_header(6, 1)), tcp(1, 2, pattern(3)))),
     78, 6},
    {"icmpv6_behind_routing", ipv6(43, concat(routing_header(58, 1), echo(128, pattern(7)))), 70, 58},
    {"udp_atomic_fragment", ipv6(44, concat(fragment_header(17, 0, false), udp(1, 2, pattern(11)))), 62, 17},
    {"udp_with_ethernet_padding", ipv6(17, udp(1, 2, pattern(3))), 54, 17, 9},
};

class ipv6_checksums : public ::testing::TestWithParam<checksum_case>
{
};
} // namespace

TEST_P(ipv6_checksums, verify)
{
    const checksum_case& c = GetParam();
    guarded_record g;
    load(g.record, 0x86DD, c.ip, c.padding);
    const _INTERMEDIATE_BUFFER before = g.record;
    ASSERT_TRUE(recalculate_ipv6_checksum(g.record));
    EXPECT_TRUE(ipv6_upper_verifies(g.record, c.upper, c.protocol));
    // Only the two checksum bytes changed.
    const std::size_t field = c.upper + (c.protocol == 6 ? 16 : c.protocol == 17 ? 6 : 2);
    for (std::size_t i = 0; i < rimcap::max_frame_size; ++i) {
        if (i != field && i != field + 1) {
            ASSERT_EQ(g.record.frame[i], before.frame[i]) << "frame byte " << i;
        }
    }
    EXPECT_TRUE(g.canary_intact());
}

INSTANTIATE_TEST_SUITE_P(table, ipv6_checksums, ::testing::ValuesIn(checksum_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ipv6_checksum, packets_left_alone)
{
    struct row {
        const char* what;
        std::function<void(_INTERMEDIATE_BUFFER&)> build;
    };
    const row rows[] = {
        {"next header 1", frame_of(ipv6(1, echo(8, pattern(8))))},
        {"next header 4", frame_of(ipv6(4, ipv4(17, udp(1, 2, {}))))},
        {"later fragment", frame_of(ipv6(44, concat(fragment_header(17, 1, false), udp(1, 2, pattern(8)))))},
        {"third byte 4", frame_of(ipv6(44, concat(fragment_header(17, 4 << 5, false), udp(1, 2, pattern(8)))))},
        {"first fragment of several", frame_of(ipv6(44, concat(fragment_header(17, 0, true), udp(1, 2, pattern(8)))))},
        {"tcp of 19 bytes", frame_of(ipv6(6, bytes(19, 0x50)))},
        {"tcp data offset past packet", frame_of(ipv6(6, [] { auto t = tcp(1, 2, {}); t[12] = 0x60; return t; }()))},
        {"udp of 7 bytes", frame_of(ipv6(17, bytes(7, 0)))},
        {"icmpv6 of 4 bytes", frame_of(ipv6(58, bytes(4, 0)))},
        {"truncated chain", frame_of(ipv6(0, concat(options_header(17, 3), bytes(4, 0))))},
        {"version 4", [](auto& r) { load(r, 0x86DD, ipv6(17, udp(1, 2, {}))); r.frame[14] = 0x45; }},
        {"payload past frame", [](auto& r) { load(r, 0x86DD, ipv6(17, udp(1, 2, {}))); r.frame[19] = 200; }},
        {"frame length 1515", [](auto& r) { load(r, 0x86DD, ipv6(17, udp(1, 2, pattern(1452)))); r.length = 1515; }},
        {"ipv4 frame", [](auto& r) { load(r, 0x0800, ipv4(17, udp(1, 2, {}))); }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        guarded_record g;
        r.build(g.record);
        const _INTERMEDIATE_BUFFER before = g.record;
        EXPECT_FALSE(recalculate_ipv6_checksum(g.record));
        EXPECT_EQ(std::memcmp(&before, &g.record, sizeof before), 0);
        EXPECT_TRUE(g.canary_intact());
    }
}

// A sum of exactly 0xFFFF: UDP stores 0xFFFF (zero would mean "no checksum", which
// IPv6 forbids), TCP and ICMPv6 store 0. Both verify.
TEST(ipv6_checksum, fold_to_zero)
{
    struct row {
        std::uint8_t protocol;
        bytes upper;
        std::size_t field;
        std::uint16_t stored;
    };
    const row rows[] = {
        {17, udp(1, 2, pattern(10)), 6, 0xFFFF},
        {6, tcp(1, 2, pattern(10)), 16, 0x0000},
        {58, echo(128, pattern(10)), 2, 0x0000},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(int{r.protocol});
        _INTERMEDIATE_BUFFER rec{};
        load(rec, 0x86DD, ipv6(r.protocol, r.upper));
        const std::size_t adjust = 54 + r.upper.size() - 10; // two payload bytes
        rec.frame[adjust] = rec.frame[adjust + 1] = 0;
        rec.frame[54 + r.field] = rec.frame[55 + r.field] = 0;
        std::uint32_t sum = reference_sum(rec.frame + 22, 32);
        sum = reference_sum(rec.frame + 54, r.upper.size(), sum + static_cast<std::uint32_t>(r.upper.size()) + r.protocol);
        const std::uint16_t v = complement_to_ffff(sum);
        rec.frame[adjust] = static_cast<std::uint8_t>(v >> 8);
        rec.frame[adjust + 1] = static_cast<std::uint8_t>(v);
        ASSERT_TRUE(recalculate_ipv6_checksum(rec));
        EXPECT_EQ(get16(rec.frame + 54 + r.field), r.stored);
        EXPECT_TRUE(ipv6_upper_verifies(rec, 54, r.protocol));
    }
}

// Random chains of extension headers around random upper layers: the walk finds the
// header that was built, and the checksum verifies.
TEST(ipv6_checksum, randomised_chains_verify)
{
    std::mt19937 rng(6);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < 5000; ++i) {
        const std::uint8_t protocol = std::array<std::uint8_t, 3>{6, 17, 58}[pick(0, 2)];
        bytes payload(static_cast<std::size_t>(pick(0, 900)));
        for (auto& x : payload)
            x = static_cast<std::uint8_t>(rng());
        bytes upper = protocol == 6 ? tcp(1, 2, payload, 0x18, pick(0, 10))
                      : protocol == 17 ? udp(1, 2, payload)
                                       : echo(128, payload);
        // Build the chain from the upper layer outwards.
        std::uint8_t next = protocol;
        bytes chain = upper;
        const int headers = pick(0, 4);
        for (int h = 0; h < headers; ++h) {
            const int kind = pick(0, 3);
            if (kind == 3 && h == 0) {
                chain = concat(fragment_header(next, 0, false), chain);
                next = 44;
            } else {
                const std::uint8_t type = std::array<std::uint8_t, 3>{0, 43, 60}[kind % 3];
                chain = concat(type == 43 ? routing_header(next, static_cast<std::uint8_t>(pick(0, 5)))
                                          : options_header(next, static_cast<std::uint8_t>(pick(0, 5))),
                               chain);
                next = type;
            }
        }
        guarded_record g;
        load(g.record, 0x86DD, ipv6(next, chain));
        frame_view f(g.record);
        const auto info = ipv6_upper_layer(f);
        ASSERT_TRUE(info.header.has_value());
        const std::size_t upper_at = 14 + 40 + chain.size() - upper.size();
        ASSERT_EQ(info.header->offset, upper_at);
        ASSERT_EQ(info.protocol, protocol);
        ASSERT_TRUE(recalculate_ipv6_checksum(f));
        ASSERT_TRUE(ipv6_upper_verifies(g.record, upper_at, protocol));
        ASSERT_TRUE(g.canary_intact());
    }
}

// Many thousands of malformed IPv6 frames through the walk and the checksum: nothing
// outside the record is touched, a refused frame is left as it was, and what the walk
// reports lies inside the packet.
TEST(ipv6_checksum, randomised_malformed_frames)
{
    std::mt19937 rng(31337);
    auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
        return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
    };
    auto heap = std::make_unique<_INTERMEDIATE_BUFFER>();
    guarded_record g;
    int rewritten = 0;
    for (int i = 0; i < 30000; ++i) {
        const std::uint8_t protocol = std::array<std::uint8_t, 4>{6, 17, 58, 59}[pick(0, 3)];
        bytes chain = protocol == 6 ? tcp(1, 2, pattern(pick(0, 30)), 2, pick(0, 10))
                      : protocol == 17 ? udp(1, 2, pattern(pick(0, 30)))
                                       : echo(128, pattern(pick(0, 30)));
        std::uint8_t next = protocol;
        for (int h = static_cast<int>(pick(0, 3)); h > 0; --h) {
            const std::uint8_t type = std::array<std::uint8_t, 4>{0, 43, 44, 60}[pick(0, 3)];
            chain = concat(type == 44 ? fragment_header(next, static_cast<std::uint16_t>(pick(0, 3) ? 0 : pick(0, 8191)),
                                                        pick(0, 1))
                           : type == 43 ? routing_header(next, static_cast<std::uint8_t>(pick(0, 3)))
                                        : options_header(next, static_cast<std::uint8_t>(pick(0, 3))),
                           chain);
            next = type;
        }
        bytes ip = ipv6(next, chain);
        // Damage: header bytes (version, payload length, next header), chain bytes.
        for (int k = static_cast<int>(pick(1, 4)); k > 0; --k) {
            const std::size_t at = pick(0, 2) ? std::array<std::size_t, 4>{0, 4, 5, 6}[pick(0, 3)]
                                              : pick(40, static_cast<std::uint32_t>(ip.size() - 1));
            ip[at] = static_cast<std::uint8_t>(pick(0, 255));
        }
        const std::uint32_t length_choice = pick(0, 4);
        const std::uint32_t random_length = pick(0, 1600);
        const std::uint32_t cut = pick(0, 12);
        for (_INTERMEDIATE_BUFFER* r : {heap.get(), &g.record}) {
            load(*r, 0x86DD, ip);
            if (length_choice == 0)
                r->length = random_length;
            else if (length_choice == 1)
                r->length = static_cast<std::uint32_t>(14 + ip.size() - cut);
            frame_view f(*r);
            const auto info = ipv6_upper_layer(f);
            if (info.header) {
                ASSERT_TRUE(f.is_ipv6());
                ASSERT_GE(info.header->offset, 54u);
                ASSERT_EQ(std::size_t{info.header->offset} + info.header->length, f.ip_end());
                ASSERT_GE(info.header->length, 4u);
            }
            const _INTERMEDIATE_BUFFER before = *r;
            if (!recalculate_ipv6_checksum(f)) {
                ASSERT_EQ(std::memcmp(&before, r, sizeof before), 0) << "iteration " << i;
            } else {
                ++rewritten;
                ASSERT_TRUE(info.header.has_value());
                ASSERT_TRUE(ipv6_upper_verifies(*r, info.header->offset, info.protocol));
            }
        }
        ASSERT_TRUE(g.canary_intact()) << "iteration " << i;
    }
    EXPECT_GT(rewritten, 1000);
}

// IPv6 frames whose checksums were recomputed here, read back by tshark.
TEST(ipv6_checksum, tshark_reads_recomputed_frames)
{
    ASSERT_TRUE(tshark_available()) << "tshark is needed (scripts/setup.sh installs it)";
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("lorrivan-ipv6-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    const std::string name = (dir / "lorrivan_tun.pcap").string();
    const bytes ips[] = {
        ipv6(17, udp(40000, 40001, pattern(31))),
        ipv6(6, tcp(40000, 40002, {}, 0x02, 1)),
        ipv6(6, tcp(40000, 40002, pattern(1439), 0x18)),
        ipv6(58, echo(128, pattern(57))),
        ipv6(0, concat(options_header(17), udp(40000, 40001, pattern(9)))),
        ipv6(0, concat(concat(options_header(60), options_header(6, 1)), tcp(40000, 40002, pattern(3)))),
        ipv6(44, concat(fragment_header(17, 0, false), udp(40000, 40001, pattern(11)))),
    };
    {
        rimcap::pcap_file_writer w(name);
        for (const bytes& ip : ips) {
            _INTERMEDIATE_BUFFER r{};
            load(r, 0x86DD, ip);
            ASSERT_TRUE(recalculate_ipv6_checksum(r));
            rimcap::write_capture_record(w, r);
        }
    }
    const auto lines = tshark_packet_lines(name);
    fs::remove_all(dir);
    ASSERT_TRUE(lines.has_value());
    ASSERT_EQ(lines->size(), std::size(ips));
    for (const std::string& line : *lines) {
        // frame, malformed, severity, ip, udp, tcp, icmp, icmpv6
        EXPECT_EQ(line.find("_ws.malformed"), std::string::npos) << line;
        EXPECT_EQ(line.find("8388608"), std::string::npos) << line;
        std::size_t tabs = 0, at = 0;
        std::string statuses;
        for (; tabs < 3 && (at = line.find('\t', at)) != std::string::npos; ++at)
            ++tabs;
        statuses = line.substr(at);
        EXPECT_EQ(statuses.find('0'), std::string::npos) << "a bad checksum: " << line;
        EXPECT_NE(statuses.find('1'), std::string::npos) << "no checksum verified: " << line;
    }
}
