// The frame view: its checks of the frame, transport headers, and field access that
// cannot leave the record.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "frame_view.h"
#include "packet_builder.h"

using namespace testpkt;
using rimcap::frame_check;
using rimcap::frame_view;

namespace
{
struct check_case {
    const char* name;
    std::function<void(_INTERMEDIATE_BUFFER&)> build;
    frame_check expected;
    std::size_t ip_length;  // expected ip_length() when ok and IP
};

void ipv4_udp(_INTERMEDIATE_BUFFER& r)
{
    load(r, 0x0800, ipv4(17, udp(1000, 53, pattern(12))));
}

void ipv6_udp(_INTERMEDIATE_BUFFER& r)
{
    load(r, 0x86DD, ipv6(17, udp(1000, 53, pattern(12))));
}

const check_case check_cases[] = {
    {"frame_length_13", [](auto& r) { load(r, 0x0806, {}); r.length = 13; }, frame_check::bad_frame_length, 0},
    {"frame_length_14_arp", [](auto& r) { load(r, 0x0806, {}); }, frame_check::ok, 0},
    {"frame_length_1514_other", [](auto& r) { load(r, 0x88CC, bytes(1500, 0)); }, frame_check::ok, 0},
    {"frame_length_1515", [](auto& r) { load(r, 0x88CC, bytes(1500, 0)); r.length = 1515; },
     frame_check::bad_frame_length, 0},
    {"frame_length_huge", [](auto& r) { load(r, 0x0800, {}); r.length = 0xFFFFFFFF; },
     frame_check::bad_frame_length, 0},
    {"ipv4_ok", ipv4_udp, frame_check::ok, 40},
    {"ipv4_padding_after_packet", [](auto& r) { load(r, 0x0800, ipv4(17, udp(1, 2, {})), 18); }, frame_check::ok,
     28},
    {"ipv4_header_only", [](auto& r) { load(r, 0x0800, ipv4(253, {})); }, frame_check::ok, 20},
    {"ipv4_max_options", [](auto& r) { load(r, 0x0800, ipv4(17, udp(1, 2, {}), 15)); }, frame_check::ok, 68},
    {"ipv4_19_bytes", [](auto& r) { load(r, 0x0800, ipv4(17, {})); r.length = 14 + 19; },
     frame_check::short_ip_header, 0},
    {"ipv4_version_6", [](auto& r) { ipv4_udp(r); r.frame[14] = 0x65; }, frame_check::bad_ip_version, 0},
    {"ipv4_ihl_4", [](auto& r) { ipv4_udp(r); r.frame[14] = 0x44; }, frame_check::bad_ip_header_length, 0},
    {"ipv4_ihl_0", [](auto& r) { ipv4_udp(r); r.frame[14] = 0x40; }, frame_check::bad_ip_header_length, 0},
    {"ipv4_ihl_past_frame", [](auto& r) { ipv4_udp(r); r.frame[14] = 0x4F; }, frame_check::short_ip_header, 0},
    {"ipv4_total_below_header", [](auto& r) { ipv4_udp(r); r.frame[16] = 0; r.frame[17] = 19; },
     frame_check::bad_ip_length, 0},
    {"ipv4_total_zero", [](auto& r) { ipv4_udp(r); r.frame[16] = 0; r.frame[17] = 0; }, frame_check::bad_ip_length,
     0},
    {"ipv4_total_one_past_frame", [](auto& r) { ipv4_udp(r); r.frame[17] = 41; }, frame_check::bad_ip_length, 0},
    {"ipv4_total_65535", [](auto& r) { ipv4_udp(r); r.frame[16] = 0xFF; r.frame[17] = 0xFF; },
     frame_check::bad_ip_length, 0},
    {"ipv6_ok", ipv6_udp, frame_check::ok, 60},
    {"ipv6_no_payload", [](auto& r) { load(r, 0x86DD, ipv6(59, {})); }, frame_check::ok, 40},
    {"ipv6_padding_after_packet", [](auto& r) { load(r, 0x86DD, ipv6(59, {}), 6); }, frame_check::ok, 40},
    {"ipv6_39_bytes", [](auto& r) { load(r, 0x86DD, ipv6(59, {})); r.length = 14 + 39; },
     frame_check::short_ip_header, 0},
    {"ipv6_version_4", [](auto& r) { ipv6_udp(r); r.frame[14] = 0x40; }, frame_check::bad_ip_version, 0},
    {"ipv6_payload_one_past_frame", [](auto& r) { ipv6_udp(r); r.frame[19] = 21; }, frame_check::bad_ip_length, 0},
    {"ipv6_payload_65535", [](auto& r) { ipv6_udp(r); r.frame[18] = 0xFF; r.frame[19] = 0xFF; },
     frame_check::bad_ip_length, 0},
};

class frame_checks : public ::testing::TestWithParam<check_case>
{
};
} // namespace

