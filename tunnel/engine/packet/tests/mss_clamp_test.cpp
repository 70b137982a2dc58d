// TCP MSS clamping in its four forms.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "ipv6_walk.h"
#include "mss_clamp.h"
#include "netaccess/checksum.h"
#include "packet_builder.h"

using namespace testpkt;
using wireguard::clamp_family;
using wireguard::clamp_tcp_mss;
using wireguard::mss_change;
using wireguard::tunnel_mtu;

namespace
{
constexpr std::uint16_t ipv4_type = 0x0800;
constexpr std::uint16_t ipv6_type = 0x86DD;
constexpr std::uint8_t syn = 0x02;
constexpr std::uint8_t syn_ack = 0x12;

// A TCP segment with the given option bytes; the data offset is the header's own
// unless given.
bytes tcp_with(const bytes& options, const bytes& payload = {}, std::uint8_t flags = syn, int data_offset = -1)
{
    bytes b = tcp(40000, 443, {}, flags);
    b.insert(b.end(), options.begin(), options.end());
    b[12] = static_cast<std::uint8_t>((data_offset < 0 ? static_cast<int>(b.size() / 4) : data_offset) << 4);
    return concat(b, payload);
}

bytes mss(std::uint16_t v)
{
    return {2, 4, static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

bytes operator+(const bytes& a, const bytes& b)
{
    return concat(a, b);
}

const bytes window_scale = {1, 3, 3, 7};  // no-operation, window scale 7
const bytes sack_permitted = {4, 2, 1, 1}; // SACK permitted, two no-operations
const bytes timestamps = {1, 1, 8, 10, 0, 0, 1, 0, 0, 0, 0, 0};

bytes nops(std::size_t n)
{
    return bytes(n, 1);
}

bytes v4(const bytes& segment, std::uint16_t flags_offset = 0x4000, int ihl = 5)
{
    return ipv4(6, segment, ihl, flags_offset);
}

bytes v6(const bytes& segment)
{
    return ipv6(6, segment);
}

// Sets every checksum of the frame right, first fragments included (their TCP
// checksum is computed as for the datagram that this fragment would be alone).
void make_checksums_valid(_INTERMEDIATE_BUFFER& r)
{
    rimcap::frame_view f(r);
    if (f.is_ipv4()) {
        const std::uint16_t flags = f.u16(20);
        if (f.fragment_offset() == 0) {
            f.set_u16(20, flags & 0xDFFF);
            rimcap::recalculate_tcp_checksum(f);
            rimcap::recalculate_udp_checksum(f);
            f.set_u16(20, flags);
        }
        rimcap::recalculate_ip_checksum(f);
    } else if (f.is_ipv6()) {
        const auto info = wireguard::ipv6_upper_layer(f);
        if (info.first_fragment) {
            // The fragment header lies just before the upper layer; clear M for the sum.
            const std::size_t field = info.header->offset - 8 + 2;
            const std::uint16_t v = f.u16(field);
            f.set_u16(field, v & 0xFFFE);
            wireguard::recalculate_ipv6_checksum(f);
            f.set_u16(field, v);
        } else {
            wireguard::recalculate_ipv6_checksum(f);
        }
    }
}

// The TCP checksum (and the IPv4 header checksum) of the frame verify.
bool tcp_verifies(const _INTERMEDIATE_BUFFER& r)
{
    _INTERMEDIATE_BUFFER copy = r;
    rimcap::frame_view f(copy);
    if (f.is_ipv4())
        return ipv4_header_verifies(r) && ipv4_transport_verifies(r);
    if (f.is_ipv6()) {
        const auto info = wireguard::ipv6_upper_layer(f);
        return info.header && ipv6_upper_verifies(r, info.header->offset, info.protocol);
    }
    return false;
}

struct form {
    clamp_family family;
    bool dual;
    tunnel_mtu single;
    std::uint16_t mtu;
};

form single4(std::uint16_t mtu = 1420, bool configured = false)
{
    return {clamp_family::ipv4, false, {mtu, configured}, 0};
}
form single6(std::uint16_t mtu = 1420, bool configured = false)
{
    return {clamp_family::ipv6, false, {mtu, configured}, 0};
}
form dual4(std::uint16_t mtu)
{
    return {clamp_family::ipv4, true, {}, mtu};
}
form dual6(std::uint16_t mtu)
{
    return {clamp_family::ipv6, true, {}, mtu};
}

mss_change apply(const form& how, _INTERMEDIATE_BUFFER& r)
{
    return how.dual ? clamp_tcp_mss(how.family, r, how.mtu) : clamp_tcp_mss(how.family, r, how.single);
}

struct clamp_case {
    const char* name;
    std::uint16_t ether_type;
    bytes ip;
    form how;
    mss_change change;
    bytes expected = {};     // the IP packet afterwards; empty when unchanged
    std::size_t padding = 0; // Ethernet padding behind the packet
    bool valid_checksums = true;
};

void PrintTo(const clamp_case& c, std::ostream* os)
{
    *os << c.name;
}

const clamp_case clamp_cases[] = {
    // The single-adapter rule, IPv4.
    {"v4_no_options_gets_mtu_minus_40", ipv4_type, v4(tcp_with({})), single4(), mss_change::inserted,
     v4(tcp_with(mss(1380)))},
    {"v4_window_scale_and_sack_get_mss_in_front", ipv4_type, v4(tcp_with(window_scale + sack_permitted)), single4(),
     mss_change::inserted, v4(tcp_with(mss(1380) + window_scale + sack_permitted))},
    {"v4_mss_1460_default_mtu_becomes_1380", ipv4_type, v4(tcp_with(mss(1460) + window_scale)), single4(),
     mss_change::rewritten, v4(tcp_with(mss(1380) + window_scale))},
    {"v4_mss_1460_configured_1280_becomes_1240", ipv4_type, v4(tcp_with(mss(1460))), single4(1280, true),
     mss_change::rewritten, v4(tcp_with(mss(1240)))},
    {"v4_configured_mtu_above_1500_never_raises", ipv4_type, v4(tcp_with(mss(1460))), single4(1600, true),
     mss_change::none},
    {"v4_configured_small_mtu_lowers", ipv4_type, v4(tcp_with(mss(1460))), single4(200, true),
     mss_change::rewritten, v4(tcp_with(mss(160)))},
    {"v4_configured_small_mtu_below_zero_keeps", ipv4_type, v4(tcp_with(mss(1000))), single4(200, true),
     mss_change::none},
    {"v4_mss_60_does_not_wrap", ipv4_type, v4(tcp_with(mss(60))), single4(), mss_change::none},
    {"v4_mss_80_would_become_0", ipv4_type, v4(tcp_with(mss(80))), single4(), mss_change::none},
    {"v4_mss_81_becomes_1", ipv4_type, v4(tcp_with(mss(81))), single4(), mss_change::rewritten,
     v4(tcp_with(mss(1)))},
    {"v4_mtu_40_inserts_nothing", ipv4_type, v4(tcp_with({})), single4(40), mss_change::none},
    {"v4_mtu_0_inserts_nothing", ipv4_type, v4(tcp_with({})), single4(0, true), mss_change::none},
    {"v4_mtu_41_inserts_1", ipv4_type, v4(tcp_with({})), single4(41, true), mss_change::inserted,
     v4(tcp_with(mss(1)))},
    {"v4_syn_ack_is_clamped_too", ipv4_type, v4(tcp_with(mss(1460), {}, syn_ack)), single4(), mss_change::rewritten,
     v4(tcp_with(mss(1380), {}, syn_ack))},
    {"v4_mss_behind_timestamps", ipv4_type, v4(tcp_with(timestamps + mss(1460))), single4(), mss_change::rewritten,
     v4(tcp_with(timestamps + mss(1380)))},
    {"v4_mss_at_odd_offset", ipv4_type, v4(tcp_with(bytes{1} + mss(1460) + nops(3))), single4(),
     mss_change::rewritten, v4(tcp_with(bytes{1} + mss(1380) + nops(3)))},
    {"v4_mss_at_odd_offset_with_payload", ipv4_type, v4(tcp_with(nops(3) + mss(1460) + bytes{1}, pattern(7))),
     single4(), mss_change::rewritten, v4(tcp_with(nops(3) + mss(1380) + bytes{1}, pattern(7)))},
    {"v4_mss_last_in_40_option_bytes", ipv4_type, v4(tcp_with(nops(36) + mss(1460))), single4(),
     mss_change::rewritten, v4(tcp_with(nops(36) + mss(1380)))},
    {"v4_40_option_bytes_without_mss_have_no_room", ipv4_type, v4(tcp_with(nops(40))), single4(), mss_change::none},
    {"v4_36_option_bytes_grow_to_40", ipv4_type, v4(tcp_with(nops(36))), single4(), mss_change::inserted,
     v4(tcp_with(mss(1380) + nops(36)))},
    {"v4_end_of_options_ends_the_walk", ipv4_type, v4(tcp_with(bytes{0, 0, 0, 0} + mss(1460))), single4(),
     mss_change::inserted, v4(tcp_with(mss(1380) + bytes{0, 0, 0, 0} + mss(1460)))},
    {"v4_payload_moves_with_the_options", ipv4_type, v4(tcp_with(window_scale, pattern(10))), single4(),
     mss_change::inserted, v4(tcp_with(mss(1380) + window_scale, pattern(10)))},
    {"v4_padding_behind_the_packet_is_dropped", ipv4_type, v4(tcp_with({})), single4(), mss_change::inserted,
     v4(tcp_with(mss(1380))), 6},
    {"v4_frame_grows_to_exactly_1514", ipv4_type, v4(tcp_with({}, pattern(1456))), single4(), mss_change::inserted,
     v4(tcp_with(mss(1380), pattern(1456)))},
    {"v4_frame_cannot_grow_past_1514", ipv4_type, v4(tcp_with({}, pattern(1457))), single4(), mss_change::none},
    {"v4_frame_with_padding_to_1514_still_grows", ipv4_type, v4(tcp_with({}, pattern(1452))), single4(),
     mss_change::inserted, v4(tcp_with(mss(1380), pattern(1452))), 4},
    {"v4_header_options_ihl_6", ipv4_type, v4(tcp_with({}), 0x4000, 6), single4(), mss_change::inserted,
     v4(tcp_with(mss(1380)), 0x4000, 6)},
    {"v4_no_dont_fragment", ipv4_type, v4(tcp_with(mss(1460)), 0), single4(), mss_change::rewritten,
     v4(tcp_with(mss(1380)), 0)},

    // Malformed option lists: the walk ends, the segment stays as it was.
    {"v4_option_length_0", ipv4_type, v4(tcp_with(bytes{30, 0, 0, 0})), single4(), mss_change::none},
    {"v4_option_length_1", ipv4_type, v4(tcp_with(bytes{30, 1, 1, 1})), single4(), mss_change::none},
    {"v4_option_runs_past_header", ipv4_type, v4(tcp_with(bytes{30, 10, 0, 0, 0, 0, 0, 0})), single4(),
     mss_change::none},
    {"v4_option_runs_past_header_into_payload", ipv4_type,
     v4(tcp_with(bytes{1, 1, 30, 7}, bytes{2, 4, 5, 0xB4, 9, 9})), single4(), mss_change::none},
    {"v4_length_byte_past_header", ipv4_type, v4(tcp_with(bytes{1, 1, 1, 30}, pattern(8))), single4(),
     mss_change::none},
    {"v4_mss_kind_in_last_option_byte", ipv4_type, v4(tcp_with(bytes{1, 1, 1, 2}, bytes{4, 5, 0xB4, 0})), single4(),
     mss_change::none},
    {"v4_mss_length_3", ipv4_type, v4(tcp_with(bytes{2, 3, 5, 1})), single4(), mss_change::none},
    {"v4_mss_length_5", ipv4_type, v4(tcp_with(bytes{2, 5, 5, 0xB4, 0, 1, 1, 1})), single4(), mss_change::none},
    {"v4_mss_behind_a_broken_option", ipv4_type, v4(tcp_with(bytes{30, 0} + mss(1460) + nops(2))), single4(),
     mss_change::none},
    {"v4_mss_before_a_broken_option", ipv4_type, v4(tcp_with(mss(1460) + bytes{30, 0, 0, 0})), single4(),
     mss_change::rewritten, v4(tcp_with(mss(1380) + bytes{30, 0, 0, 0}))},
    {"v4_data_offset_4", ipv4_type, v4(tcp_with({}, pattern(8), syn, 4)), single4(), mss_change::none},
    {"v4_data_offset_0", ipv4_type, v4(tcp_with({}, {}, syn, 0)), single4(), mss_change::none},
    {"v4_data_offset_past_the_segment", ipv4_type, v4(tcp_with(mss(1460), {}, syn, 8)), single4(),
     mss_change::none},
    {"v4_data_offset_15_past_the_segment", ipv4_type, v4(tcp_with(mss(1460), pattern(20), syn, 15)), single4(),
     mss_change::none},
    {"v4_truncated_tcp_header", ipv4_type, ipv4(6, bytes(12, 0)), single4(), mss_change::none},

    // Fragments.
    {"v4_first_fragment_mss_rewritten", ipv4_type, v4(tcp_with(mss(1460), pattern(16)), 0x2000), single4(),
     mss_change::rewritten, v4(tcp_with(mss(1380), pattern(16)), 0x2000)},
    {"v4_first_fragment_odd_mss_rewritten", ipv4_type, v4(tcp_with(bytes{1} + mss(1460) + nops(3), pattern(16)),
                                                          0x2000),
     single4(), mss_change::rewritten, v4(tcp_with(bytes{1} + mss(1380) + nops(3), pattern(16)), 0x2000)},
    {"v4_first_fragment_gets_no_insertion", ipv4_type, v4(tcp_with(window_scale, pattern(16)), 0x2000), single4(),
     mss_change::none},
    {"v4_later_fragment_is_not_read", ipv4_type, v4(tcp_with(mss(1460)), 0x2001), single4(), mss_change::none,
     {}, 0, false},
    {"v4_last_fragment_is_not_read", ipv4_type, v4(tcp_with({}), 0x0010), single4(), mss_change::none, {}, 0,
     false},

    // Other frames.
    {"v4_udp", ipv4_type, ipv4(17, udp(1, 2, mss(1460))), single4(), mss_change::none},
    {"v4_icmp", ipv4_type, ipv4(1, echo(8, pattern(20))), single4(), mss_change::none, {}, 0, false},
    {"v4_form_on_ipv6_frame", ipv6_type, v6(tcp_with(mss(1460))), single4(), mss_change::none},
    {"v6_form_on_ipv4_frame", ipv4_type, v4(tcp_with(mss(1460))), single6(), mss_change::none},
    {"v4_other_ether_type", 0x0806, v4(tcp_with(mss(1460))), single4(), mss_change::none, {}, 0, false},
    {"v4_total_length_past_frame", ipv4_type,
     [] {
         bytes b = v4(tcp_with(mss(1460)));
         put16(b, 2, static_cast<std::uint16_t>(b.size() + 1));
         return b;
     }(),
     single4(), mss_change::none, {}, 0, false},

    // The single-adapter rule, IPv6.
    {"v6_no_options_gets_mtu_minus_60", ipv6_type, v6(tcp_with({})), single6(), mss_change::inserted,
     v6(tcp_with(mss(1360)))},
    {"v6_mss_1460_default_mtu_becomes_1380", ipv6_type, v6(tcp_with(mss(1460) + sack_permitted)), single6(),
     mss_change::rewritten, v6(tcp_with(mss(1380) + sack_permitted))},
    {"v6_mss_1460_configured_1280_becomes_1240", ipv6_type, v6(tcp_with(mss(1460))), single6(1280, true),
     mss_change::rewritten, v6(tcp_with(mss(1240)))},
    {"v6_mtu_60_inserts_nothing", ipv6_type, v6(tcp_with({})), single6(60, true), mss_change::none},
    {"v6_behind_hop_by_hop", ipv6_type, ipv6(0, options_header(6) + tcp_with(window_scale)), single6(),
     mss_change::inserted, ipv6(0, options_header(6) + tcp_with(mss(1360) + window_scale))},
    {"v6_behind_destination_options_rewritten", ipv6_type, ipv6(60, options_header(6, 1) + tcp_with(mss(1440))),
     single6(), mss_change::rewritten, ipv6(60, options_header(6, 1) + tcp_with(mss(1360)))},
    {"v6_atomic_fragment_gets_insertion", ipv6_type, ipv6(44, fragment_header(6, 0, false) + tcp_with({})),
     single6(), mss_change::inserted, ipv6(44, fragment_header(6, 0, false) + tcp_with(mss(1360)))},
    {"v6_first_fragment_mss_rewritten", ipv6_type,
     ipv6(44, fragment_header(6, 0, true) + tcp_with(mss(1460), pattern(24))), single6(), mss_change::rewritten,
     ipv6(44, fragment_header(6, 0, true) + tcp_with(mss(1380), pattern(24)))},
    {"v6_first_fragment_gets_no_insertion", ipv6_type,
     ipv6(44, fragment_header(6, 0, true) + tcp_with({}, pattern(24))), single6(), mss_change::none},
    {"v6_later_fragment_is_not_read", ipv6_type, ipv6(44, fragment_header(6, 3, false) + tcp_with({})), single6(),
     mss_change::none, {}, 0, false},
    {"v6_walk_not_ending_at_tcp", ipv6_type, ipv6(59, tcp_with({})), single6(), mss_change::none, {}, 0, false},
    {"v6_option_length_0", ipv6_type, v6(tcp_with(bytes{30, 0, 0, 0})), single6(), mss_change::none},
    {"v6_option_runs_past_header", ipv6_type, v6(tcp_with(bytes{1, 30, 4, 0})), single6(), mss_change::none},
    {"v6_data_offset_4", ipv6_type, v6(tcp_with({}, pattern(8), syn, 4)), single6(), mss_change::none},
    {"v6_frame_grows_to_exactly_1514", ipv6_type, v6(tcp_with({}, pattern(1436))), single6(), mss_change::inserted,
     v6(tcp_with(mss(1360), pattern(1436)))},
    {"v6_frame_cannot_grow_past_1514", ipv6_type, v6(tcp_with({}, pattern(1437))), single6(), mss_change::none},

    // The dual rule.
    {"dual4_1420_mss_1460_becomes_1380", ipv4_type, v4(tcp_with(mss(1460))), dual4(1420), mss_change::rewritten,
     v4(tcp_with(mss(1380)))},
    {"dual4_1420_mss_1200_becomes_1120", ipv4_type, v4(tcp_with(mss(1200))), dual4(1420), mss_change::rewritten,
     v4(tcp_with(mss(1120)))},
    {"dual4_1420_mss_1400_becomes_1320", ipv4_type, v4(tcp_with(mss(1400), {}, syn_ack)), dual4(1420),
     mss_change::rewritten, v4(tcp_with(mss(1320), {}, syn_ack))},
    {"dual4_1300_mss_1460_becomes_1260", ipv4_type, v4(tcp_with(mss(1460))), dual4(1300), mss_change::rewritten,
     v4(tcp_with(mss(1260)))},
    {"dual4_mss_50_is_not_raised", ipv4_type, v4(tcp_with(mss(50))), dual4(1420), mss_change::none},
    {"dual4_mss_79_is_not_raised", ipv4_type, v4(tcp_with(mss(79))), dual4(1420), mss_change::none},
    {"dual4_no_options_gets_m_minus_40", ipv4_type, v4(tcp_with({})), dual4(1500), mss_change::inserted,
     v4(tcp_with(mss(1460)))},
    {"dual4_mtu_0_rewrites_by_old", ipv4_type, v4(tcp_with(mss(1460))), dual4(0), mss_change::rewritten,
     v4(tcp_with(mss(1380)))},
    {"dual4_mtu_0_inserts_nothing", ipv4_type, v4(tcp_with({})), dual4(0), mss_change::none},
    {"dual4_mtu_1500_keeps_1460_at_1380", ipv4_type, v4(tcp_with(mss(1460))), dual4(1500), mss_change::rewritten,
     v4(tcp_with(mss(1380)))},
    {"dual4_first_fragment", ipv4_type, v4(tcp_with(mss(1460), pattern(9)), 0x2000), dual4(1420),
     mss_change::rewritten, v4(tcp_with(mss(1380), pattern(9)), 0x2000)},
    {"dual4_malformed", ipv4_type, v4(tcp_with(bytes{1, 30, 1, 1})), dual4(1420), mss_change::none},
    {"dual6_1420_no_options_gets_1360", ipv6_type, v6(tcp_with({})), dual6(1420), mss_change::inserted,
     v6(tcp_with(mss(1360)))},
    {"dual6_1420_mss_1460_becomes_1360", ipv6_type, v6(tcp_with(mss(1460))), dual6(1420), mss_change::rewritten,
     v6(tcp_with(mss(1360)))},
    {"dual6_1420_mss_1200_becomes_1120", ipv6_type, v6(tcp_with(mss(1200))), dual6(1420), mss_change::rewritten,
     v6(tcp_with(mss(1120)))},
    {"dual6_mss_50_is_not_raised", ipv6_type, v6(tcp_with(mss(50))), dual6(1420), mss_change::none},
    {"dual6_mtu_60_inserts_nothing", ipv6_type, v6(tcp_with({})), dual6(60), mss_change::none},
    {"dual6_malformed", ipv6_type, v6(tcp_with(bytes{30, 1, 1, 1})), dual6(1420), mss_change::none},
};

class clamp_table : public ::testing::TestWithParam<clamp_case>
{
};

TEST_P(clamp_table, rewrites_exactly)
{
    const clamp_case& c = GetParam();
    guarded_record g;
    load(g.record, c.ether_type, c.ip, c.padding);
    if (c.valid_checksums)
        make_checksums_valid(g.record);
    if (c.change != mss_change::none) {
        ASSERT_TRUE(tcp_verifies(g.record)) << "the input's checksums";
    }
    const _INTERMEDIATE_BUFFER before = g.record;

    EXPECT_EQ(apply(c.how, g.record), c.change);
    EXPECT_TRUE(g.canary_intact());
    if (c.change == mss_change::none) {
        EXPECT_EQ(std::memcmp(&before, &g.record, sizeof before), 0) << "an unchanged frame was touched";
        return;
    }

    // The expected frame, with its checksums computed afresh.
    _INTERMEDIATE_BUFFER expected{};
    load(expected, c.ether_type, c.expected);
    make_checksums_valid(expected);
    ASSERT_EQ(g.record.length, expected.length);
    EXPECT_EQ(std::memcmp(g.record.frame, expected.frame, expected.length), 0);
    for (std::size_t i = 0; i < expected.length; ++i)
        if (g.record.frame[i] != expected.frame[i])
            ADD_FAILURE() << "frame byte " << i << ": " << int{g.record.frame[i]} << " instead of "
                          << int{expected.frame[i]};
    // The checksums were updated in place, without a recomputation by the caller.
    EXPECT_TRUE(tcp_verifies(g.record));
    rimcap::frame_view f(g.record);
    EXPECT_TRUE(f.ok());
    EXPECT_EQ(std::memcmp(&before, &g.record, offsetof(_INTERMEDIATE_BUFFER, length)), 0);
}

INSTANTIATE_TEST_SUITE_P(mss, clamp_table, ::testing::ValuesIn(clamp_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A segment whose checksum was wrong keeps it wrong by the same amount: the caller's
// recomputation afterwards gives the same result as on a fresh segment.
TEST(mss_clamp, caller_recomputation_agrees)
{
    for (const form how : {single4(), dual4(1420)}) {
        _INTERMEDIATE_BUFFER a{};
        load(a, ipv4_type, v4(tcp_with(mss(1460))));
        clamp_tcp_mss(how.family, a, how.single);
        rimcap::recalculate_tcp_checksum(a);
        rimcap::recalculate_ip_checksum(a);
        EXPECT_TRUE(tcp_verifies(a));
        _INTERMEDIATE_BUFFER b{};
        load(b, ipv4_type, v4(tcp_with({})));
        clamp_tcp_mss(how.family, b, how.single);
        rimcap::recalculate_tcp_checksum(b);
        rimcap::recalculate_ip_checksum(b);
        EXPECT_TRUE(tcp_verifies(b));
        EXPECT_EQ(b.length, 14u + 20 + 24);
    }
}

// The view that the caller holds sees the grown frame at once.
TEST(mss_clamp, caller_view_follows_the_insertion)
{
    _INTERMEDIATE_BUFFER r{};
    load(r, ipv4_type, v4(tcp_with({}, pattern(5))));
    rimcap::frame_view f(r);
    ASSERT_EQ(clamp_tcp_mss(clamp_family::ipv4, f, tunnel_mtu{}), mss_change::inserted);
    EXPECT_TRUE(f.is_ipv4());
    EXPECT_EQ(f.length(), 14u + 20 + 24 + 5);
    EXPECT_EQ(f.ip_length(), 20u + 24 + 5);
    const auto t = f.ipv4_transport();
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(f.tcp_header_length(*t), 24u);
}

// Randomised frames, well-formed and broken, through the four forms: the walk ends,
// nothing outside the record is touched, an unchanged frame is untouched byte for
// byte, a rewrite lowers the MSS and changes only it and the checksum, an insertion
// moves the rest intact, and checksums that were right stay right.
struct random_frames {
    std::mt19937 rng;
    explicit random_frames(std::uint32_t seed) : rng(seed) {}

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); }
    bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }

    bytes options()
    {
        bytes o;
        const std::size_t n = below(8);
        for (std::size_t i = 0; i < n; ++i) {
            switch (below(9)) {
            case 0: o = o + mss(static_cast<std::uint16_t>(below(65536))); break;
            case 1: o = o + window_scale; break;
            case 2: o = o + sack_permitted; break;
            case 3: o = o + timestamps; break;
            case 4: o.push_back(1); break;
            case 5: o.push_back(0); break;
            case 6: o.push_back(static_cast<std::uint8_t>(below(256))); break;
            case 7: o = o + bytes{static_cast<std::uint8_t>(below(256)), static_cast<std::uint8_t>(below(4))}; break;
            default: o = o + bytes{2, static_cast<std::uint8_t>(below(8))}; break;
            }
        }
        while (o.size() % 4)
            o.push_back(chance(50) ? 1 : static_cast<std::uint8_t>(below(256)));
        if (o.size() > 40)
            o.resize(40);
        return o;
    }

    // A frame: mostly TCP SYNs of either family, some broken on purpose.
    void build(_INTERMEDIATE_BUFFER& r)
    {
        const bool v6 = chance(50);
        const int data_offset = chance(15) ? static_cast<int>(below(16)) : -1;
        bytes seg = tcp_with(options(), pattern(chance(70) ? below(40) : below(1480), static_cast<std::uint8_t>(below(256))),
                             chance(80) ? syn : static_cast<std::uint8_t>(below(256)), data_offset);
        bytes ip;
        if (v6) {
            switch (below(5)) {
            case 0: ip = ipv6(0, options_header(6, static_cast<std::uint8_t>(below(3))) + seg); break;
            case 1: ip = ipv6(44, fragment_header(6, static_cast<std::uint16_t>(chance(70) ? 0 : below(8)), chance(50)) + seg); break;
            default: ip = ipv6(6, seg); break;
            }
        } else {
            std::uint16_t flags = 0x4000;
            if (chance(20))
                flags = static_cast<std::uint16_t>(chance(50) ? 0x2000 : below(65536));
            ip = ipv4(chance(90) ? 6 : static_cast<std::uint8_t>(below(256)), seg, chance(80) ? 5 : static_cast<int>(5 + below(11)), flags);
        }
        if (ip.size() > 1500)
            ip.resize(1500);
        load(r, v6 ? ipv6_type : ipv4_type, ip, chance(10) ? below(8) : 0);
        if (r.length > 1514)
            r.length = 1514;
        if (chance(60))
            make_checksums_valid(r);
        // Damage: a few random bytes, sometimes a random frame length.
        if (chance(40)) {
            const std::size_t n = 1 + below(4);
            for (std::size_t i = 0; i < n; ++i)
                r.frame[14 + below(std::min<std::size_t>(r.length - 14 + 1, 100))] = static_cast<std::uint8_t>(below(256));
        }
        if (chance(5))
            r.length = static_cast<std::uint32_t>(below(1600));
    }
};

std::optional<rimcap::transport_header> tcp_of(clamp_family family, _INTERMEDIATE_BUFFER& r)
{
    rimcap::frame_view f(r);
    if (family == clamp_family::ipv4) {
        auto t = f.ipv4_transport();
        if (t && t->protocol == 6 && f.tcp_header_length(*t))
            return t;
        return std::nullopt;
    }
    if (!f.is_ipv6())
        return std::nullopt;
    const auto info = wireguard::ipv6_upper_layer(f);
    if (info.header && info.protocol == 6 && f.tcp_header_length(*info.header))
        return info.header;
    return std::nullopt;
}

TEST(mss_clamp, random_frames_through_the_four_forms)
{
    random_frames gen(20240611);
    std::size_t counts[3] = {};
    for (int i = 0; i < 20000; ++i) {
        _INTERMEDIATE_BUFFER input;
        std::memset(&input, 0x5A, sizeof input);
        gen.build(input);
        const form forms[] = {single4(static_cast<std::uint16_t>(gen.below(65536)), gen.chance(50)),
                              single6(static_cast<std::uint16_t>(gen.below(2000)), gen.chance(50)),
                              dual4(static_cast<std::uint16_t>(gen.below(2000))),
                              dual6(static_cast<std::uint16_t>(gen.below(65536)))};
        for (const form& how : forms) {
            guarded_record g;
            g.record = input;
            const auto t = tcp_of(how.family, g.record);
            const bool verified = t && tcp_verifies(g.record);
            const std::size_t old_end = t ? rimcap::frame_view(g.record).ip_end() : 0;

            const mss_change change = apply(how, g.record);
            ++counts[static_cast<int>(change)];
            ASSERT_TRUE(g.canary_intact()) << "frame " << i;
            if (change == mss_change::none) {
                ASSERT_EQ(std::memcmp(&input, &g.record, sizeof input), 0) << "frame " << i;
                continue;
            }
            ASSERT_GE(g.record.length, 14u);
            ASSERT_LE(g.record.length, 1514u);
            ASSERT_TRUE(t.has_value()) << "a clamp without a TCP header, frame " << i;
            ASSERT_TRUE(rimcap::frame_view(g.record).ok());
            if (verified) {
                ASSERT_TRUE(tcp_verifies(g.record)) << "frame " << i;
            }
            const std::size_t o = t->offset;
            if (change == mss_change::rewritten) {
                // Only an MSS value and the TCP checksum changed; the value went down.
                ASSERT_EQ(g.record.length, input.length);
                const std::size_t header_end = o + (input.frame[o + 12] >> 4) * 4u;
                std::size_t value = 0;
                for (std::size_t k = 0; k < input.length; ++k) {
                    if (g.record.frame[k] == input.frame[k] || k == o + 16 || k == o + 17)
                        continue;
                    ASSERT_TRUE(k >= o + 22 && k < header_end) << "frame " << i << " byte " << k;
                    if (value == 0)
                        value = input.frame[k - 2] == 2 && input.frame[k - 1] == 4 ? k : k - 1;
                    ASSERT_LT(k, value + 2) << "frame " << i << " byte " << k;
                }
                ASSERT_NE(value, 0u);
                ASSERT_EQ(input.frame[value - 2], 2);
                ASSERT_EQ(input.frame[value - 1], 4);
                const int old_v = get16(input.frame + value), new_v = get16(g.record.frame + value);
                ASSERT_LT(new_v, old_v);
                ASSERT_GE(new_v, 1);
            } else {
                ASSERT_EQ(g.record.length, old_end + 4) << "frame " << i;
                ASSERT_EQ(g.record.frame[o + 12] >> 4, (input.frame[o + 12] >> 4) + 1);
                ASSERT_EQ(g.record.frame[o + 13], input.frame[o + 13]);
                ASSERT_EQ(g.record.frame[o + 20], 2);
                ASSERT_EQ(g.record.frame[o + 21], 4);
                ASSERT_GE(get16(g.record.frame + o + 22), 1);
                ASSERT_EQ(std::memcmp(g.record.frame + o + 24, input.frame + o + 20, old_end - (o + 20)), 0);
                // In front of the TCP header only the IP length (and the IPv4 header
                // checksum) changed, by 4.
                const std::size_t length_field = how.family == clamp_family::ipv4 ? 16 : 18;
                ASSERT_EQ(get16(g.record.frame + length_field), get16(input.frame + length_field) + 4);
                for (std::size_t k = 0; k < o + 12; ++k) {
                    const bool allowed = k == length_field || k == length_field + 1 ||
                                         (how.family == clamp_family::ipv4 && (k == 24 || k == 25)) ||
                                         k == o + 16 || k == o + 17;
                    if (!allowed) {
                        ASSERT_EQ(g.record.frame[k], input.frame[k]) << "frame " << i << " byte " << k;
                    }
                }
            }
        }
    }
    // The generator reaches every outcome often.
    EXPECT_GT(counts[0], 5000u);
    EXPECT_GT(counts[1], 2000u);
    EXPECT_GT(counts[2], 2000u);
}
} // namespace
