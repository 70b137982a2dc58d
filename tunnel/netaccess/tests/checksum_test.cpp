// IPv4 header, ICMP, TCP and UDP checksums: every result is checked by the property
// that the sum over the header or segment (with its pseudo-header) verifies.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "checksum.h"
#include "packet_builder.h"

using namespace testpkt;
using rimcap::frame_view;

namespace
{
using record_fn = bool (*)(_INTERMEDIATE_BUFFER&) noexcept;
const record_fn recalculations[] = {rimcap::recalculate_ip_checksum, rimcap::recalculate_icmp_checksum,
                                    rimcap::recalculate_tcp_checksum, rimcap::recalculate_udp_checksum};

bool recalc_transport(_INTERMEDIATE_BUFFER& r)
{
    switch (r.frame[23]) {
    case 1:
        return rimcap::recalculate_icmp_checksum(r);
    case 6:
        return rimcap::recalculate_tcp_checksum(r);
    case 17:
        return rimcap::recalculate_udp_checksum(r);
    default:
        return false;
    }
}

struct valid_case {
    const char* name;
    bytes ip;
    std::size_t padding = 0; // frame bytes after the packet
};

const valid_case valid_cases[] = {
    {"tcp_syn_no_payload", ipv4(6, tcp(50000, 443, {}, 0x02))},
    {"tcp_even_payload", ipv4(6, tcp(50000, 443, pattern(100)))},
    {"tcp_odd_payload", ipv4(6, tcp(50000, 443, pattern(101)))},
    {"tcp_one_byte", ipv4(6, tcp(50000, 443, pattern(1)))},
    {"tcp_with_options", ipv4(6, tcp(50000, 443, pattern(33), 0x02, 5))},
    {"tcp_behind_ip_options_ihl6", ipv4(6, tcp(1, 2, pattern(7)), 6)},
    {"tcp_behind_ip_options_ihl15", ipv4(6, tcp(1, 2, pattern(9), 0x18, 10), 15)},
    {"tcp_full_frame", ipv4(6, tcp(1, 2, pattern(1460)))},
    {"tcp_odd_full_frame", ipv4(6, tcp(1, 2, pattern(1459)))},
    {"tcp_with_ethernet_padding", ipv4(6, tcp(1, 2, pattern(3))), 7},
    {"udp_dns", ipv4(17, udp(53000, 53, pattern(29)))},
    {"udp_empty", ipv4(17, udp(1, 2, {}))},
    {"udp_odd_behind_options", ipv4(17, udp(1, 2, pattern(13)), 9)},
    {"udp_full_frame", ipv4(17, udp(1, 2, pattern(1472)))},
    {"icmp_echo", ipv4(1, echo(8, pattern(56)))},
    {"icmp_odd", ipv4(1, echo(8, pattern(57)))},
    {"icmp_behind_options", ipv4(1, echo(8, pattern(3)), 8)},
};

class valid_packets : public ::testing::TestWithParam<valid_case>
{
};
} // namespace

TEST_P(valid_packets, checksums_verify)
{
    const valid_case& c = GetParam();
    guarded_record g;
    load(g.record, 0x0800, c.ip, c.padding);
    const std::size_t end = 14 + c.ip.size();
    const bool odd = (c.ip.size() - (c.ip[0] & 0x0F) * 4u) & 1;
    if (end < 1514)
        g.record.frame[end] = 0x77;
    const _INTERMEDIATE_BUFFER before = g.record;

    EXPECT_TRUE(rimcap::recalculate_ip_checksum(g.record));
    EXPECT_TRUE(recalc_transport(g.record));
    EXPECT_TRUE(ipv4_header_verifies(g.record));
    EXPECT_TRUE(ipv4_transport_verifies(g.record));
    // The pad byte right after an odd packet becomes 0; nothing else changes but the
    // two checksum fields.
    if (end < 1514) {
        EXPECT_EQ(g.record.frame[end], odd ? 0 : 0x77);
    }
    EXPECT_EQ(std::uint32_t{g.record.length}, std::uint32_t{before.length});
    EXPECT_EQ(std::memcmp(g.record.driver_link, before.driver_link, 16), 0);
    EXPECT_EQ(std::memcmp(g.record.driver_fields, before.driver_fields, 28), 0);
    EXPECT_TRUE(g.canary_intact());

    // Recomputing again gives the same bytes.
    const _INTERMEDIATE_BUFFER once = g.record;
    rimcap::recalculate_ip_checksum(g.record);
    recalc_transport(g.record);
    EXPECT_EQ(std::memcmp(&once, &g.record, sizeof once), 0);
}

