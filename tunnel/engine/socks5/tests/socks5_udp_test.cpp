// The SOCKS5 UDP request header on frames: wrapping and unwrapping in place, the
// frames that are refused (left untouched, nothing written outside the record),
// randomised hostile frames, tshark's view of the rewritten frames, the test for the
// server's datagrams, and a real round trip through dante-server's UDP relay.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "netaccess/capture_file.h"
#include "netaccess/checksum.h"
#include "netaccess/frame_view.h"
#include "socks5_udp.h"
#include "socks5_test_support.h"
#include "packet_builder.h"
#include "tshark_check.h"

using namespace testpkt;
using socks5_test::log_recorder;
using socks5_test::scripted_proxy;
using socks5_test::step;
using socks5_test::wait_until;
using wireguard::socks5_client;
using wireguard::socks5_udp_unwrap;
using wireguard::socks5_udp_wrap;

namespace
{
const auto winsock = ::testing::AddGlobalTestEnvironment(new socks5_test::winsock_environment);

constexpr ipv4_address client_address = {192, 0, 2, 10};
constexpr ipv4_address server_address = {198, 51, 100, 7};
constexpr ipv4_address proxy_address = {127, 0, 0, 1};
constexpr std::uint16_t client_port = 50000;
constexpr std::uint16_t server_port = 47111;
constexpr std::uint16_t relay_port = 40000;

// A client that has associated with a scripted proxy and knows relay port 40000.
struct associated_client {
    scripted_proxy proxy{{step::recv(4), step::reply({5, 0}), step::recv(10),
                          step::reply({5, 0, 0, 1, 127, 0, 0, 1, relay_port >> 8, relay_port & 0xFF})}};
    log_recorder log;
    std::unique_ptr<socks5_client> client;

    explicit associated_client(std::uint32_t level = 3, bool with_log = true)
    {
        client = std::make_unique<socks5_client>(socks5_test::loopback(), proxy.port(), std::nullopt, std::nullopt,
                                                 with_log ? log.function() : socks5_client::log_function{}, level);
        client->start_association();
        EXPECT_TRUE(wait_until([&] { return client->ready(); }));
        log.clear();
    }
};

// A client that has never associated: no relay port.
socks5_client& idle_client()
{
    static socks5_client c(socks5_test::loopback(), 1080, std::nullopt, std::nullopt, {}, 3);
    return c;
}

bytes header_for(ipv4_address a, std::uint16_t port, std::uint8_t frag = 0, std::uint8_t atyp = 1)
{
    return {0, 0, frag, atyp, a[0], a[1], a[2], a[3], static_cast<std::uint8_t>(port >> 8),
            static_cast<std::uint8_t>(port)};
}

// An IPv4 UDP frame with valid checksums.
void load_udp(_INTERMEDIATE_BUFFER& r, ipv4_address src, std::uint16_t sport, ipv4_address dst, std::uint16_t dport,
              const bytes& payload, int ihl = 5, std::uint16_t flags = 0x4000, std::size_t padding = 0)
{
    load(r, 0x0800, ipv4(17, udp(sport, dport, payload), ihl, flags, src, dst), padding);
    rimcap::recalculate_udp_checksum(r);
    rimcap::recalculate_ip_checksum(r);
}

std::uint16_t at16(const _INTERMEDIATE_BUFFER& r, std::size_t offset)
{
    return get16(r.frame + offset);
}

bytes frame_bytes(const _INTERMEDIATE_BUFFER& r, std::size_t offset, std::size_t n)
{
    return bytes(r.frame + offset, r.frame + offset + n);
}

ipv4_address address_at(const _INTERMEDIATE_BUFFER& r, std::size_t offset)
{
    return {r.frame[offset], r.frame[offset + 1], r.frame[offset + 2], r.frame[offset + 3]};
}

bool same_record(const _INTERMEDIATE_BUFFER& a, const _INTERMEDIATE_BUFFER& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}
} // namespace