TEST_P(frame_checks, status_and_lengths)
{
    const check_case& c = GetParam();
    guarded_record g;
    c.build(g.record);
    frame_view f(g.record);
    EXPECT_EQ(f.status(), c.expected);
    EXPECT_EQ(f.check(), c.expected);
    if (c.expected == frame_check::ok) {
        EXPECT_EQ(f.length(), std::uint32_t{g.record.length});
        EXPECT_EQ(f.ip_length(), c.ip_length);
        EXPECT_EQ(f.ip_end(), c.ip_length ? 14 + c.ip_length : 0);
        EXPECT_EQ(f.ip_packet().size(), c.ip_length);
    } else {
        EXPECT_FALSE(f.is_ipv4());
        EXPECT_FALSE(f.is_ipv6());
        EXPECT_EQ(f.ip_length(), 0u);
        EXPECT_EQ(f.ip_protocol(), 0);
        EXPECT_FALSE(f.ipv4_transport());
    }
    EXPECT_TRUE(g.canary_intact());
}

INSTANTIATE_TEST_SUITE_P(table, frame_checks, ::testing::ValuesIn(check_cases),
                         [](const auto& info) { return std::string(info.param.name); });

namespace
{
struct transport_case {
    const char* name;
    bytes ip;
    bool present;          // ipv4_transport() finds a header
    std::size_t offset;    // where
    std::size_t length;    // bytes to the end of the packet
    bool complete;
    std::size_t tcp_length; // tcp_header_length()
    std::size_t udp_length; // udp_length()
};

bytes with_byte(bytes b, std::size_t at, std::uint8_t v)
{
    b[at] = v;
    return b;
}

const transport_case transport_cases[] = {
    {"tcp_plain", ipv4(6, tcp(1, 2, pattern(5))), true, 34, 25, true, 20, 0},
    {"tcp_options_behind_ip_options", ipv4(6, tcp(1, 2, {}, 2, 3), 7), true, 42, 32, true, 32, 0},
    {"tcp_19_bytes", ipv4(6, bytes(19, 0)), true, 34, 19, false, 0, 0},
    {"tcp_data_offset_4", ipv4(6, with_byte(tcp(1, 2, pattern(8)), 12, 0x40)), true, 34, 28, false, 0, 0},
    {"tcp_data_offset_past_packet", ipv4(6, with_byte(tcp(1, 2, pattern(8)), 12, 0x80)), true, 34, 28, false, 0, 0},
    {"tcp_data_offset_15_fits", ipv4(6, tcp(1, 2, {}, 2, 10)), true, 34, 60, true, 60, 0},
    {"udp_plain", ipv4(17, udp(1, 2, pattern(3))), true, 34, 11, true, 0, 11},
    {"udp_7_bytes", ipv4(17, bytes(7, 0)), true, 34, 7, false, 0, 0},
    {"udp_length_7", ipv4(17, with_byte(udp(1, 2, pattern(3)), 5, 7)), true, 34, 11, true, 0, 0},
    {"udp_length_past_packet", ipv4(17, with_byte(udp(1, 2, pattern(3)), 5, 12)), true, 34, 11, true, 0, 0},
    {"udp_length_short_of_packet", ipv4(17, with_byte(udp(1, 2, pattern(3)), 5, 9)), true, 34, 11, true, 0, 9},
    {"icmp_plain", ipv4(1, echo(8, {})), true, 34, 8, true, 0, 0},
    {"icmp_7_bytes", ipv4(1, bytes(7, 0)), true, 34, 7, false, 0, 0},
    {"first_fragment", ipv4(17, udp(1, 2, pattern(16)), 5, 0x2000), true, 34, 24, true, 0, 24},
    {"later_fragment", ipv4(17, udp(1, 2, pattern(16)), 5, 0x0001), false, 0, 0, false, 0, 0},
    {"last_fragment_df", ipv4(17, udp(1, 2, pattern(16)), 5, 0x4100), false, 0, 0, false, 0, 0},
    {"other_protocol_empty", ipv4(47, {}), true, 34, 0, true, 0, 0},
};

class transport_headers : public ::testing::TestWithParam<transport_case>
{
};
} // namespace