INSTANTIATE_TEST_SUITE_P(table, valid_packets, ::testing::ValuesIn(valid_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// The byte behind an odd segment counts as zero, whatever the frame held there.
TEST(checksums, odd_segment_is_padded_with_zero)
{
    _INTERMEDIATE_BUFFER a{}, b{};
    const bytes ip = ipv4(6, tcp(1, 2, pattern(11)));
    ASSERT_TRUE((ip.size() - 20) % 2 == 1);
    load(a, 0x0800, ip);
    load(b, 0x0800, ip);
    a.frame[14 + ip.size()] = 0xFF;
    b.frame[14 + ip.size()] = 0x00;
    ASSERT_TRUE(rimcap::recalculate_tcp_checksum(a));
    ASSERT_TRUE(rimcap::recalculate_tcp_checksum(b));
    EXPECT_EQ(std::memcmp(a.frame, b.frame, 14 + ip.size() + 1), 0);
    EXPECT_EQ(a.frame[14 + ip.size()], 0);
    EXPECT_TRUE(ipv4_transport_verifies(a));
}

TEST(checksums, known_header_checksum)
{
    // A header whose checksum is known from the wire: 0xb861 (RFC 1071 style example).
    const std::uint8_t header[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                     0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    _INTERMEDIATE_BUFFER r{};
    bytes ip(header, header + 20);
    ip.resize(0x73, 0);
    load(r, 0x0800, ip);
    ASSERT_TRUE(rimcap::recalculate_ip_checksum(r));
    EXPECT_EQ(r.frame[24], 0xb8);
    EXPECT_EQ(r.frame[25], 0x61);
}

TEST(checksums, other_protocol_leaves_frame_unchanged)
{
    struct row {
        const char* what;
        bytes ip;
        bool (*fn)(_INTERMEDIATE_BUFFER&) noexcept;
    };
    const row rows[] = {
        {"udp on tcp", ipv4(6, tcp(1, 2, pattern(4))), rimcap::recalculate_udp_checksum},
        {"tcp on udp", ipv4(17, udp(1, 2, pattern(4))), rimcap::recalculate_tcp_checksum},
        {"icmp on udp", ipv4(17, udp(1, 2, pattern(4))), rimcap::recalculate_icmp_checksum},
        {"tcp on gre", ipv4(47, pattern(24)), rimcap::recalculate_tcp_checksum},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        guarded_record g;
        load(g.record, 0x0800, r.ip);
        const _INTERMEDIATE_BUFFER before = g.record;
        EXPECT_FALSE(r.fn(g.record));
        EXPECT_EQ(std::memcmp(&before, &g.record, sizeof before), 0);
    }
}

// The stored checksum of a sum that folds to exactly 0xFFFF is 0 (and the packet still
// verifies: 0 and 0xFFFF are the same in one's complement), except for UDP, where 0
// would say "no checksum": there it is 0xFFFF.
TEST(checksums, fold_to_zero)
{
    struct row {
        const char* what;
        bytes ip;
        std::size_t adjust; // frame offset of two bytes chosen to make the sum 0xFFFF
        std::size_t field;  // frame offset of the checksum
        bool (*fn)(_INTERMEDIATE_BUFFER&) noexcept;
        std::uint8_t stored; // both bytes of the stored checksum
    };
    const row rows[] = {
        {"ip header", ipv4(17, udp(1, 2, pattern(4))), 18, 24, rimcap::recalculate_ip_checksum, 0},
        {"icmp", ipv4(1, echo(8, pattern(10))), 38, 36, rimcap::recalculate_icmp_checksum, 0},
        {"tcp", ipv4(6, tcp(1, 2, pattern(10))), 54, 50, rimcap::recalculate_tcp_checksum, 0},
        {"udp", ipv4(17, udp(1, 2, pattern(10))), 42, 40, rimcap::recalculate_udp_checksum, 0xFF},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        _INTERMEDIATE_BUFFER rec{};
        load(rec, 0x0800, r.ip);
        rec.frame[r.adjust] = rec.frame[r.adjust + 1] = 0;
        rec.frame[r.field] = rec.frame[r.field + 1] = 0;
        // The folded sum of everything else, pseudo-header included.
        const std::uint8_t* ip = rec.frame + 14;
        std::uint32_t sum;
        if (r.field == 24) {
            sum = reference_sum(ip, 20);
        } else {
            const std::size_t size = get16(ip + 2) - 20u;
            sum = ip[9] == 1 ? 0 : reference_sum(ip + 12, 8, static_cast<std::uint32_t>(size + ip[9]));
            sum = reference_sum(ip + 20, size, sum);
        }
        const std::uint16_t v = complement_to_ffff(sum);
        rec.frame[r.adjust] = static_cast<std::uint8_t>(v >> 8);
        rec.frame[r.adjust + 1] = static_cast<std::uint8_t>(v);
        ASSERT_TRUE(r.fn(rec));
        EXPECT_EQ(rec.frame[r.field], r.stored);
        EXPECT_EQ(rec.frame[r.field + 1], r.stored);
        if (r.field == 24) {
            EXPECT_TRUE(ipv4_header_verifies(rec));
        } else {
            EXPECT_TRUE(ipv4_transport_verifies(rec));
        }
    }
}

// Frames that fail the checks, or whose transport header is not there in full, are
// left untouched by all four functions, and nothing after the record is written.
TEST(checksums, malformed_frames_untouched)
{
    struct row {
        const char* what;
        std::function<void(_INTERMEDIATE_BUFFER&)> build;
        bool header_ok; // the IPv4 header itself is fine (only the transport part is not)
    };
    auto base = [](std::uint8_t protocol, const bytes& t) {
        return [protocol, t](_INTERMEDIATE_BUFFER& r) { load(r, 0x0800, ipv4(protocol, t)); };
    };
    const row rows[] = {
        {"total length past frame", [](auto& r) { load(r, 0x0800, ipv4(6, tcp(1, 2, pattern(9)))); r.frame[17] += 1; },
         false},
        {"total length 1500 in 60-byte frame", [](auto& r) { load(r, 0x0800, ipv4(17, udp(1, 2, pattern(18)))); r.frame[16] = 0x05; r.frame[17] = 0xDC; },
         false},
        {"total length below header", [](auto& r) { load(r, 0x0800, ipv4(6, tcp(1, 2, {}))); r.frame[16] = 0; r.frame[17] = 16; },
         false},
        {"ihl 0", [](auto& r) { load(r, 0x0800, ipv4(6, tcp(1, 2, {}))); r.frame[14] = 0x40; }, false},
        {"ihl 4", [](auto& r) { load(r, 0x0800, ipv4(17, udp(1, 2, {}))); r.frame[14] = 0x44; }, false},
        {"ihl 15 in short frame", [](auto& r) { load(r, 0x0800, ipv4(17, udp(1, 2, {}))); r.frame[14] = 0x4F; },
         false},
        {"version 5", [](auto& r) { load(r, 0x0800, ipv4(17, udp(1, 2, {}))); r.frame[14] = 0x55; }, false},
        {"frame length 1515", [](auto& r) { load(r, 0x0800, ipv4(17, udp(1, 2, pattern(1472)))); r.length = 1515; },
         false},
        {"frame length 10", [](auto& r) { load(r, 0x0800, ipv4(17, udp(1, 2, {}))); r.length = 10; }, false},
        {"ipv6 frame", [](auto& r) { load(r, 0x86DD, ipv6(17, udp(1, 2, pattern(4)))); }, false},
        {"arp frame", [](auto& r) { load(r, 0x0806, bytes(28, 17)); }, false},
        {"tcp header of 19 bytes", base(6, bytes(19, 0x50)), true},
        {"tcp data offset 4", [](auto& r) { load(r, 0x0800, ipv4(6, tcp(1, 2, pattern(8)))); r.frame[46] = 0x40; },
         true},
        {"tcp data offset past segment", [](auto& r) { load(r, 0x0800, ipv4(6, tcp(1, 2, pattern(8)))); r.frame[46] = 0xF0; },
         true},
        {"udp of 7 bytes", base(17, bytes(7, 0)), true},
        {"icmp of 3 bytes", base(1, bytes(3, 0)), true},
        {"tcp first fragment", [](auto& r) { load(r, 0x0800, ipv4(6, tcp(1, 2, pattern(8)), 5, 0x2000)); }, true},
        {"udp later fragment", [](auto& r) { load(r, 0x0800, ipv4(17, pattern(40), 5, 0x0003)); }, true},
        {"icmp last fragment", [](auto& r) { load(r, 0x0800, ipv4(1, pattern(40), 5, 0x00B9)); }, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        guarded_record g;
        r.build(g.record);
        const _INTERMEDIATE_BUFFER before = g.record;
        EXPECT_FALSE(rimcap::recalculate_tcp_checksum(g.record));
        EXPECT_FALSE(rimcap::recalculate_udp_checksum(g.record));
        EXPECT_FALSE(rimcap::recalculate_icmp_checksum(g.record));
        EXPECT_EQ(std::memcmp(&before, &g.record, sizeof before), 0);
        EXPECT_EQ(rimcap::recalculate_ip_checksum(g.record), r.header_ok);
        if (r.header_ok) {
            EXPECT_TRUE(ipv4_header_verifies(g.record));
        } else {
            EXPECT_EQ(std::memcmp(&before, &g.record, sizeof before), 0);
        }
        EXPECT_TRUE(g.canary_intact());
    }
}

TEST(checksums, adjust_after_address_rewrite)
{
    struct row {
        const char* what;
        bytes ip;
        std::size_t field; // transport checksum's frame offset
    };
    const row rows[] = {
        {"tcp", ipv4(6, tcp(1, 2, pattern(31))), 50},
        {"udp", ipv4(17, udp(1, 2, pattern(31))), 40},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        _INTERMEDIATE_BUFFER rec{};
        load(rec, 0x0800, r.ip);
        ASSERT_TRUE(rimcap::recalculate_ip_checksum(rec));
        ASSERT_TRUE(recalc_transport(rec));
        frame_view f(rec);
        // New source address and source port, as address switching and DNS
        // translation do; both checksums updated incrementally.
        const std::uint8_t old_src[4] = {rec.frame[26], rec.frame[27], rec.frame[28], rec.frame[29]};
        const std::uint8_t new_src[4] = {10, 7, 0, 2};
        const std::uint8_t old_port[2] = {rec.frame[34], rec.frame[35]};
        const std::uint8_t new_port[2] = {0xC3, 0x50};
        f.write(26, new_src, 4);
        f.write(34, new_port, 2);
        f.set_u16(24, rimcap::checksum_adjust(f.u16(24), old_src, new_src));
        std::uint16_t c = rimcap::checksum_adjust(f.u16(r.field), old_src, new_src);
        c = rimcap::checksum_adjust(c, old_port, new_port);
        f.set_u16(r.field, c);
        EXPECT_TRUE(ipv4_header_verifies(rec));
        EXPECT_TRUE(ipv4_transport_verifies(rec));
    }
    // Mismatched sizes change nothing.
    const std::uint8_t a[2] = {1, 2}, b[4] = {1, 2, 3, 4};
    EXPECT_EQ(rimcap::checksum_adjust(0x1234, a, b), 0x1234);
}

TEST(checksums, checksum_add_matches_reference)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        bytes b = pattern(rng() % 1600, static_cast<std::uint8_t>(rng()));
        for (auto& x : b)
            x = static_cast<std::uint8_t>(rng());
        EXPECT_EQ(rimcap::checksum_fold(rimcap::checksum_add(0, b)), reference_sum(b.data(), b.size()));
    }
}

TEST(checksums, checksum_add_in_parts_and_with_every_carry)
{
    // All-ones bytes carry at every step; every length up to a frame and a long buffer.
    for (std::size_t n = 0; n <= 1514; ++n) {
        const bytes ones(n, 0xFF);
        EXPECT_EQ(rimcap::checksum_fold(rimcap::checksum_add(0, ones)), reference_sum(ones.data(), n)) << n;
    }
    const bytes long_ones(200000, 0xFF);
    EXPECT_EQ(rimcap::checksum_fold(rimcap::checksum_add(0, long_ones)), 0xFFFF);
    // Longer than one round of the vector loops, all-ones and all-zero-words
    // (0x80 0x00: the most negative word of their signed multiply-add) alike.
    const bytes very_long_ones(1000000, 0xFF);
    EXPECT_EQ(rimcap::checksum_fold(rimcap::checksum_add(0, very_long_ones)), 0xFFFF);
    bytes signed_low(1000000);
    for (std::size_t i = 0; i < signed_low.size(); i += 2)
        signed_low[i] = 0x80;
    EXPECT_EQ(rimcap::checksum_fold(rimcap::checksum_add(0, signed_low)),
              rimcap::checksum_fold(std::uint64_t{0x8000} * (signed_low.size() / 2)));
    EXPECT_EQ(rimcap::checksum_fold(rimcap::checksum_add(0, bytes(64, 0))), 0);

    // Consecutive even-sized parts, the last one odd, after a starting sum.
    std::mt19937 rng(11);
    for (int i = 0; i < 500; ++i) {
        bytes b(rng() % 1600);
        for (auto& x : b)
            x = static_cast<std::uint8_t>(rng());
        const std::size_t cut = (rng() % (b.size() + 1)) & ~std::size_t{1};
        const std::uint32_t start = rng() & 0xFFFF;
        std::uint64_t sum = rimcap::checksum_add(start, std::span<const std::uint8_t>(b.data(), cut));
        sum = rimcap::checksum_add(sum, std::span<const std::uint8_t>(b.data() + cut, b.size() - cut));
        EXPECT_EQ(rimcap::checksum_fold(sum), reference_sum(b.data(), b.size(), start));
    }
}

// Random well-formed packets: every checksum verifies.
TEST(checksums, randomised_valid_packets_verify)
{
    std::mt19937 rng(99);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < 5000; ++i) {
        const int ihl = pick(0, 3) ? 5 : pick(6, 15);
        const std::size_t room = 1500 - ihl * 4;
        bytes payload(static_cast<std::size_t>(pick(0, static_cast<int>(room) - 60)));
        for (auto& x : payload)
            x = static_cast<std::uint8_t>(rng());
        bytes ip;
        switch (pick(0, 2)) {
        case 0:
            ip = ipv4(6, tcp(static_cast<std::uint16_t>(rng()), 443, payload, 0x18, pick(0, 10)), ihl);
            break;
        case 1:
            ip = ipv4(17, udp(static_cast<std::uint16_t>(rng()), 53, payload), ihl);
            break;
        default:
            ip = ipv4(1, echo(8, payload), ihl);
            break;
        }
        guarded_record g;
        const int max_padding = std::min(14, static_cast<int>(1500 - ip.size()));
        load(g.record, 0x0800, ip, pick(0, 1) ? 0 : static_cast<std::size_t>(pick(0, max_padding)));
        ASSERT_TRUE(rimcap::recalculate_ip_checksum(g.record));
        ASSERT_TRUE(recalc_transport(g.record));
        ASSERT_TRUE(ipv4_header_verifies(g.record));
        ASSERT_TRUE(ipv4_transport_verifies(g.record));
        ASSERT_TRUE(g.canary_intact());
    }
}

// Many thousands of malformed frames: no function writes outside the record, a
// function that reports false leaves the record as it was, and one that reports true
// leaves a checksum that verifies.
TEST(checksums, randomised_malformed_frames)
{
    std::mt19937 rng(4242);
    auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
        return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
    };
    auto heap = std::make_unique<_INTERMEDIATE_BUFFER>();
    guarded_record g;
    int rewritten = 0;
    for (int i = 0; i < 30000; ++i) {
        const std::uint8_t protocol = std::array<std::uint8_t, 4>{1, 6, 17, 47}[pick(0, 3)];
        const bytes t = protocol == 6 ? tcp(1, 2, pattern(pick(0, 40)), 2, pick(0, 10))
                        : protocol == 17 ? udp(1, 2, pattern(pick(0, 40)))
                                         : echo(8, pattern(pick(0, 40)));
        bytes ip = ipv4(protocol, t, static_cast<int>(pick(5, 15)), pick(0, 1) ? 0x4000 : 0x2000);
        // Damage: header bytes (IHL, lengths, flags), transport bytes, the frame length.
        for (int k = pick(1, 4); k > 0; --k) {
            const std::size_t at = pick(0, 3) ? pick(0, 7) : pick(0, static_cast<std::uint32_t>(ip.size() - 1));
            ip[at] = static_cast<std::uint8_t>(pick(0, 255));
        }
        const std::uint32_t length_choice = pick(0, 4);
        for (_INTERMEDIATE_BUFFER* r : {heap.get(), &g.record}) {
            load(*r, 0x0800, ip);
            if (length_choice == 0)
                r->length = pick(0, 1600);
            else if (length_choice == 1)
                r->length = static_cast<std::uint32_t>(14 + ip.size() - pick(0, 8));
            for (std::size_t k = 0; k < std::size(recalculations); ++k) {
                const record_fn fn = recalculations[k];
                const _INTERMEDIATE_BUFFER before = *r;
                const bool done = fn(*r);
                if (!done) {
                    ASSERT_EQ(std::memcmp(&before, r, sizeof before), 0) << "iteration " << i;
                } else {
                    ++rewritten;
                    ASSERT_EQ(std::uint32_t{r->length}, std::uint32_t{before.length});
                    ASSERT_EQ(std::memcmp(r->driver_fields, before.driver_fields, 28), 0);
                    if (k == 0)
                        ASSERT_TRUE(ipv4_header_verifies(*r));
                    else
                        ASSERT_TRUE(ipv4_transport_verifies(*r));
                }
            }
        }
        ASSERT_TRUE(g.canary_intact()) << "iteration " << i;
    }
    EXPECT_GT(rewritten, 1000); // the run reached the rewriting code often
}