TEST(socks5_udp, a_handshake_initiation_is_wrapped_for_the_relay_and_unwrapped_on_the_way_back)
{
    associated_client c;
    const bytes initiation = pattern(148, 3);

    guarded_record g;
    load_udp(g.record, client_address, client_port, server_address, server_port, initiation);
    ASSERT_EQ(at16(g.record, 38), 156);
    ASSERT_TRUE(socks5_udp_wrap(*c.client, g.record));

    EXPECT_EQ(g.record.length, 14u + 20 + 166);
    EXPECT_EQ(at16(g.record, 16), 20 + 166);                    // IPv4 total length
    EXPECT_EQ(at16(g.record, 38), 166);                         // UDP length
    EXPECT_EQ(address_at(g.record, 26), client_address);        // source unchanged
    EXPECT_EQ(address_at(g.record, 30), proxy_address);         // to the proxy
    EXPECT_EQ(at16(g.record, 34), client_port);
    EXPECT_EQ(at16(g.record, 36), relay_port);                  // at the relay port
    EXPECT_EQ(frame_bytes(g.record, 42, 10), header_for(server_address, server_port));
    EXPECT_EQ(frame_bytes(g.record, 52, 148), initiation);
    EXPECT_EQ(at16(g.record, 20), 0x4000) << "flags kept";
    EXPECT_TRUE(ipv4_header_verifies(g.record));
    EXPECT_TRUE(ipv4_transport_verifies(g.record));
    EXPECT_TRUE(g.canary_intact());
    EXPECT_EQ(c.log.lines(), (std::vector<std::string>{
                                 "[SOCKS5]: C2S_BEFORE: 192.0.2.10 : 50000 -> 198.51.100.7 : 47111",
                                 "[SOCKS5]: C2S_AFTER: 192.0.2.10 : 50000 -> 127.0.0.1 : 40000",
                             }));

    // The relay sends the server's answer back with the same header in front.
    c.log.clear();
    guarded_record back;
    load_udp(back.record, proxy_address, relay_port, client_address, client_port,
             concat(header_for(server_address, server_port), initiation));
    ASSERT_EQ(at16(back.record, 38), 166);
    ASSERT_TRUE(socks5_udp_unwrap(*c.client, back.record));
    EXPECT_EQ(back.record.length, 14u + 20 + 156);
    EXPECT_EQ(at16(back.record, 16), 20 + 156);
    EXPECT_EQ(at16(back.record, 38), 156);
    EXPECT_EQ(address_at(back.record, 26), server_address);
    EXPECT_EQ(at16(back.record, 34), server_port);
    EXPECT_EQ(address_at(back.record, 30), client_address);
    EXPECT_EQ(at16(back.record, 36), client_port);
    EXPECT_EQ(frame_bytes(back.record, 42, 148), initiation);
    EXPECT_TRUE(ipv4_header_verifies(back.record));
    EXPECT_TRUE(ipv4_transport_verifies(back.record));
    EXPECT_TRUE(back.canary_intact());
    EXPECT_EQ(c.log.lines(), (std::vector<std::string>{
                                 "[SOCKS5]: S2C_BEFORE: 127.0.0.1 : 40000 -> 192.0.2.10 : 50000",
                                 "[SOCKS5]: S2C_AFTER: 198.51.100.7 : 47111 -> 192.0.2.10 : 50000",
                             }));

    // The unwrapped frame is the wrapped one turned round: wrapping it again for the
    // way out gives the same datagram bytes.
    guarded_record again;
    load_udp(again.record, client_address, client_port, server_address, server_port, initiation);
    guarded_record reference = again;
    EXPECT_TRUE(socks5_udp_wrap(*c.client, again.record));
    EXPECT_TRUE(socks5_udp_unwrap(*c.client, again.record)); // from the proxy's header now
    EXPECT_EQ(again.record.length, reference.record.length);
    EXPECT_EQ(frame_bytes(again.record, 42, 148), initiation);
    EXPECT_EQ(address_at(again.record, 26), server_address) << "the source is what the header named";
}

TEST(socks5_udp, below_level_3_nothing_is_written)
{
    associated_client c(2);
    guarded_record g;
    load_udp(g.record, client_address, client_port, server_address, server_port, pattern(148));
    ASSERT_TRUE(socks5_udp_wrap(*c.client, g.record));
    ASSERT_TRUE(socks5_udp_unwrap(*c.client, g.record));
    EXPECT_EQ(c.log.count(), 0u);
}

