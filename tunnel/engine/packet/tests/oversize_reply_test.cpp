// ICMP fragmentation-needed and ICMPv6 packet-too-big replies to oversize packets.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ipv6_walk.h"
#include "oversize_reply.h"
#include "netaccess/capture_file.h"
#include "netaccess/checksum.h"
#include "packet_builder.h"
#include "tshark_check.h"

using namespace testpkt;
using wireguard::inject_icmp_frag_needed;
using wireguard::inject_icmpv6_packet_too_big;
using wireguard::oversize_action;
using wireguard::oversize_reply_inputs;

namespace
{
constexpr std::uint16_t ipv4_type = 0x0800;
constexpr std::uint16_t ipv6_type = 0x86DD;
constexpr std::optional<oversize_action> fits = std::nullopt;

// Frames with every checksum right, so that the quoted packets verify as well.
void make_checksums_valid(_INTERMEDIATE_BUFFER& r)
{
    rimcap::frame_view f(r);
    if (f.is_ipv4()) {
        rimcap::recalculate_tcp_checksum(f);
        rimcap::recalculate_udp_checksum(f);
        rimcap::recalculate_icmp_checksum(f);
        rimcap::recalculate_ip_checksum(f);
    } else if (f.is_ipv6()) {
        wireguard::recalculate_ipv6_checksum(f);
    }
}

// A TCP packet of exactly `size` IP bytes.
bytes ipv4_of_size(std::size_t size, std::uint16_t flags = 0x4000, int ihl = 5)
{
    return ipv4(6, tcp(40000, 443, pattern(size - ihl * 4u - 20, 3)), ihl, flags);
}

bytes ipv6_of_size(std::size_t size)
{
    return ipv6(6, tcp(40000, 443, pattern(size - 60, 5)));
}

void put32(bytes& b, std::size_t at, std::uint32_t v)
{
    put16(b, at, static_cast<std::uint16_t>(v >> 16));
    put16(b, at + 2, static_cast<std::uint16_t>(v));
}

// The IPv4 reply, field by field from its layout, checksums summed independently.
bytes expected_ipv4_reply(const _INTERMEDIATE_BUFFER& sender, std::size_t quoted, std::uint16_t mtu)
{
    const std::uint8_t* s = sender.frame;
    bytes b(42 + quoted, 0);
    std::memcpy(&b[0], s + 6, 6);
    std::memcpy(&b[6], s, 6);
    b[12] = 0x08;
    b[13] = 0x00;
    b[14] = 0x45;
    b[15] = 0;
    put16(b, 16, static_cast<std::uint16_t>(28 + quoted));
    b[18] = s[18];
    b[19] = s[19];
    put16(b, 20, 0x4000);
    b[22] = 30;
    b[23] = 1;
    std::memcpy(&b[26], s + 30, 4);
    std::memcpy(&b[30], s + 26, 4);
    b[34] = 3;
    b[35] = 4;
    put16(b, 40, mtu);
    std::memcpy(&b[42], s + 14, quoted);
    put16(b, 24, static_cast<std::uint16_t>(~reference_sum(&b[14], 20)));
    put16(b, 36, static_cast<std::uint16_t>(~reference_sum(&b[34], 8 + quoted)));
    return b;
}

// The IPv6 reply, likewise.
bytes expected_ipv6_reply(const _INTERMEDIATE_BUFFER& sender, std::size_t quoted, std::uint32_t mtu)
{
    const std::uint8_t* s = sender.frame;
    bytes b(62 + quoted, 0);
    std::memcpy(&b[0], s + 6, 6);
    std::memcpy(&b[6], s, 6);
    b[12] = 0x86;
    b[13] = 0xDD;
    std::memcpy(&b[14], s + 14, 4);
    put16(b, 18, static_cast<std::uint16_t>(8 + quoted));
    b[20] = 58;
    b[21] = s[21];
    std::memcpy(&b[22], s + 38, 16);
    std::memcpy(&b[38], s + 22, 16);
    b[54] = 2;
    b[55] = 0;
    put32(b, 58, mtu);
    std::memcpy(&b[62], s + 14, quoted);
    std::uint32_t sum = reference_sum(&b[22], 32);
    sum += static_cast<std::uint32_t>(8 + quoted);
    sum += 58;
    put16(b, 56, static_cast<std::uint16_t>(~reference_sum(&b[54], 8 + quoted, sum)));
    return b;
}

struct log_capture {
    std::vector<std::string> lines;
    std::function<void(const char*)> logger = [this](const char* text) { lines.emplace_back(text); };
};

struct reply_case {
    const char* name;
    std::uint16_t ether_type;
    bytes ip;
    std::uint16_t tested_mtu;
    std::uint16_t reported_mtu;
    std::uint16_t reply_bound;
    std::optional<oversize_action> action;
    std::size_t quoted = 0;  // bytes of the sender's packet in the reply
    std::string log = {};    // the line at level 3
    std::size_t padding = 0; // Ethernet padding behind the sender's packet
};

void PrintTo(const reply_case& c, std::ostream* os)
{
    *os << c.name;
}

const std::string above = "[TUN]: Packet size is above MTU: ip_len = ";
const std::string dropping = "[TUN]: Packet size is above MTU: Dropping \n";

const reply_case ipv4_cases[] = {
    {"mtu_plus_one_with_df", ipv4_type, ipv4_of_size(1421), 1420, 1420, 0, oversize_action::revert, 28,
     above + "1421 MTU = 1420 => Injecting ICMP unreachable"},
    {"exactly_mtu_fits", ipv4_type, ipv4_of_size(1420), 1420, 1420, 0, fits},
    {"mtu_plus_one_without_df_is_dropped", ipv4_type, ipv4_of_size(1421, 0), 1420, 1420, 0, oversize_action::drop,
     0, dropping},
    {"more_fragments_without_df_is_dropped", ipv4_type, ipv4_of_size(1500, 0x2000), 1420, 1420, 0,
     oversize_action::drop, 0, dropping},
    {"header_options_ihl_6_quote_32", ipv4_type, ipv4_of_size(1500, 0x4000, 6), 1420, 1420, 0,
     oversize_action::revert, 32, above + "1500 MTU = 1420 => Injecting ICMP unreachable"},
    {"header_options_ihl_15_quote_68", ipv4_type, ipv4_of_size(1500, 0x4000, 15), 1420, 1420, 0,
     oversize_action::revert, 68, above + "1500 MTU = 1420 => Injecting ICMP unreachable"},
    {"physical_mtu_tested_tunnel_mtu_reported", ipv4_type, ipv4_of_size(1401), 1400, 1420, 0,
     oversize_action::revert, 28, above + "1401 MTU = 1400 => Injecting ICMP unreachable"},
    {"udp_datagram", ipv4_type, ipv4(17, udp(5000, 53, pattern(1472))), 1420, 1420, 0, oversize_action::revert, 28,
     above + "1500 MTU = 1420 => Injecting ICMP unreachable"},
    {"quote_stays_inside_a_short_packet", ipv4_type, ipv4(17, bytes{1, 2, 3, 4}), 20, 20, 0,
     oversize_action::revert, 24, above + "24 MTU = 20 => Injecting ICMP unreachable"},
    {"bare_header_quoted_alone", ipv4_type, ipv4(6, {}), 0, 576, 0, oversize_action::revert, 20,
     above + "20 MTU = 0 => Injecting ICMP unreachable"},
    {"padding_behind_the_packet", ipv4_type, ipv4(17, udp(1, 2, pattern(10))), 30, 1420, 0,
     oversize_action::revert, 28, above + "38 MTU = 30 => Injecting ICMP unreachable", 8},
    {"total_length_past_the_frame", ipv4_type,
     [] {
         bytes b = ipv4_of_size(1450);
         put16(b, 2, 1460);
         return b;
     }(),
     1420, 1420, 0, fits},
    {"ipv6_frame", ipv6_type, ipv6_of_size(1500), 1420, 1420, 1500, fits},
    {"other_ether_type", 0x0806, ipv4_of_size(1500), 1420, 1420, 1500, fits},
};

const reply_case ipv6_cases[] = {
    {"payload_mtu_minus_40_fits", ipv6_type, ipv6_of_size(1420), 1420, 1420, 1500, fits},
    {"payload_mtu_minus_39_quotes_the_whole_packet", ipv6_type, ipv6_of_size(1421), 1420, 1420, 1500,
     oversize_action::revert, 1421, above + "1421 MTU = 1420 => Injecting ICMP Packet Too Big"},
    {"full_frame_reply_of_1500", ipv6_type, ipv6_of_size(1500), 1420, 1420, 1500, oversize_action::revert, 1452,
     above + "1500 MTU = 1420 => Injecting ICMP Packet Too Big"},
    {"adapter_9000_still_1500", ipv6_type, ipv6_of_size(1500), 1420, 1420, 9000, oversize_action::revert, 1452,
     above + "1500 MTU = 1420 => Injecting ICMP Packet Too Big"},
    {"adapter_1280", ipv6_type, ipv6_of_size(1500), 1420, 1420, 1280, oversize_action::revert, 1232,
     above + "1500 MTU = 1420 => Injecting ICMP Packet Too Big"},
    {"adapter_0_counts_as_1280", ipv6_type, ipv6_of_size(1500), 1420, 1420, 0, oversize_action::revert, 1232,
     above + "1500 MTU = 1420 => Injecting ICMP Packet Too Big"},
    {"adapter_47_counts_as_1280", ipv6_type, ipv6_of_size(1500), 1420, 1420, 47, oversize_action::revert, 1232,
     above + "1500 MTU = 1420 => Injecting ICMP Packet Too Big"},
    {"adapter_48_quotes_nothing", ipv6_type, ipv6_of_size(1500), 1420, 1420, 48, oversize_action::revert, 0,
     above + "1500 MTU = 1420 => Injecting ICMP Packet Too Big"},
    {"physical_mtu_tested_tunnel_mtu_reported", ipv6_type, ipv6_of_size(1401), 1400, 1420, 1500,
     oversize_action::revert, 1401, above + "1401 MTU = 1400 => Injecting ICMP Packet Too Big"},
    {"extension_headers_quoted_as_they_are", ipv6_type,
     ipv6(0, concat(options_header(17, 2), udp(1, 2, pattern(1400)))), 1280, 1280, 1500, oversize_action::revert,
     1452, above + "1472 MTU = 1280 => Injecting ICMP Packet Too Big"},
    {"short_packet_small_mtu", ipv6_type, ipv6(17, udp(1, 2, pattern(12))), 40, 1280, 1500,
     oversize_action::revert, 60, above + "60 MTU = 40 => Injecting ICMP Packet Too Big", 6},
    {"payload_length_past_the_frame", ipv6_type,
     [] {
         bytes b = ipv6_of_size(1450);
         put16(b, 4, 1420);
         return b;
     }(),
     1420, 1420, 1500, fits},
    {"ipv4_frame", ipv4_type, ipv4_of_size(1500), 1420, 1420, 1500, fits},
};

class ipv4_replies : public ::testing::TestWithParam<reply_case>
{
};
class ipv6_replies : public ::testing::TestWithParam<reply_case>
{
};

void run_case(const reply_case& c, bool ipv6)
{
    guarded_record g;
    load(g.record, c.ether_type, c.ip, c.padding);
    make_checksums_valid(g.record);
    const _INTERMEDIATE_BUFFER sender = g.record;

    log_capture log;
    oversize_reply_inputs in;
    in.tested_mtu = c.tested_mtu;
    in.reported_mtu = c.reported_mtu;
    in.reply_bound = c.reply_bound;
    in.log_level = 3;
    in.logger = &log.logger;
    const auto action = ipv6 ? inject_icmpv6_packet_too_big(g.record, in) : inject_icmp_frag_needed(g.record, in);

    EXPECT_EQ(action, c.action);
    EXPECT_TRUE(g.canary_intact());
    if (c.log.empty())
        EXPECT_TRUE(log.lines.empty());
    else
        EXPECT_EQ(log.lines, std::vector<std::string>{c.log});
    if (action != oversize_action::revert) {
        EXPECT_EQ(std::memcmp(&sender, &g.record, sizeof sender), 0) << "the frame was touched";
        return;
    }

    const bytes expected = ipv6 ? expected_ipv6_reply(sender, c.quoted, c.reported_mtu)
                                : expected_ipv4_reply(sender, c.quoted, c.reported_mtu);
    ASSERT_EQ(g.record.length, expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (g.record.frame[i] != expected[i]) {
            ADD_FAILURE() << "frame byte " << i << ": " << int{g.record.frame[i]} << " instead of "
                          << int{expected[i]};
            break;
        }
    // The checksums by the reference verifiers as well.
    if (ipv6) {
        EXPECT_TRUE(ipv6_upper_verifies(g.record, 54, 58));
    } else {
        EXPECT_TRUE(ipv4_header_verifies(g.record));
        EXPECT_TRUE(ipv4_transport_verifies(g.record));
    }
    EXPECT_TRUE(rimcap::frame_view(g.record).ok());
}

TEST_P(ipv4_replies, builds_exactly)
{
    run_case(GetParam(), false);
}

TEST_P(ipv6_replies, builds_exactly)
{
    run_case(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(oversize, ipv4_replies, ::testing::ValuesIn(ipv4_cases),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(oversize, ipv6_replies, ::testing::ValuesIn(ipv6_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// The first case byte by byte, written out by hand.
TEST(oversize_reply, ipv4_reply_bytes_by_hand)
{
    _INTERMEDIATE_BUFFER r{};
    load(r, ipv4_type, ipv4_of_size(1421));
    make_checksums_valid(r);
    bytes quoted(r.frame + 14, r.frame + 14 + 28);
    oversize_reply_inputs in;
    in.tested_mtu = 1420;
    in.reported_mtu = 1420;
    ASSERT_EQ(inject_icmp_frag_needed(r, in), oversize_action::revert);

    bytes want = {
        0x02, 0, 0, 0, 0, 0xAA, 0x02, 0, 0, 0, 0, 0xBB, 0x08, 0x00, // Ethernet, swapped
        0x45, 0x00, 0x00, 0x38, 0x12, 0x34, 0x40, 0x00, 30, 1, 0, 0, // IPv4 header
        198, 51, 100, 7, 192, 0, 2, 10,                              // from the destination
        3, 4, 0, 0, 0, 0, 0x05, 0x8C,                                // ICMP 3/4, MTU 1420
    };
    want.insert(want.end(), quoted.begin(), quoted.end());
    ASSERT_EQ(r.length, 70u);
    ASSERT_EQ(want.size(), 70u);
    // Checksums: compare everything else, then verify them.
    bytes got(r.frame, r.frame + 70);
    got[24] = got[25] = got[36] = got[37] = 0;
    EXPECT_EQ(got, want);
    EXPECT_TRUE(ipv4_header_verifies(r));
    EXPECT_TRUE(ipv4_transport_verifies(r));
    EXPECT_EQ(get16(r.frame + 16) + 14u, r.length); // 56-byte message in a 70-byte frame
}

TEST(oversize_reply, ipv6_reply_bytes_by_hand)
{
    _INTERMEDIATE_BUFFER r{};
    load(r, ipv6_type, ipv6_of_size(1500));
    make_checksums_valid(r);
    const bytes quoted(r.frame + 14, r.frame + 14 + 1452);
    oversize_reply_inputs in;
    in.tested_mtu = 1420;
    in.reported_mtu = 1420;
    in.reply_bound = 1500;
    ASSERT_EQ(inject_icmpv6_packet_too_big(r, in), oversize_action::revert);

    bytes want = {
        0x02, 0, 0, 0, 0, 0xAA, 0x02, 0, 0, 0, 0, 0xBB, 0x86, 0xDD, // Ethernet, swapped
        0x60, 0x01, 0x23, 0x45, 0x05, 0xB4, 58, 64,                  // payload length 1460
    };
    want.insert(want.end(), ipv6_b.begin(), ipv6_b.end());
    want.insert(want.end(), ipv6_a.begin(), ipv6_a.end());
    const bytes icmp = {2, 0, 0, 0, 0, 0, 0x05, 0x8C};
    want.insert(want.end(), icmp.begin(), icmp.end());
    want.insert(want.end(), quoted.begin(), quoted.end());
    ASSERT_EQ(r.length, 1514u);
    ASSERT_EQ(want.size(), 1514u);
    bytes got(r.frame, r.frame + 1514);
    got[56] = got[57] = 0;
    EXPECT_EQ(got, want);
    EXPECT_TRUE(ipv6_upper_verifies(r, 54, 58));
}

// Log lines need level 3; an empty or missing logger writes nothing.
TEST(oversize_reply, log_levels)
{
    struct row {
        std::int32_t level;
        bool empty_logger;
        bool null_logger;
        bool logged;
    };
    const row rows[] = {{0, false, false, false}, {1, false, false, false}, {2, false, false, false},
                        {3, false, false, true},  {4, false, false, true},  {3, true, false, false},
                        {3, false, true, false},  {-1, false, false, false}};
    for (const row& x : rows) {
        for (int kind = 0; kind < 3; ++kind) {
            _INTERMEDIATE_BUFFER r{};
            if (kind == 2)
                load(r, ipv6_type, ipv6_of_size(1500));
            else
                load(r, ipv4_type, ipv4_of_size(1500, kind == 0 ? 0x4000 : 0));
            log_capture log;
            std::function<void(const char*)> empty;
            oversize_reply_inputs in;
            in.tested_mtu = 1420;
            in.reported_mtu = 1420;
            in.reply_bound = 1500;
            in.log_level = x.level;
            in.logger = x.null_logger ? nullptr : x.empty_logger ? &empty : &log.logger;
            const auto action = kind == 2 ? inject_icmpv6_packet_too_big(r, in) : inject_icmp_frag_needed(r, in);
            EXPECT_EQ(action, kind == 1 ? oversize_action::drop : oversize_action::revert);
            EXPECT_EQ(log.lines.size(), x.logged ? 1u : 0u) << "level " << x.level << " kind " << kind;
        }
    }
}

// The reply goes to the capture of local packets: the file holds the reply's bytes.
TEST(oversize_reply, reply_is_captured)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("lorrivan-oversize-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    const std::string name = (dir / "lorrivan_lcl.pcap").string();
    _INTERMEDIATE_BUFFER a{}, b{}, c{};
    load(a, ipv4_type, ipv4_of_size(1500));
    load(b, ipv6_type, ipv6_of_size(1500));
    load(c, ipv4_type, ipv4_of_size(1500, 0));
    {
        rimcap::pcap_file_writer w(name);
        oversize_reply_inputs in;
        in.tested_mtu = 1420;
        in.reported_mtu = 1420;
        in.reply_bound = 1280;
        in.capture_lcl = &w;
        ASSERT_EQ(inject_icmp_frag_needed(a, in), oversize_action::revert);
        ASSERT_EQ(inject_icmpv6_packet_too_big(b, in), oversize_action::revert);
        ASSERT_EQ(inject_icmp_frag_needed(c, in), oversize_action::drop); // nothing captured
    }
    std::ifstream f(name, std::ios::binary);
    const bytes file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    f.close();
    fs::remove_all(dir);
    ASSERT_EQ(file.size(), 24u + 16 + a.length + 16 + b.length);
    auto le32 = [&](std::size_t at) {
        return std::uint32_t{file[at]} | std::uint32_t{file[at + 1]} << 8 | std::uint32_t{file[at + 2]} << 16 |
               std::uint32_t{file[at + 3]} << 24;
    };
    EXPECT_EQ(le32(24 + 8), a.length);
    EXPECT_EQ(std::memcmp(&file[24 + 16], a.frame, a.length), 0);
    const std::size_t second = 24 + 16 + a.length;
    EXPECT_EQ(le32(second + 8), b.length);
    EXPECT_EQ(b.length, 14u + 1280);
    EXPECT_EQ(std::memcmp(&file[second + 16], b.frame, b.length), 0);
}

// Randomised frames, well-formed and broken: nothing outside the record is touched, a
// frame that gets no reply is untouched, and a reply quotes only the sender's packet.
TEST(oversize_reply, random_frames)
{
    std::mt19937 rng(77031);
    auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    std::size_t replies = 0, drops = 0;
    for (int i = 0; i < 20000; ++i) {
        const bool v6 = below(2) == 0;
        const std::size_t size = (v6 ? 40 : 20) + below(v6 ? 1461 : 1481);
        bytes ip;
        if (v6) {
            ip = ipv6(static_cast<std::uint8_t>(below(256)), pattern(size - 40, static_cast<std::uint8_t>(i)));
        } else {
            const int ihl = 5 + static_cast<int>(below(11));
            const std::size_t header = static_cast<std::size_t>(ihl) * 4;
            ip = ipv4(static_cast<std::uint8_t>(below(256)),
                      pattern(size > header ? size - header : 0, static_cast<std::uint8_t>(i)), ihl,
                      static_cast<std::uint16_t>(below(65536)));
        }
        guarded_record g;
        load(g.record, below(10) == 0 ? 0x0806 : v6 ? ipv6_type : ipv4_type, ip, below(8) == 0 ? below(8) : 0);
        if (g.record.length > 1514)
            g.record.length = 1514;
        for (std::size_t n = below(3); n > 0; --n)
            g.record.frame[14 + below(40)] = static_cast<std::uint8_t>(below(256));
        if (below(20) == 0)
            g.record.length = static_cast<std::uint32_t>(below(1600));
        const _INTERMEDIATE_BUFFER sender = g.record;
        const rimcap::frame_view before(g.record);
        const std::size_t sender_length = before.ip_length();

        oversize_reply_inputs in;
        in.tested_mtu = static_cast<std::uint16_t>(below(1600));
        in.reported_mtu = static_cast<std::uint16_t>(below(65536));
        in.reply_bound = static_cast<std::uint16_t>(below(10000));
        const auto action = below(2) ? inject_icmpv6_packet_too_big(g.record, in) : inject_icmp_frag_needed(g.record, in);
        ASSERT_TRUE(g.canary_intact()) << i;
        if (action != oversize_action::revert) {
            drops += action.has_value();
            ASSERT_EQ(std::memcmp(&sender, &g.record, sizeof sender), 0) << i;
            continue;
        }
        ++replies;
        rimcap::frame_view after(g.record);
        ASSERT_TRUE(after.ok()) << i;
        ASSERT_GT(sender_length, in.tested_mtu);
        if (after.is_ipv4()) {
            const std::size_t quoted = g.record.length - 42;
            ASSERT_LE(quoted, sender_length) << i;
            ASSERT_LE(quoted, 68u);
            ASSERT_EQ(std::memcmp(g.record.frame + 42, sender.frame + 14, quoted), 0) << i;
            ASSERT_TRUE(ipv4_header_verifies(g.record));
            ASSERT_TRUE(ipv4_transport_verifies(g.record));
        } else {
            ASSERT_TRUE(after.is_ipv6()) << i;
            const std::size_t quoted = g.record.length - 62;
            ASSERT_LE(quoted, sender_length) << i;
            ASSERT_LE(quoted, 1452u);
            ASSERT_EQ(std::memcmp(g.record.frame + 62, sender.frame + 14, quoted), 0) << i;
            ASSERT_TRUE(ipv6_upper_verifies(g.record, 54, 58));
        }
    }
    EXPECT_GT(replies, 2000u);
    EXPECT_GT(drops, 500u);
}

// Replies written to a capture file, read back by tshark: every checksum good, nothing
// malformed.
TEST(oversize_reply, tshark_reads_the_replies)
{
    ASSERT_TRUE(tshark_available()) << "tshark is needed (scripts/setup.sh installs it)";
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("lorrivan-oversize-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    const std::string name = (dir / "lorrivan_lcl.pcap").string();
    std::size_t written = 0;
    {
        rimcap::pcap_file_writer w(name);
        auto reply = [&](std::uint16_t type, const bytes& ip, std::uint16_t t, std::uint16_t bound) {
            _INTERMEDIATE_BUFFER r{};
            load(r, type, ip);
            make_checksums_valid(r);
            oversize_reply_inputs in;
            in.tested_mtu = t;
            in.reported_mtu = t;
            in.reply_bound = bound;
            in.capture_lcl = &w;
            const auto action =
                type == ipv6_type ? inject_icmpv6_packet_too_big(r, in) : inject_icmp_frag_needed(r, in);
            ASSERT_EQ(action, oversize_action::revert);
            ++written;
        };
        reply(ipv4_type, ipv4_of_size(1421), 1420, 0);
        reply(ipv4_type, ipv4_of_size(1500, 0x4000, 6), 1420, 0);
        reply(ipv4_type, ipv4(17, udp(5000, 53, pattern(1472))), 1420, 0);
        reply(ipv4_type, ipv4(17, bytes{1, 2, 3, 4}), 20, 0);
        // Quoted whole: tshark verifies the quoted segment's checksum too.
        reply(ipv6_type, ipv6_of_size(1421), 1420, 1500);
        reply(ipv6_type, ipv6(17, udp(1, 2, pattern(1000))), 1000, 9000);
        // Quoted in part: tshark would sum the cut-off segment and call its checksum
        // bad, so these carry no upper layer (next header 59).
        reply(ipv6_type, ipv6(59, pattern(1460)), 1420, 1500);
        reply(ipv6_type, ipv6(59, pattern(1460)), 1280, 1280);
    }
    const auto lines = tshark_packet_lines(name);
    fs::remove_all(dir);
    ASSERT_TRUE(lines.has_value());
    ASSERT_EQ(lines->size(), written);
    for (const std::string& line : *lines) {
        // frame, malformed, severity, ip, udp, tcp, icmp, icmpv6
        std::vector<std::string> fields = tshark_fields(line);
        fields.resize(8);
        EXPECT_TRUE(fields[1].empty()) << "malformed: " << line;
        EXPECT_EQ(fields[2].find("8388608"), std::string::npos) << "an error: " << line;
        for (std::size_t k = 3; k < 8; ++k) {
            // A field lists the outer value first, then those of the quoted packet.
            std::size_t at = 0;
            for (std::size_t comma; at <= fields[k].size(); at = comma + 1) {
                comma = fields[k].find(',', at);
                if (comma == std::string::npos)
                    comma = fields[k].size();
                EXPECT_NE(fields[k].substr(at, comma - at), "0") << "a bad checksum: " << line;
            }
        }
        const bool ipv4_reply = !fields[3].empty();
        if (ipv4_reply) {
            EXPECT_EQ(fields[3].substr(0, 1), "1") << line;
            EXPECT_EQ(fields[6].substr(0, 1), "1") << line;
        } else {
            EXPECT_EQ(fields[7].substr(0, 1), "1") << line;
        }
    }
}
} // namespace