// The fused copy: the bytes arrive unchanged, nothing around them is written, and the
// sum is checksum_add's, for every length and alignment.
TEST(checksums, checksum_copy_copies_and_sums)
{
    std::mt19937 rng(23);
    for (int i = 0; i < 3000; ++i) {
        const std::size_t n = i < 1600 ? static_cast<std::size_t>(i) : rng() % 1600;
        const std::size_t from = rng() % 16, to = rng() % 16;
        bytes source(n + from), target(n + to + 32, 0xA5);
        for (auto& x : source)
            x = static_cast<std::uint8_t>(rng());
        const std::uint32_t start = rng() & 0xFFFF;
        const std::span<const std::uint8_t> copied(source.data() + from, n);
        const std::uint64_t sum = rimcap::checksum_copy(start, target.data() + to, copied.data(), n);
        ASSERT_EQ(rimcap::checksum_fold(sum), rimcap::checksum_fold(rimcap::checksum_add(start, copied))) << n;
        ASSERT_EQ(std::memcmp(target.data() + to, copied.data(), n), 0) << n;
        for (std::size_t k = 0; k < target.size(); ++k) {
            if (k < to || k >= to + n) {
                ASSERT_EQ(target[k], 0xA5) << n << " " << k;
            }
        }
    }
}