namespace
{
using builder = std::function<void(_INTERMEDIATE_BUFFER&)>;

builder udp_frame(std::size_t payload, int ihl = 5, std::uint16_t flags = 0x4000, std::size_t padding = 0)
{
    return [=](_INTERMEDIATE_BUFFER& r) {
        load_udp(r, client_address, client_port, server_address, server_port, pattern(payload), ihl, flags, padding);
    };
}

builder relayed_frame(std::size_t payload, std::uint8_t frag = 0, std::uint8_t atyp = 1, int ihl = 5)
{
    return [=](_INTERMEDIATE_BUFFER& r) {
        load_udp(r, proxy_address, relay_port, client_address, client_port,
                 concat(header_for(server_address, server_port, frag, atyp), pattern(payload)), ihl);
    };
}

// Applies a change after the frame was built (checksums are not fixed again).
builder changed(builder b, std::function<void(_INTERMEDIATE_BUFFER&)> change)
{
    return [=](_INTERMEDIATE_BUFFER& r) {
        b(r);
        change(r);
    };
}

builder with_udp_length(builder b, std::uint16_t length)
{
    return changed(b, [=](_INTERMEDIATE_BUFFER& r) {
        const std::size_t udp = 14 + (r.frame[14] & 0x0F) * 4u;
        r.frame[udp + 4] = static_cast<std::uint8_t>(length >> 8);
        r.frame[udp + 5] = static_cast<std::uint8_t>(length);
    });
}

struct refusal_case {
    const char* name;
    builder build;
    bool wrap_refuses;
    bool unwrap_refuses;
};

std::vector<refusal_case> refusal_cases()
{
    const auto ipv6_udp = [](_INTERMEDIATE_BUFFER& r) {
        load(r, 0x86DD, ipv6(17, udp(client_port, server_port, pattern(148))));
    };
    const auto arp = [](_INTERMEDIATE_BUFFER& r) { load(r, 0x0806, pattern(28)); };
    const auto tcp_frame = [](_INTERMEDIATE_BUFFER& r) {
        load(r, 0x0800,
             ipv4(6, tcp(client_port, server_port, pattern(100)), 5, 0x4000, client_address, server_address));
    };
    return {
        {"ipv6_frame", ipv6_udp, true, true},
        {"arp_frame", arp, true, true},
        {"tcp_segment", tcp_frame, true, true},
        {"more_fragments", udp_frame(148, 5, 0x2000), true, true},
        {"later_fragment", udp_frame(148, 5, 0x0001), true, true},
        {"reserved_flag_bit", udp_frame(148, 5, 0x8000), true, true},
        {"relayed_more_fragments",
         changed(relayed_frame(148), [](_INTERMEDIATE_BUFFER& r) { r.frame[20] |= 0x20; }), true, true},
        {"udp_length_7", with_udp_length(udp_frame(148), 7), true, true},
        {"udp_length_0", with_udp_length(udp_frame(148), 0), true, true},
        {"udp_length_past_the_frame", with_udp_length(udp_frame(148), 300), true, true},
        {"udp_length_past_the_frame_relayed", with_udp_length(relayed_frame(148), 1400), true, true},
        {"udp_length_short_of_the_ip_payload", with_udp_length(udp_frame(148), 100), true, true},
        {"udp_header_cut_off", changed(udp_frame(0), [](_INTERMEDIATE_BUFFER& r) {
             r.frame[17] = 20 + 6; // IPv4 total length: only 6 UDP header bytes
             r.length = 14 + 26;
         }), true, true},
        {"ip_total_length_past_the_frame",
         changed(udp_frame(148), [](_INTERMEDIATE_BUFFER& r) { r.length -= 1; }), true, true},
        {"frame_length_above_1514",
         changed(udp_frame(148), [](_INTERMEDIATE_BUFFER& r) { r.length = 1515; }), true, true},
        {"frame_length_huge",
         changed(udp_frame(148), [](_INTERMEDIATE_BUFFER& r) { r.length = 0xFFFFFFFFu; }), true, true},
        {"frame_length_below_14", changed(udp_frame(148), [](_INTERMEDIATE_BUFFER& r) { r.length = 13; }), true, true},
        {"ihl_4", changed(udp_frame(148), [](_INTERMEDIATE_BUFFER& r) { r.frame[14] = 0x44; }), true, true},
        {"ip_version_6_in_ipv4_ethertype", changed(udp_frame(148), [](_INTERMEDIATE_BUFFER& r) { r.frame[14] = 0x65; }),
         true, true},
        // Wrapping would take the frame past the 1514-byte frame area.
        {"frame_of_1505_bytes", udp_frame(1505 - 42), true, false},
        {"frame_of_1514_bytes", udp_frame(1514 - 42), true, false},
        {"padded_frame_of_1505_bytes", udp_frame(148, 5, 0x4000, 1505 - 42 - 148), true, false},
        // Relayed datagrams without room for the header, or not in its IPv4 form.
        {"udp_length_18_header_only", relayed_frame(0), false, false},
        {"udp_length_17", udp_frame(9), false, true},
        {"relayed_header_atyp_3", relayed_frame(148, 0, 3), false, true},
        {"relayed_header_atyp_4", relayed_frame(148, 0, 4), false, true},
        {"relayed_header_frag_1", relayed_frame(148, 1, 1), false, true},
    };
}
} // namespace