TEST_P(transport_headers, found_and_checked)
{
    const transport_case& c = GetParam();
    guarded_record g;
    load(g.record, 0x0800, c.ip);
    frame_view f(g.record);
    ASSERT_TRUE(f.is_ipv4());
    const auto t = f.ipv4_transport();
    ASSERT_EQ(t.has_value(), c.present);
    if (t) {
        EXPECT_EQ(t->protocol, c.ip[9]);
        EXPECT_EQ(t->offset, c.offset);
        EXPECT_EQ(t->length, c.length);
        EXPECT_EQ(f.header_complete(*t), c.complete);
        EXPECT_EQ(f.tcp_header_length(*t), c.tcp_length);
        EXPECT_EQ(f.udp_length(*t), c.udp_length);
    }
}

INSTANTIATE_TEST_SUITE_P(table, transport_headers, ::testing::ValuesIn(transport_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(frame_view, fragment_information)
{
    struct row {
        std::uint16_t flags_offset;
        bool df, mf;
        std::size_t offset;
        bool fragment;
    };
    const row rows[] = {
        {0x0000, false, false, 0, false}, {0x4000, true, false, 0, false}, {0x2000, false, true, 0, true},
        {0x2001, false, true, 8, true},   {0x1FFF, false, false, 65528, true}, {0x6003, true, true, 24, true},
    };
    for (const row& r : rows) {
        _INTERMEDIATE_BUFFER rec{};
        load(rec, 0x0800, ipv4(17, udp(1, 2, {}), 5, r.flags_offset));
        frame_view f(rec);
        SCOPED_TRACE(r.flags_offset);
        EXPECT_EQ(f.dont_fragment(), r.df);
        EXPECT_EQ(f.more_fragments(), r.mf);
        EXPECT_EQ(f.fragment_offset(), r.offset);
        EXPECT_EQ(f.is_fragment(), r.fragment);
    }
}

TEST(frame_view, header_complete_rejects_header_outside_packet)
{
    _INTERMEDIATE_BUFFER rec{};
    load(rec, 0x0800, ipv4(17, udp(1, 2, pattern(4))), 30);
    frame_view f(rec);
    ASSERT_TRUE(f.is_ipv4());
    // A header that a caller located wrongly, past the IP packet or before it.
    EXPECT_FALSE(f.header_complete({17, 40, 8}));
    EXPECT_FALSE(f.header_complete({17, 4, 8}));
    EXPECT_FALSE(f.header_complete({17, 34, 13}));
    EXPECT_TRUE(f.header_complete({17, 34, 12}));
    _INTERMEDIATE_BUFFER arp{};
    load(arp, 0x0806, bytes(28, 0));
    EXPECT_FALSE(frame_view(arp).header_complete({17, 14, 8}));
}

TEST(frame_view, reads_stay_within_valid_bytes)
{
    guarded_record g;
    load(g.record, 0x0800, ipv4(17, udp(0x1234, 0xABCD, pattern(2))));
    frame_view f(g.record);
    const std::size_t n = f.length(); // 44
    EXPECT_EQ(f.u16(12), 0x0800);
    EXPECT_EQ(f.u16(34), 0x1234);
    EXPECT_EQ(f.u32(34), 0x1234ABCDu);
    EXPECT_EQ(f.u8(n - 1), g.record.frame[n - 1]);
    EXPECT_EQ(f.u8(n), 0);
    EXPECT_EQ(f.u16(n - 1), 0);
    EXPECT_EQ(f.u32(n - 3), 0u);
    EXPECT_EQ(f.u32(SIZE_MAX - 1), 0u);
    std::uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_FALSE(f.read(n - 2, out, 4));
    EXPECT_EQ(out[0], 9);
    EXPECT_TRUE(f.read(n - 4, out, 4));
    EXPECT_TRUE(f.equal(26, ipv4_a.data(), 4));
    EXPECT_FALSE(f.equal(26, ipv4_b.data(), 4));
    EXPECT_FALSE(f.equal(n - 2, ipv4_a.data(), 4));
    EXPECT_EQ(f.bytes(n - 4, 4).size(), 4u);
    EXPECT_TRUE(f.bytes(n - 3, 4).empty());
    EXPECT_TRUE(f.bytes(SIZE_MAX, 2).empty());
    EXPECT_TRUE(g.canary_intact());
}

TEST(frame_view, writes_stay_within_frame_area)
{
    struct row {
        const char* what;
        std::function<bool(frame_view&)> op;
        bool expected;
    };
    const row rows[] = {
        {"u8 last byte", [](frame_view& f) { return f.set_u8(1513, 1); }, true},
        {"u8 past area", [](frame_view& f) { return f.set_u8(1514, 1); }, false},
        {"u16 last word", [](frame_view& f) { return f.set_u16(1512, 1); }, true},
        {"u16 straddling end", [](frame_view& f) { return f.set_u16(1513, 1); }, false},
        {"u32 last", [](frame_view& f) { return f.set_u32(1510, 1); }, true},
        {"u32 straddling end", [](frame_view& f) { return f.set_u32(1511, 1); }, false},
        {"u32 huge offset", [](frame_view& f) { return f.set_u32(SIZE_MAX - 2, 1); }, false},
        {"write to end", [](frame_view& f) { std::uint8_t b[14] = {}; return f.write(1500, b, 14); }, true},
        {"write past end", [](frame_view& f) { std::uint8_t b[15] = {}; return f.write(1500, b, 15); }, false},
        {"fill past end", [](frame_view& f) { return f.fill(1000, 0xEE, 515); }, false},
        {"fill huge", [](frame_view& f) { return f.fill(10, 0xEE, SIZE_MAX); }, false},
        {"area past end", [](frame_view& f) { return !f.area(1514, 1).empty(); }, false},
        {"area to end", [](frame_view& f) { return f.area(14, 1500).size() == 1500; }, true},
        {"move past end", [](frame_view& f) { return f.move(1500, 14, 20); }, false},
        {"move from past valid", [](frame_view& f) { return f.move(14, 50, 20); }, false},
        {"move beyond valid end", [](frame_view& f) { return f.move(40, 14, 30); }, true},
        {"swap overlapping", [](frame_view& f) { return f.swap(14, 16, 4); }, false},
        {"swap past valid", [](frame_view& f) { return f.swap(0, 55, 6); }, false},
        {"swap macs", [](frame_view& f) { return f.swap(0, 6, 6); }, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        guarded_record g;
        load(g.record, 0x0800, ipv4(253, pattern(24))); // 58 valid bytes
        frame_view f(g.record);
        const _INTERMEDIATE_BUFFER before = g.record;
        EXPECT_EQ(r.op(f), r.expected);
        if (!r.expected) {
            EXPECT_EQ(std::memcmp(&before, &g.record, sizeof before), 0);
        }
        EXPECT_TRUE(g.canary_intact());
    }
}

TEST(frame_view, big_endian_writes_and_moves)
{
    _INTERMEDIATE_BUFFER rec{};
    load(rec, 0x0800, ipv4(17, udp(1, 2, pattern(8))));
    frame_view f(rec);
    ASSERT_TRUE(f.set_u16(34, 0xC0DE));
    ASSERT_TRUE(f.set_u32(26, 0x0A000001));
    EXPECT_EQ(rec.frame[34], 0xC0);
    EXPECT_EQ(rec.frame[35], 0xDE);
    EXPECT_EQ(rec.frame[26], 0x0A);
    EXPECT_EQ(rec.frame[29], 0x01);
    // An overlapping move 10 bytes further, as a header insertion does.
    const bytes payload(rec.frame + 42, rec.frame + 50);
    ASSERT_TRUE(f.move(52, 42, 8));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), rec.frame + 52));
    ASSERT_TRUE(f.swap(0, 6, 6));
    EXPECT_EQ(rec.frame[5], 0xAA);
    EXPECT_EQ(rec.frame[11], 0xBB);
}