// A transport checksum from a sum taken earlier leaves the frame byte for byte as the
// full recalculation does, whatever the stored checksum held and wherever the summed
// tail begins; it refuses what the recalculation refuses, ICMP, and a tail that does
// not start at an even distance within the transport bytes.
TEST(checksums, checksum_with_sum_matches_recalculation)
{
    std::mt19937 rng(31);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < 3000; ++i) {
        const int ihl = pick(0, 3) ? 5 : pick(6, 15);
        bytes payload(static_cast<std::size_t>(pick(0, 1400 - ihl * 4)));
        for (auto& x : payload)
            x = static_cast<std::uint8_t>(rng());
        const bool tcp_packet = pick(0, 1) == 1;
        bytes ip = tcp_packet ? ipv4(6, tcp(static_cast<std::uint16_t>(rng()), 443, payload, 0x18, pick(0, 10)), ihl)
                              : ipv4(17, udp(static_cast<std::uint16_t>(rng()), 53, payload), ihl);
        const std::size_t transport = 14 + ihl * 4u, end = 14 + ip.size();
        const std::size_t field = transport + (tcp_packet ? 16 : 6);
        ip[field - 14] = static_cast<std::uint8_t>(rng()); // junk, as an offloading stack leaves it
        ip[field - 13] = static_cast<std::uint8_t>(rng());

        _INTERMEDIATE_BUFFER full{}, with_sum{};
        load(full, 0x0800, ip);
        if (end < 1514)
            full.frame[end] = 0x77;
        with_sum = full;
        ASSERT_TRUE(tcp_packet ? rimcap::recalculate_tcp_checksum(full) : rimcap::recalculate_udp_checksum(full));

        const std::size_t from = transport + 2 * static_cast<std::size_t>(pick(0, static_cast<int>(end - transport) / 2));
        const std::uint64_t tail = rimcap::checksum_add(0, std::span<const std::uint8_t>(with_sum.frame + from, end - from));
        frame_view view(with_sum);
        ASSERT_TRUE(rimcap::recalculate_transport_checksum_with_sum(view, from, tail)) << from;
        ASSERT_EQ(std::memcmp(&full, &with_sum, sizeof full), 0) << "from " << from << " of " << end;
    }

    struct refused {
        const char* what;
        bytes ip;
        std::size_t from;
    };
    const refused rows[] = {
        {"icmp", ipv4(1, echo(8, pattern(20))), 34},
        {"odd distance", ipv4(6, tcp(1, 2, pattern(20))), 35},
        {"in front of the transport header", ipv4(6, tcp(1, 2, pattern(20))), 32},
        {"past the packet", ipv4(17, udp(1, 2, pattern(20))), 14 + 20 + 28 + 2},
        {"no tail", ipv4(17, udp(1, 2, pattern(20))), 0},
        {"later fragment", ipv4(17, udp(1, 2, pattern(20)), 5, 0x0010), 34},
    };
    for (const refused& r : rows) {
        SCOPED_TRACE(r.what);
        _INTERMEDIATE_BUFFER record{};
        load(record, 0x0800, r.ip);
        const _INTERMEDIATE_BUFFER before = record;
        frame_view view(record);
        EXPECT_FALSE(rimcap::recalculate_transport_checksum_with_sum(view, r.from, 0x1234));
        EXPECT_EQ(std::memcmp(&before, &record, sizeof before), 0);
    }
}