TEST(socks5_udp, frames_that_do_not_qualify_are_left_untouched)
{
    associated_client c;
    for (const refusal_case& rc : refusal_cases()) {
        SCOPED_TRACE(rc.name);
        for (int op = 0; op < 2; ++op) {
            const bool refuses = op == 0 ? rc.wrap_refuses : rc.unwrap_refuses;
            guarded_record g;
            rc.build(g.record);
            const guarded_record before = g;
            const bool done = op == 0 ? socks5_udp_wrap(*c.client, g.record) : socks5_udp_unwrap(*c.client, g.record);
            EXPECT_TRUE(g.canary_intact());
            if (refuses) {
                EXPECT_FALSE(done) << (op == 0 ? "wrapped" : "unwrapped");
                EXPECT_TRUE(same_record(g.record, before.record)) << "a refused frame was changed";
            }
        }
    }
}

TEST(socks5_udp, frames_at_the_limits_are_taken)
{
    associated_client c;
    struct limit_case {
        const char* name;
        builder build;
        bool wrap; // else unwrap
        std::size_t payload_offset;
        std::size_t new_udp_length;
    };
    const limit_case cases[] = {
        {"no_fragment_flags", udp_frame(148, 5, 0), true, 42, 166},
        {"ip_options", udp_frame(148, 6), true, 46, 166},
        {"longest_ip_header", udp_frame(100, 15), true, 82, 118},
        {"empty_payload", udp_frame(0), true, 42, 18},
        {"frame_of_1504_bytes_grows_to_1514", udp_frame(1504 - 42), true, 42, 1504 - 42 + 8 + 10},
        {"padded_frame_keeps_its_padding", udp_frame(148, 5, 0x4000, 6), true, 42, 166},
        {"relayed_empty_payload", relayed_frame(0), false, 42, 8},
        {"relayed_with_ip_options", relayed_frame(92, 0, 1, 7), false, 50, 100},
        {"relayed_full_frame", relayed_frame(1514 - 42 - 10), false, 42, 1514 - 42 - 10 + 8},
    };
    for (const limit_case& lc : cases) {
        SCOPED_TRACE(lc.name);
        guarded_record g;
        lc.build(g.record);
        const guarded_record before = g;
        ASSERT_TRUE(lc.wrap ? socks5_udp_wrap(*c.client, g.record) : socks5_udp_unwrap(*c.client, g.record));
        EXPECT_TRUE(g.canary_intact());
        EXPECT_EQ(g.record.length, lc.wrap ? before.record.length + 10 : before.record.length - 10);
        EXPECT_EQ(at16(g.record, lc.payload_offset - 4), lc.new_udp_length);
        EXPECT_TRUE(rimcap::frame_view(g.record).is_ipv4());
        EXPECT_TRUE(ipv4_header_verifies(g.record));
        EXPECT_TRUE(ipv4_transport_verifies(g.record));
        const std::size_t payload = lc.new_udp_length - 8 - (lc.wrap ? 10 : 0);
        const std::size_t old_payload_offset = lc.payload_offset + (lc.wrap ? 0 : 10);
        EXPECT_EQ(frame_bytes(g.record, lc.payload_offset + (lc.wrap ? 10 : 0), payload),
                  frame_bytes(before.record, old_payload_offset, payload));
    }
}

TEST(socks5_udp, a_client_without_a_relay_port_neither_wraps_nor_unwraps)
{
    guarded_record g;
    load_udp(g.record, client_address, client_port, server_address, server_port, pattern(148));
    const guarded_record before = g;
    EXPECT_FALSE(socks5_udp_wrap(idle_client(), g.record));
    EXPECT_TRUE(same_record(g.record, before.record));

    load_udp(g.record, proxy_address, relay_port, client_address, client_port,
             concat(header_for(server_address, server_port), pattern(148)));
    const guarded_record relayed = g;
    EXPECT_FALSE(socks5_udp_unwrap(idle_client(), g.record));
    EXPECT_TRUE(same_record(g.record, relayed.record));
}