TEST(frame_view, set_length_checks_again)
{
    guarded_record g;
    load(g.record, 0x0800, ipv4(17, udp(1, 2, pattern(8))));
    frame_view f(g.record);
    ASSERT_TRUE(f.is_ipv4());
    EXPECT_FALSE(f.set_length(13));
    EXPECT_FALSE(f.set_length(1515));
    EXPECT_EQ(std::uint32_t{g.record.length}, 50u);
    EXPECT_TRUE(f.is_ipv4());
    // Shorter than the IP packet: the frame no longer passes.
    EXPECT_TRUE(f.set_length(49));
    EXPECT_EQ(f.status(), frame_check::bad_ip_length);
    EXPECT_EQ(std::uint32_t{g.record.length}, 49u);
    // Grow the packet: write the new total length past the end, then the length.
    ASSERT_TRUE(f.set_u16(16, 46));
    EXPECT_TRUE(f.set_length(60));
    EXPECT_TRUE(f.is_ipv4());
    EXPECT_EQ(f.ip_length(), 46u);
    // A header rewritten in place is seen after check().
    g.record.frame[14] = 0x46;
    EXPECT_TRUE(f.is_ipv4());
    EXPECT_EQ(f.check(), frame_check::ok);
    EXPECT_EQ(f.ip_header_length(), 24u);
    g.record.frame[14] = 0x43;
    EXPECT_EQ(f.check(), frame_check::bad_ip_header_length);
    EXPECT_TRUE(g.canary_intact());
}