TEST(socks5_udp, randomised_hostile_frames)
{
    associated_client c(3, false); // the log text is built but goes nowhere
    std::mt19937 random(20261209);
    const auto uniform = [&](std::size_t lo, std::size_t hi) {
        return std::uniform_int_distribution<std::size_t>(lo, hi)(random);
    };
    int wrapped = 0, unwrapped = 0, refused = 0;
    for (int i = 0; i < 20000; ++i) {
        guarded_record g;
        const bool relay = i % 2 == 1;
        const int ihl = static_cast<int>(uniform(5, 15));
        const std::size_t room = 1514 - 14 - static_cast<std::size_t>(ihl) * 4 - 8;
        const std::size_t payload = uniform(0, uniform(0, 1) ? 200 : room);
        bytes body = pattern(payload, static_cast<std::uint8_t>(i));
        if (relay && payload >= 10) {
            const auto frag = static_cast<std::uint8_t>(uniform(0, 7) == 0 ? 1 : 0);
            const auto atyp = static_cast<std::uint8_t>(uniform(0, 7) == 0 ? 4 : 1);
            const bytes h = header_for(server_address, server_port, frag, atyp);
            std::copy(h.begin(), h.end(), body.begin());
        }
        const auto flags = static_cast<std::uint16_t>(uniform(0, 3) == 0 ? uniform(0, 0xFFFF) : 0x4000);
        const std::size_t padding = uniform(0, 3) == 0 ? uniform(0, 20) : 0;
        load_udp(g.record, relay ? proxy_address : client_address, relay ? relay_port : client_port,
                 relay ? client_address : server_address, relay ? client_port : server_port, body, ihl, flags, padding);
        // Damage some of them: header bytes, the UDP length, the frame length.
        switch (uniform(0, 5)) {
        case 0:
            for (std::size_t n = uniform(1, 4); n > 0; --n)
                g.record.frame[uniform(12, 14 + static_cast<std::size_t>(ihl) * 4 + 8)] =
                    static_cast<std::uint8_t>(uniform(0, 255));
            break;
        case 1: {
            const std::size_t udp = 14 + static_cast<std::size_t>(ihl) * 4;
            const auto length = static_cast<std::uint16_t>(uniform(0, 0xFFFF) % 1600);
            g.record.frame[udp + 4] = static_cast<std::uint8_t>(length >> 8);
            g.record.frame[udp + 5] = static_cast<std::uint8_t>(length);
            break;
        }
        case 2:
            g.record.length = static_cast<std::uint32_t>(uniform(0, 1600));
            break;
        default:
            break;
        }
        const guarded_record before = g;
        const bool done = relay ? socks5_udp_unwrap(*c.client, g.record) : socks5_udp_wrap(*c.client, g.record);
        ASSERT_TRUE(g.canary_intact()) << "round " << i;
        if (!done) {
            ++refused;
            ASSERT_TRUE(same_record(g.record, before.record)) << "round " << i << ": refused frame changed";
            continue;
        }
        relay ? ++unwrapped : ++wrapped;
        ASSERT_EQ(g.record.length, relay ? before.record.length - 10 : before.record.length + 10) << "round " << i;
        rimcap::frame_view f(g.record);
        ASSERT_TRUE(f.is_ipv4()) << "round " << i;
        const auto t = f.ipv4_transport();
        ASSERT_TRUE(t && f.udp_length(*t) == t->length) << "round " << i;
        ASSERT_TRUE(ipv4_header_verifies(g.record)) << "round " << i;
        ASSERT_TRUE(ipv4_transport_verifies(g.record)) << "round " << i;
    }
    EXPECT_GT(wrapped, 1000);
    EXPECT_GT(unwrapped, 1000);
    EXPECT_GT(refused, 1000);
}

TEST(socks5_udp, tshark_reads_wrapped_and_unwrapped_frames)
{
    ASSERT_TRUE(tshark_available()) << "tshark is needed (scripts/setup.sh installs it)";
    associated_client c;
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("lorrivan-socks5-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    const std::string name = (dir / "lorrivan_enc.pcap").string();
    std::size_t frames = 0;
    {
        rimcap::pcap_file_writer w(name);
        for (std::size_t payload : {std::size_t{148}, std::size_t{0}, std::size_t{1}, std::size_t{1461}}) {
            _INTERMEDIATE_BUFFER r{};
            load_udp(r, client_address, client_port, server_address, server_port, pattern(payload));
            ASSERT_TRUE(socks5_udp_wrap(*c.client, r));
            rimcap::write_capture_record(w, r);
            load_udp(r, proxy_address, relay_port, client_address, client_port,
                     concat(header_for(server_address, server_port), pattern(payload)), payload > 1000 ? 5 : 6);
            ASSERT_TRUE(socks5_udp_unwrap(*c.client, r));
            rimcap::write_capture_record(w, r);
            frames += 2;
        }
    }
    const auto lines = tshark_packet_lines(name);
    fs::remove_all(dir);
    ASSERT_TRUE(lines.has_value());
    ASSERT_EQ(lines->size(), frames);
    for (const std::string& line : *lines) {
        // frame, malformed, severity, ip, udp, tcp, icmp, icmpv6
        std::vector<std::string> fields = tshark_fields(line);
        ASSERT_GE(fields.size(), 5u) << line;
        EXPECT_TRUE(fields[1].empty()) << "malformed: " << line;
        EXPECT_EQ(fields[3], "1") << "IPv4 header checksum: " << line;
        EXPECT_EQ(fields[4], "1") << "UDP checksum: " << line;
    }
}

// --- The server's datagrams --------------------------------------------------------------

namespace
{
wireguard::ip_endpoint endpoint(ipv4_address a, std::uint16_t port)
{
    wireguard::ip_endpoint e;
    std::copy(a.begin(), a.end(), e.address.begin());
    e.family = wireguard::family_ipv4;
    e.port = port;
    return e;
}

wireguard::ip_endpoint endpoint6(ipv6_address a, std::uint16_t port)
{
    wireguard::ip_endpoint e;
    e.address = a;
    e.family = wireguard::family_ipv6;
    e.port = port;
    return e;
}

wireguard::server_datagram_route route_v4(const socks5_client* client)
{
    return {endpoint(server_address, server_port), endpoint(proxy_address, 1080), client};
}
} // namespace

TEST(match_server_datagram, direct_and_relayed_ipv4_datagrams)
{
    associated_client c;
    const bytes response = pattern(92, 2);
    std::atomic<std::int32_t> pending{3};

    {
        SCOPED_TRACE("direct from the server");
        guarded_record g;
        load_udp(g.record, server_address, server_port, client_address, client_port, response);
        const auto m = wireguard::match_server_datagram(route_v4(c.client.get()), pending, g.record);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->family, wireguard::family_ipv4);
        EXPECT_EQ(m->message.data(), g.record.frame + 42);
        EXPECT_EQ(bytes(m->message.begin(), m->message.end()), response);
        EXPECT_EQ(pending.load(), 3) << "a direct datagram is not from the relay";
    }
    {
        SCOPED_TRACE("through the relay");
        guarded_record g;
        load_udp(g.record, proxy_address, relay_port, client_address, client_port,
                 concat(header_for(server_address, server_port), response));
        const auto m = wireguard::match_server_datagram(route_v4(c.client.get()), pending, g.record);
        ASSERT_TRUE(m);
        EXPECT_EQ(bytes(m->message.begin(), m->message.end()), response);
        EXPECT_EQ(m->message.data(), g.record.frame + 42);
        EXPECT_EQ(pending.load(), 0);
        EXPECT_EQ(address_at(g.record, 26), server_address);
        EXPECT_TRUE(ipv4_transport_verifies(g.record));
    }
    {
        SCOPED_TRACE("from the relay, naming another sender");
        pending = 2;
        guarded_record g;
        load_udp(g.record, proxy_address, relay_port, client_address, client_port,
                 concat(header_for({203, 0, 113, 9}, server_port), response));
        EXPECT_FALSE(wireguard::match_server_datagram(route_v4(c.client.get()), pending, g.record));
        EXPECT_EQ(pending.load(), 0) << "it still came through the relay";
        EXPECT_EQ(address_at(g.record, 26), (ipv4_address{203, 0, 113, 9}));
    }
}