TEST(frame_view, ip_protocol_of_each_family)
{
    _INTERMEDIATE_BUFFER a{}, b{}, c{};
    load(a, 0x0800, ipv4(6, tcp(1, 2, {})));
    load(b, 0x86DD, ipv6(0, options_header(17)));
    load(c, 0x0806, bytes(28, 6));
    EXPECT_EQ(frame_view(a).ip_protocol(), 6);
    EXPECT_EQ(frame_view(b).ip_protocol(), 0);
    EXPECT_TRUE(frame_view(b).is_ipv6());
    EXPECT_EQ(frame_view(c).ip_protocol(), 0);
    EXPECT_TRUE(frame_view(c).ok());
    EXPECT_FALSE(frame_view(c).is_ipv4());
    EXPECT_EQ(frame_view(c).ether_type(), 0x0806);
}

// Random frame lengths and header bytes: the view never reads or writes outside the
// record, and whatever it reports as valid really lies within the frame.
TEST(frame_view, randomised_headers_stay_inside)
{
    std::mt19937 rng(20240605);
    auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
        return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
    };
    auto heap = std::make_unique<_INTERMEDIATE_BUFFER>();
    guarded_record g;
    for (int i = 0; i < 20000; ++i) {
        const bool v6 = pick(0, 1);
        bytes ip = v6 ? ipv6(static_cast<std::uint8_t>(pick(0, 255)), pattern(pick(0, 1460)))
                      : ipv4(static_cast<std::uint8_t>(pick(0, 255)), pattern(pick(0, 1480)), pick(5, 15));
        for (int k = pick(0, 6); k > 0; --k)
            ip[pick(0, 9)] = static_cast<std::uint8_t>(pick(0, 255));
        for (_INTERMEDIATE_BUFFER* r : {heap.get(), &g.record}) {
            load(*r, pick(0, 5) ? (v6 ? 0x86DD : 0x0800) : pick(0, 0xFFFF), ip);
            if (pick(0, 3) == 0)
                r->length = pick(0, 1600);
            frame_view f(*r);
            if (f.ok()) {
                ASSERT_GE(f.length(), 14u);
                ASSERT_LE(f.length(), 1514u);
                ASSERT_LE(f.ip_end(), f.length());
                if (auto t = f.ipv4_transport(); t && f.header_complete(*t)) {
                    ASSERT_LE(std::size_t{t->offset} + t->length, f.length());
                    ASSERT_LE(std::size_t{t->offset} + f.tcp_header_length(*t), f.length());
                    ASSERT_LE(std::size_t{t->offset} + f.udp_length(*t), f.length());
                }
            }
            volatile std::uint32_t sink = 0;
            for (std::size_t off : {std::size_t{0}, f.length() - 2, f.length(), std::size_t{1513}})
                sink = sink + f.u32(off) + f.u16(off) + f.u8(off);
            (void)sink;
        }
        ASSERT_TRUE(g.canary_intact());
    }
}