TEST(match_server_datagram, frames_that_are_not_the_servers)
{
    associated_client c;
    struct case_t {
        const char* name;
        builder build;
        bool with_client;
        bool proxy_of_other_family;
    };
    const auto from = [](ipv4_address a, std::uint16_t port, bytes payload) -> builder {
        return [=](_INTERMEDIATE_BUFFER& r) { load_udp(r, a, port, client_address, client_port, payload); };
    };
    const bytes relayed = concat(header_for(server_address, server_port), pattern(92));
    const case_t cases[] = {
        {"server_address_other_port", from(server_address, server_port + 1, pattern(92)), true, false},
        {"other_address_server_port", from({198, 51, 100, 8}, server_port, pattern(92)), true, false},
        {"proxy_address_other_port", from(proxy_address, relay_port + 1, relayed), true, false},
        {"relay_without_a_client", from(proxy_address, relay_port, relayed), false, false},
        {"relay_with_a_proxy_of_the_other_family", from(proxy_address, relay_port, relayed), true, true},
        {"udp_length_past_the_frame", with_udp_length(from(server_address, server_port, pattern(92)), 200), true,
         false},
        {"udp_length_short_of_8", with_udp_length(from(server_address, server_port, pattern(92)), 7), true, false},
        {"tcp_from_the_server",
         [](_INTERMEDIATE_BUFFER& r) {
             load(r, 0x0800,
                  ipv4(6, tcp(server_port, client_port, pattern(20)), 5, 0x4000, server_address, client_address));
         },
         true, false},
        {"later_fragment_from_the_server", udp_frame(92, 5, 0x0010), true, false},
        {"ipv6_frame_for_an_ipv4_server",
         [](_INTERMEDIATE_BUFFER& r) { load(r, 0x86DD, ipv6(17, udp(server_port, client_port, pattern(92)))); }, true,
         false},
    };
    for (const case_t& tc : cases) {
        SCOPED_TRACE(tc.name);
        guarded_record g;
        tc.build(g.record);
        const guarded_record before = g;
        std::atomic<std::int32_t> pending{4};
        wireguard::server_datagram_route route = route_v4(tc.with_client ? c.client.get() : nullptr);
        if (tc.proxy_of_other_family)
            route.socks5_proxy = endpoint6(ipv6_a, 1080);
        EXPECT_FALSE(wireguard::match_server_datagram(route, pending, g.record));
        EXPECT_EQ(pending.load(), 4);
        EXPECT_TRUE(same_record(g.record, before.record));
        EXPECT_TRUE(g.canary_intact());
    }

    // A client that is not ready takes nothing from the relay.
    guarded_record g;
    load_udp(g.record, proxy_address, relay_port, client_address, client_port, relayed);
    std::atomic<std::uint32_t> pending{1};
    EXPECT_FALSE(wireguard::match_server_datagram(route_v4(&idle_client()), pending, g.record));
    EXPECT_EQ(pending.load(), 1u);
}

TEST(match_server_datagram, ipv6_server)
{
    associated_client c;
    const wireguard::server_datagram_route route{endpoint6(ipv6_b, server_port), endpoint6(ipv6_a, 1080),
                                                 c.client.get()};
    std::atomic<std::uint32_t> pending{5};

    guarded_record g;
    load(g.record, 0x86DD,
         ipv6(0, concat(options_header(17), udp(server_port, client_port, pattern(92))), ipv6_b, ipv6_a));
    auto m = wireguard::match_server_datagram(route, pending, g.record);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->family, wireguard::family_ipv6);
    EXPECT_EQ(m->message.data(), g.record.frame + 14 + 40 + 8 + 8);
    EXPECT_EQ(m->message.size(), 92u);
    EXPECT_EQ(pending.load(), 5u);

    // From the IPv6 proxy at the relay port: it counts as relayed, but only IPv4 frames
    // are unwrapped.
    load(g.record, 0x86DD,
         ipv6(17, udp(relay_port, client_port, concat(header_for(server_address, server_port), pattern(92))), ipv6_a,
              ipv6_b));
    const guarded_record before = g;
    EXPECT_FALSE(wireguard::match_server_datagram(route, pending, g.record));
    EXPECT_EQ(pending.load(), 0u);
    EXPECT_TRUE(same_record(g.record, before.record));

    // An IPv4 frame from the IPv4 address and port is nothing for an IPv6 server.
    load_udp(g.record, server_address, server_port, client_address, client_port, pattern(92));
    EXPECT_FALSE(wireguard::match_server_datagram(route, pending, g.record));

    // An empty datagram from the server: a message of no bytes.
    load(g.record, 0x86DD, ipv6(17, udp(server_port, client_port, {}), ipv6_b, ipv6_a));
    m = wireguard::match_server_datagram(route, pending, g.record);
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->message.empty());
}

// --- A real relay -------------------------------------------------------------------------

namespace
{
struct udp_socket {
    SOCKET s = INVALID_SOCKET;
    std::uint16_t port = 0;
    udp_socket()
    {
        s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = socks5_test::loopback();
        int size = sizeof a;
        EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size), 0);
        port = ::ntohs(a.sin_port);
    }
    ~udp_socket() { ::closesocket(s); }
    void send_to(const std::uint8_t* data, std::size_t n, const sockaddr_in& to) const
    {
        EXPECT_EQ(::sendto(s, reinterpret_cast<const char*>(data), static_cast<int>(n), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<int>(n));
    }
    // One datagram within 5 s, with its sender; empty on time-out.
    std::optional<bytes> receive(sockaddr_in& from) const
    {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv{5, 0};
        if (::select(0, &set, nullptr, nullptr, &tv) != 1)
            return std::nullopt;
        char buffer[2048];
        int size = sizeof from;
        const int n = ::recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
        if (n < 0)
            return std::nullopt;
        return bytes(buffer, buffer + n);
    }
};
} // namespace

TEST(socks5_udp_real_relay, a_handshake_travels_through_dante_and_back)
{
    REQUIRE_REAL_PROXIES();
    const std::uint16_t dante_port = socks5_test::real_proxies::instance().port("danted_none");
    log_recorder log;
    socks5_client client(socks5_test::loopback(), dante_port, std::nullopt, std::nullopt, log.function(), 3);
    client.start_association();
    ASSERT_TRUE(wait_until([&] { return !client.associating(); }));
    ASSERT_TRUE(client.ready()) << ::testing::PrintToString(log.lines());

    udp_socket tunnel_socket; // the tunnel's own UDP socket
    udp_socket server;        // stands in for the WireGuard server
    const bytes initiation = pattern(148, 1);

    // The frame the stack would send from the tunnel socket to the server, wrapped.
    _INTERMEDIATE_BUFFER r{};
    load_udp(r, proxy_address, tunnel_socket.port, proxy_address, server.port, initiation);
    ASSERT_TRUE(socks5_udp_wrap(client, r));

    // Send what the wrapped frame carries, to where it is now addressed.
    sockaddr_in relay{};
    relay.sin_family = AF_INET;
    std::memcpy(&relay.sin_addr, r.frame + 30, 4);
    std::memcpy(&relay.sin_port, r.frame + 36, 2);
    EXPECT_EQ(::ntohs(relay.sin_port), *client.relay_port());
    tunnel_socket.send_to(r.frame + 42, at16(r, 38) - 8u, relay);

    sockaddr_in dante_side{};
    const auto arrived = server.receive(dante_side);
    ASSERT_TRUE(arrived) << "dante did not pass the datagram on";
    EXPECT_EQ(*arrived, initiation);

    // The server answers; dante relays it back with the request header in front.
    const bytes response = pattern(92, 9);
    server.send_to(response.data(), response.size(), dante_side);
    sockaddr_in relay_side{};
    const auto relayed = tunnel_socket.receive(relay_side);
    ASSERT_TRUE(relayed) << "dante did not relay the answer";
    EXPECT_EQ(::ntohs(relay_side.sin_port), *client.relay_port());

    // The frame the driver would hold for that datagram: matched as the server's.
    load_udp(r, proxy_address, ::ntohs(relay_side.sin_port), proxy_address, tunnel_socket.port, *relayed);
    const wireguard::server_datagram_route route{endpoint(proxy_address, server.port),
                                                 endpoint(proxy_address, dante_port), &client};
    std::atomic<std::int32_t> pending{1};
    const auto m = wireguard::match_server_datagram(route, pending, r);
    ASSERT_TRUE(m) << "the relayed answer was not taken as the server's";
    EXPECT_EQ(bytes(m->message.begin(), m->message.end()), response);
    EXPECT_EQ(pending.load(), 0);
    EXPECT_EQ(at16(r, 34), server.port);
    EXPECT_TRUE(ipv4_header_verifies(r));
    EXPECT_TRUE(ipv4_transport_verifies(r));
}
