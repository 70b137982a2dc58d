// The dual tunnel's three packet handlers on hand-built frames, with the real engine on
// both sides: what leaves encrypted and how it is addressed, what leaves outside the
// tunnel, the socket's own datagrams, DNS, MSS clamping, delivery to the two stacks,
// fragments and oversize packets.
#include "dual_path_fixture.h"

#include "config/address_parsers.h"
#include "socks5_test_support.h"
#include "support/inner_packets.h"

namespace
{
using namespace dual_test;
using tunnel_test::log_lines;
using tunnel_test::packet_verifies;
using tunnel_test::with_checksums;

const auto winsock = ::testing::AddGlobalTestEnvironment(new socks5_test::winsock_environment);

constexpr ipv6_address dns6 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53};
constexpr ipv6_address asked6 = {0x20, 0x01, 0x48, 0x60, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x88, 0x88};

// The MSS option value of the (first) option of a TCP segment right behind the IP header.
std::uint16_t mss_of(const bytes& ip)
{
    const std::size_t tcp = ip[0] >> 4 == 6 ? 40 : (ip[0] & 0x0F) * 4u;
    return ip[tcp + 20] == 2 ? get16(&ip[tcp + 22]) : 0;
}

template <std::size_t N>
bool at(const bytes& b, std::size_t offset, const std::array<std::uint8_t, N>& value)
{
    return b.size() >= offset + N && std::equal(value.begin(), value.end(), b.begin() + static_cast<std::ptrdiff_t>(offset));
}

// `count` 16-bit words from `offset` on.
std::vector<unsigned> words(const bytes& b, std::size_t offset, std::size_t count)
{
    std::vector<unsigned> list;
    for (std::size_t i = 0; i < count && offset + 2 * i + 1 < b.size(); ++i)
        list.push_back(get16(&b[offset + 2 * i]));
    return list;
}

using tunnel_test::fragment_of;

// ---- datagrams to the server ------------------------------------------------------------------

TEST_F(dual_paths, packets_leave_as_n_plus_42_or_62_byte_datagrams_with_the_learned_addressing)
{
    for (const bool v6_server : {false, true})
        for (const bool v6_inner : {false, true})
            for (const bool from_virtual : {true, false}) {
                SCOPED_TRACE(testing::Message() << "IPv6 server " << v6_server << ", IPv6 inner " << v6_inner
                                                << ", virtual path " << from_virtual);
                auto& t = make(v6_server);
                handshake(t);
                const std::uint16_t type = v6_inner ? ipv6_type : ipv4_type;
                const bytes inner = with_checksums(
                    v6_inner ? ipv6(58, echo(128, pattern(100)), from_virtual ? tunnel6 : ipv6_a, remote6)
                             : ipv4(1, echo(8, pattern(100)), 5, 0x4000, from_virtual ? tunnel4 : ipv4_a, remote4));
                for (unsigned round = 1; round <= 2; ++round) {
                    EXPECT_EQ(from_virtual ? virtual_out(type, inner) : physical_out(type, inner),
                              from_virtual ? packet_action::other_pass : packet_action::pass);
                    const unsigned n = static_cast<unsigned>(inner.size()) + 32;
                    ASSERT_EQ(after.size(), outer_size(t) + n);
                    EXPECT_TRUE(at(after, 0, next_hop) && at(after, 6, own_mac)) << "both MACs learned";
                    // The IP header up to the addresses: the learned header word, or type of
                    // service 0, the tunnel's counter (incremented first) and no flags; then
                    // hop limit or TTL 128 and UDP.
                    if (v6_server) {
                        EXPECT_EQ(words(after, 12, 5), (std::vector<unsigned>{ipv6_type, 0x6ABC, 0xDEF0, n + 8, 0x1180}));
                        EXPECT_TRUE(at(after, 22, ipv6_a) && at(after, 38, ipv6_b));
                    } else {
                        EXPECT_EQ(words(after, 12, 6), (std::vector<unsigned>{ipv4_type, 0x4500, n + 28, round, 0, 0x8011}));
                        EXPECT_TRUE(at(after, 26, ipv4_a) && at(after, 30, ipv4_b));
                    }
                    EXPECT_EQ(words(after, outer_size(t) - 8, 3), (std::vector<unsigned>{local_port, server_port, n + 8}));
                    EXPECT_TRUE(frame_verifies(guarded.record));
                    const bytes plain = opened();
                    ASSERT_EQ(plain.size(), inner.size());
                    EXPECT_TRUE(v6_inner ? at(plain, 8, tunnel6) : at(plain, 12, tunnel4)) << "from the tunnel address";
                    EXPECT_TRUE(packet_verifies(plain));
                }
                EXPECT_EQ(t.counters.sent_packets.load(), 2u);
                EXPECT_EQ(t.counters.sent_bytes.load(), 2 * (after.size() - 14));
                ASSERT_EQ(events.size(), 2u);
                EXPECT_EQ(events[1].type, wireguard::tunnel_event::packet_sent);
                EXPECT_EQ(events[1].value, static_cast<std::int64_t>(after.size() - 14));
                events.clear();
            }
}

TEST_F(dual_paths, the_engine_gets_1472_bytes_of_room_before_an_ipv4_server_and_1452_before_an_ipv6_one)
{
    struct room_case {
        bool v6_server;
        std::size_t inner;
        bool fits;
    };
    for (const room_case c : {room_case{false, 1440, true}, room_case{false, 1441, false},
                              room_case{true, 1420, true}, room_case{true, 1421, false}}) {
        SCOPED_TRACE(testing::Message() << "IPv6 server " << c.v6_server << ", inner " << c.inner);
        auto& t = make(c.v6_server);
        t.mtu = 1500;
        handshake(t);
        log_lines::instance().clear();
        const bytes inner = ipv4(17, udp(5000, 6000, pattern(c.inner - 28)), 5, 0x4000, tunnel4, remote4);
        EXPECT_EQ(virtual_out(ipv4_type, inner), c.fits ? packet_action::other_pass : packet_action::revert);
        if (c.fits) {
            EXPECT_EQ(after.size(), 1514u);
            EXPECT_EQ(opened(), inner);
        } else {
            ASSERT_EQ(after.size(), 70u);
            EXPECT_EQ(after[34], 3) << "fragmentation needed";
            EXPECT_EQ(get16(&after[40]), c.inner - 1);
        }
    }
}

TEST_F(dual_paths, without_any_handshake_the_engine_initiates_and_then_the_watchdog_is_asked_once)
{
    auto& t = make();
    const bytes echo4 = ipv4(1, echo(8, pattern(20)), 5, 0x4000, tunnel4, remote4);
    EXPECT_EQ(virtual_out(ipv4_type, echo4), packet_action::other_pass) << "the engine's initiation in its place";
    ASSERT_EQ(after.size(), 42u + 148u);
    EXPECT_EQ(after[42], 1);
    EXPECT_EQ(t.event_word.load(), 0);
    EXPECT_EQ(physical_out(ipv4_type, ipv4(1, echo(8, pattern(20)), 5, 0x4000, ipv4_a, remote4)), packet_action::drop);
    EXPECT_EQ(t.event_word.load(), wireguard::wg_dual_tunnel_event_type::rehandshake);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: wireguard_write returned: result = 0 size = 0"));
    t.event_word = wireguard::wg_dual_tunnel_event_type::network_config_change;
    t.active = true;
    EXPECT_EQ(virtual_out(ipv4_type, echo4), packet_action::drop);
    EXPECT_EQ(t.event_word.load(), wireguard::wg_dual_tunnel_event_type::network_config_change) << "a pending restart stays";
}

// ---- the socket's own datagrams ---------------------------------------------------------------

TEST_F(dual_paths, own_datagrams_leave_through_the_physical_adapter_and_only_initiations_use_the_relay)
{
    using namespace socks5_test;
    const bytes relay_reply = {5, 0, 0, 1, 127, 0, 0, 1, 0x9C, 0x41}; // relay port 40001
    scripted_proxy ready_proxy({step::recv(4), step::reply({5, 0}), step::recv(10), step::reply(relay_reply)});
    scripted_proxy silent_proxy({step::recv(4)});
    for (const bool from_virtual : {true, false}) {
        SCOPED_TRACE(from_virtual ? "virtual path" : "physical path");
        auto& t = make();
        const ipv4_address source = from_virtual ? tunnel4 : ipv4_a;
        const bytes initiation = with_checksums(ipv4(17, udp(local_port, server_port, pattern(148)), 5, 0, source, ipv4_b));
        const bytes keepalive = with_checksums(ipv4(17, udp(local_port, server_port, pattern(32)), 5, 0, source, ipv4_b));
        auto own = [&](const bytes& ip) { return from_virtual ? virtual_out(ipv4_type, ip) : physical_out(ipv4_type, ip); };
        const packet_action sent = from_virtual ? packet_action::other_pass : packet_action::pass;
        decide = [](_INTERMEDIATE_BUFFER&) -> bool { throw std::logic_error("own datagrams are never classified"); };

        EXPECT_EQ(own(keepalive), sent);
        if (from_virtual) {
            EXPECT_TRUE(at(after, 26, ipv4_a)) << "from the physical address";
            EXPECT_TRUE(at(after, 0, next_hop) && at(after, 6, own_mac));
            EXPECT_TRUE(frame_verifies(guarded.record));
        } else {
            EXPECT_EQ(after_ip(), keepalive) << "unchanged";
        }

        const auto relay = [&](std::uint16_t port) {
            wireguard::socks5_proxy_settings proxy;
            proxy.address = socks5_test::loopback();
            proxy.port = port;
            wireguard::recreate_socks5_client(t.socks5, proxy, nullptr, 0);
        };
        relay(silent_proxy.port());
        EXPECT_EQ(own(initiation), packet_action::drop) << "relay not ready";
        EXPECT_EQ(own(keepalive), sent) << "a keep-alive never waits for the relay";
        EXPECT_EQ(after.size(), 14u + keepalive.size());

        relay(ready_proxy.port());
        ASSERT_TRUE(wait_until([&] { return t.socks5.get()->ready(); }));
        EXPECT_EQ(own(initiation), sent);
        ASSERT_EQ(after.size(), 14u + initiation.size() + 10) << "the SOCKS5 header in front";
        EXPECT_EQ(get16(&after[36]), 40001);
        EXPECT_TRUE(at(after, 30, ipv4_address{127, 0, 0, 1}) && at(after, 46, ipv4_b));
        EXPECT_TRUE(frame_verifies(guarded.record));
        EXPECT_EQ(own(keepalive), sent);
        EXPECT_EQ(after.size(), 14u + keepalive.size()) << "keep-alives leave unwrapped";
        EXPECT_EQ(t.relay_pending_count.load(), 1u);
        // An initiation that cannot be wrapped (bytes behind its datagram) is not relayed.
        const bytes padded = ipv4(17, testpkt::concat(udp(local_port, server_port, pattern(148)), bytes(4, 0)), 5, 0, source, ipv4_b);
        EXPECT_EQ(own(padded), sent);
        EXPECT_EQ(after.size(), 14u + padded.size());
        EXPECT_EQ(t.relay_pending_count.load(), 1u);
        t.socks5.reset();
    }
}

TEST_F(dual_paths, own_datagrams_on_the_physical_adapter_teach_its_address_and_non_zero_macs_never_a_non_unicast_source)
{
    auto& t = make(false, 2);
    t.learned.store({});
    const bytes own = ipv4(17, udp(local_port, server_port, pattern(32)), 5, 0, ipv4_a, ipv4_b);
    EXPECT_EQ(physical_out(ipv4_type, own), packet_action::pass);
    EXPECT_EQ(t.learned.load().local_ipv4, as_u32(ipv4_a));
    EXPECT_EQ(t.learned.load().next_hop_mac, (std::array<std::uint8_t, 6>{2, 0, 0, 0, 0, 0xBB}));
    EXPECT_EQ(t.learned.load().local_mac, (std::array<std::uint8_t, 6>{2, 0, 0, 0, 0, 0xAA}));
    EXPECT_EQ(physical_out(ipv4_type, own), packet_action::pass);
    EXPECT_EQ(log_lines::instance().all(),
              std::vector<std::string>{"[TUN]: Switching local IPv4 address for the " + adapter_name + " to 192.0.2.10"});
    std::memset(&guarded.record.frame, 0, 12);
    ASSERT_EQ(t.process_default_adapter_packet(guarded.record, wireguard::classifier_ref(decide)), packet_action::pass);
    EXPECT_EQ(t.learned.load().next_hop_mac[5], 0xBB) << "an all-zero MAC is never learned";

    // Never an unspecified (the DHCP client's), broadcast or multicast source.
    for (const ipv4_address& source : {ipv4_address{0, 0, 0, 0}, ipv4_address{255, 255, 255, 255}, ipv4_address{224, 0, 0, 251}}) {
        physical_out(ipv4_type, ipv4(17, udp(local_port, server_port, pattern(32)), 5, 0, source, ipv4_b));
        EXPECT_EQ(t.learned.load().local_ipv4, as_u32(ipv4_a)) << int{source[0]};
    }

    // IPv6: the header word and the address once per initiation; link-local sources of
    // tunnelled packets never.
    auto& v6 = make(true, 2);
    v6.ipv6_header_word = 0;
    log_lines::instance().clear();
    EXPECT_EQ(physical_out(ipv6_type, ipv6(17, udp(local_port, server_port, pattern(32)), remote6, ipv6_b)), packet_action::pass);
    EXPECT_EQ(v6.ipv6_header_word.load(), 0x60012345u);
    EXPECT_EQ(v6.learned.load().local_ipv6, remote6);
    EXPECT_EQ(physical_out(ipv6_type, ipv6(17, udp(local_port, server_port, pattern(32)), ipv6_a, ipv6_b)), packet_action::pass);
    EXPECT_EQ(v6.learned.load().local_ipv6, remote6) << "the word is known";
    handshake(v6);
    EXPECT_NE(physical_out(ipv6_type, ipv6(58, echo(128, pattern(8)), link_local, remote6)), packet_action::drop);
    EXPECT_EQ(v6.learned.load().local_ipv6, remote6) << "link-local";
    EXPECT_NE(physical_out(ipv6_type, ipv6(58, echo(128, pattern(8)), ipv6_a, remote6)), packet_action::drop);
    EXPECT_EQ(v6.learned.load().local_ipv6, ipv6_a);
    const ipv6_address mld_routers = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x16};
    physical_out(ipv6_type, ipv6(58, echo(143, pattern(8)), ipv6_address{}, mld_routers)); // an MLD report
    EXPECT_EQ(v6.learned.load().local_ipv6, ipv6_a) << "unspecified";
    EXPECT_EQ(log_lines::instance().all(),
              (std::vector<std::string>{"[TUN]: Switching local IPv6 address for the " + adapter_name + " to fd00::1",
                                        "[TUN]: Switching local IPv6 address for the " + adapter_name + " to 2001:db8::1"}));
}

// ---- what stays outside the tunnel, MSS clamps and oversize packets --------------------------

TEST_F(dual_paths, neighbour_discovery_and_what_no_default_route_of_the_tunnel_covers_pass_unchanged)
{
    auto& t = make();
    const bytes solicitation = ipv6(58, echo(135, pattern(16)), link_local, remote6);
    for (const bool tunnelled : {true, false})
        for (const bool active : {true, false}) {
            decide = [&](_INTERMEDIATE_BUFFER&) { return tunnelled; };
            t.active = active;
            if (active) {
                EXPECT_EQ(virtual_out(ipv6_type, solicitation), packet_action::pass);
                EXPECT_EQ(after_ip(), solicitation);
            }
            EXPECT_EQ(physical_out(ipv6_type, solicitation), packet_action::pass) << "also while inactive";
            EXPECT_EQ(after_ip(), solicitation);
        }
    // The physical path takes a candidate only for a family whose default route AllowedIPs
    // holds, while active and with a tunnel address of the family.
    const bytes echo4 = ipv4(1, echo(8, pattern(20)), 5, 0x4000, ipv4_a, remote4);
    decide = [](_INTERMEDIATE_BUFFER&) { return true; };
    EXPECT_EQ(physical_out(ipv4_type, echo4), packet_action::drop) << "a candidate while inactive";
    t.allowed_ips = {default_route(wireguard::family_ipv6)};
    EXPECT_EQ(physical_out(ipv4_type, echo4), packet_action::pass);
    EXPECT_EQ(after_ip(), echo4);
    t.tunnel_ipv6_address = {};
    EXPECT_EQ(physical_out(ipv6_type, ipv6(58, echo(128, pattern(8)), ipv6_a, remote6)), packet_action::pass);
}

TEST_F(dual_paths, link_scope_traffic_kept_outside_the_tunnel_stays_on_the_virtual_adapter)
{
    auto& t = make();
    decide = [](_INTERMEDIATE_BUFFER&) { return false; };
    const bytes mdns = ipv4(17, udp(5353, 5353, pattern(20)), 5, 0, tunnel4, {224, 0, 0, 251});
    EXPECT_EQ(virtual_out(ipv4_type, mdns), packet_action::pass);
    EXPECT_EQ(after_ip(), mdns);
    EXPECT_FALSE(t.virtual_adapter_bypass_v4.contains(as_u32({224, 0, 0, 251})));
}

struct mtu_case {
    const char* name;
    bool v6;
    bool from_virtual;
    bool tunnelled;
    std::uint16_t mss;      // of an outgoing SYN
    std::uint16_t flags;    // IPv4 flags of an oversize packet
    std::size_t oversize;   // its size
    packet_action action;   // what the oversize packet gets
    std::uint16_t reported; // the MTU its reply reports
};

TEST_F(dual_paths, outgoing_syns_and_oversize_packets_get_the_mtu_of_the_path_they_take)
{
    constexpr auto revert = packet_action::revert;
    const mtu_case cases[] = {
        {"into the tunnel", false, true, true, 1380, 0x4000, 1421, revert, 1420},
        {"out of the virtual adapter, outside", false, true, false, 1360, 0x4000, 1401, revert, physical_mtu},
        {"outside, without DF", false, true, false, 1360, 0, 1401, packet_action::drop, 0},
        {"physical, into the tunnel", false, false, true, 1380, 0, 0, {}, 0},
        {"IPv6 into the tunnel", true, true, true, 1360, 0, 1421, revert, 1420},
        {"IPv6 outside", true, true, false, 1340, 0, 1401, revert, physical_mtu},
        {"IPv6 physical, into the tunnel", true, false, true, 1360, 0, 0, {}, 0},
    };
    auto& t = make();
    handshake(t);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        decide = [&](_INTERMEDIATE_BUFFER&) { return c.tunnelled; };
        const std::uint16_t type = c.v6 ? ipv6_type : ipv4_type;
        const auto send = [&](const bytes& ip) { return c.from_virtual ? virtual_out(type, ip) : physical_out(type, ip); };
        const ipv4_address from4 = c.from_virtual ? tunnel4 : ipv4_a;
        const ipv6_address from6 = c.from_virtual ? tunnel6 : ipv6_a;
        const bytes syn = c.v6 ? ipv6(6, tcp(5000, 443, {}, 0x02, 1), from6, remote6)
                               : ipv4(6, tcp(5000, 443, {}, 0x02, 1), 5, 0x4000, from4, remote4);
        EXPECT_NE(send(syn), packet_action::drop);
        const bytes out = c.tunnelled ? opened() : after_ip();
        ASSERT_EQ(out.size(), syn.size());
        EXPECT_EQ(mss_of(out), c.mss);
        EXPECT_TRUE(packet_verifies(out));
        if (c.oversize == 0)
            continue;
        EXPECT_EQ(send(c.v6 ? ipv6(17, udp(5000, 6000, pattern(c.oversize - 48)), from6, remote6)
                            : ipv4(17, udp(5000, 6000, pattern(c.oversize - 28)), 5, c.flags, from4, remote4)),
                  c.action);
        if (c.action == revert) {
            EXPECT_EQ(get16(&after[c.v6 ? 60 : 40]), c.reported);
            EXPECT_TRUE(frame_verifies(guarded.record));
        }
    }
}

TEST_F(dual_paths, decrypted_syn_acks_get_a_clamped_mss_that_never_grows)
{
    struct syn_ack_case {
        bool v6;
        std::size_t option_words;
        std::uint16_t mss_before, mss_after;
    };
    auto& t = make();
    handshake(t);
    const syn_ack_case cases[] = {{false, 1, 1460, 1380}, {false, 0, 0, 1380}, {false, 1, 40, 40}, {true, 1, 1460, 1360}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.v6 << " " << c.mss_before);
        bytes segment = tcp(443, 5000, {}, 0x12, c.option_words);
        if (c.option_words)
            put16(segment, 22, c.mss_before);
        const bytes inner = with_checksums(c.v6 ? ipv6(6, segment, remote6, tunnel6) : ipv4(6, segment, 5, 0, remote4, tunnel4));
        EXPECT_EQ(incoming(server_type(), sealed(inner)), packet_action::other_pass);
        EXPECT_EQ(after_ip().size(), inner.size() + (c.option_words ? 0 : 4));
        EXPECT_EQ(mss_of(after_ip()), c.mss_after);
        EXPECT_TRUE(frame_verifies(guarded.record));
    }
    EXPECT_EQ(t.counters.received_packets.load(), std::size(cases));
}

TEST_F(dual_paths, traffic_outside_the_tunnel_leaves_from_the_adapter_address_of_its_family_or_not_at_all)
{
    auto& t = make();
    decide = [](_INTERMEDIATE_BUFFER&) { return false; };
    const bytes syn6 = ipv6(6, tcp(5000, 443, {}, 0x02, 1), tunnel6, remote6);
    EXPECT_EQ(virtual_out(ipv6_type, syn6), packet_action::other_pass);
    EXPECT_TRUE(at(after, 22, ipv6_a) && frame_verifies(guarded.record));

    t.default_view.store(std::make_shared<const wireguard::default_adapter_view>(
        wireguard::default_adapter_view{physical_mtu, adapter_name}));
    EXPECT_EQ(virtual_out(ipv6_type, syn6), packet_action::drop);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: No local IPv6 address of the default adapter: packet dropped"));
}

// ---- DNS --------------------------------------------------------------------------------------

TEST_F(dual_paths, dns_goes_only_to_configured_servers_and_every_answer_comes_back_as_asked)
{
    auto& t = make();
    wireguard::ip_address server6;
    server6.family = wireguard::family_ipv6;
    std::copy(dns6.begin(), dns6.end(), server6.address.begin());
    with_dns_server(t, server6);
    handshake(t);
    // A and AAAA queries of one socket: the same port, DNS ids of their own.
    const auto dns = [](std::uint8_t id) { return concat(bytes{0, id}, pattern(30)); };

    // Virtual adapter: another server is refused; the physical source is switched.
    EXPECT_EQ(virtual_out(ipv4_type, ipv4(17, udp(5353, 53, pattern(30)), 5, 0, tunnel4, asked4)), packet_action::drop);
    for (const std::uint8_t id : {1, 2}) {
        EXPECT_EQ(virtual_out(ipv4_type, ipv4(17, udp(5353, 53, dns(id)), 5, 0, ipv4_a, dns4)), packet_action::other_pass);
        const bytes query = opened();
        EXPECT_TRUE(at(query, 12, tunnel4) && at(query, 16, dns4) && packet_verifies(query));
    }
    log_lines::instance().clear();
    for (const std::uint8_t id : {2, 1}) {
        EXPECT_EQ(incoming(ipv4_type, sealed(with_checksums(ipv4(17, udp(53, 5353, dns(id)), 5, 0, dns4, tunnel4)))),
                  packet_action::pass);
        EXPECT_TRUE(at(after, 26, dns4) && at(after, 30, ipv4_a) && frame_verifies(guarded.record));
    }
    EXPECT_EQ(log_lines::instance().count_starting("[TUN]: Lorrivan virtual adapter interface : DNS : 10.8.0.53:53 -> 192.0.2.10:5353"), 2u);
    EXPECT_EQ(incoming(ipv4_type, sealed(with_checksums(ipv4(17, udp(53, 5353, dns(1)), 5, 0, dns4, tunnel4)))),
              packet_action::other_pass) << "an answer takes its own query";

    // Physical adapter: redirected to the configured server, the answer translated back.
    for (const bool v6 : {false, true}) {
        SCOPED_TRACE(v6 ? "IPv6" : "IPv4");
        log_lines::instance().clear();
        EXPECT_EQ(physical_out(v6 ? ipv6_type : ipv4_type, v6 ? ipv6(17, udp(6000, 53, pattern(30)), ipv6_a, asked6)
                                                              : ipv4(17, udp(6000, 53, pattern(30)), 5, 0, ipv4_a, asked4)),
                  packet_action::pass);
        const bytes sent = opened();
        EXPECT_TRUE((v6 ? at(sent, 24, dns6) : at(sent, 16, dns4)) && packet_verifies(sent));
        const bytes answer = v6 ? ipv6(17, udp(53, 6000, pattern(41)), dns6, tunnel6)
                                : ipv4(17, udp(53, 6000, pattern(41)), 5, 0, dns4, tunnel4);
        EXPECT_EQ(incoming(ipv4_type, sealed(with_checksums(answer))), packet_action::pass);
        EXPECT_TRUE(v6 ? at(after, 22, asked6) && at(after, 38, ipv6_a) : at(after, 26, asked4) && at(after, 30, ipv4_a));
        EXPECT_TRUE(frame_verifies(guarded.record)) << "the answer's checksum follows the translation";
    }
    EXPECT_EQ(log_lines::instance().all(),
              (std::vector<std::string>{"[TUN]: Switching local IPv6 address for the " + adapter_name + " to 2001:db8::1",
                                        "[TUN]: Default adapter DNS request to 2001:4860::8888 redirected to fd00::53",
                                        "[TUN]: Default interface : DNS : fd00::2:6000 -> fd00::53:53",
                                        "[TUN]: DNS response from fd00::53 converted as from 2001:4860::8888",
                                        "[TUN]: Default interface : DNS : 2001:4860::8888:53 -> 2001:db8::1:6000"}));
}

TEST_F(dual_paths, a_dns_server_outside_allowed_ips_answers_only_queries_sent_to_it_fragments_included)
{
    auto& t = make();
    with_dns_server(t);
    handshake(t);
    t.allowed_ips = wireguard::parse_prefix_list("10.8.0.0/30");
    const auto dns = [](std::uint8_t id, std::size_t size) { return concat(bytes{0, id}, pattern(size)); };
    EXPECT_EQ(virtual_out(ipv4_type, ipv4(17, udp(5353, 53, dns(7, 30)), 5, 0, tunnel4, dns4)), packet_action::other_pass);
    const bytes answer = udp(53, 5353, dns(7, 400));
    const std::pair<bytes, packet_action> steps[] = {
        {fragment_of(answer, dns4, tunnel4, true), packet_action::other_pass}, // up the virtual adapter's stack
        {fragment_of(answer, dns4, tunnel4, false), packet_action::other_pass},
        {fragment_of(answer, dns4, tunnel4, true), packet_action::drop}, // answered already
        {with_checksums(ipv4(17, udp(53, 5353, dns(8, 30)), 5, 0, dns4, tunnel4)), packet_action::drop},
    };
    for (const auto& [packet, action] : steps)
        EXPECT_EQ(incoming(ipv4_type, sealed(packet)), action);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: Decrypted packet from 10.8.0.53 dropped: its source is outside AllowedIPs"));
    // A query whose physical source was switched: both fragments of its answer go back to
    // that source, up the physical adapter's stack.
    EXPECT_EQ(virtual_out(ipv4_type, ipv4(17, udp(5354, 53, dns(9, 30)), 5, 0, ipv4_a, dns4)), packet_action::other_pass);
    for (const bool first : {true, false}) {
        EXPECT_EQ(incoming(ipv4_type, sealed(fragment_of(udp(53, 5354, dns(9, 400)), dns4, tunnel4, first))),
                  packet_action::pass);
        EXPECT_TRUE(at(after, 26, dns4) && at(after, 30, ipv4_a) && ipv4_header_verifies(guarded.record));
    }
}

// ---- delivery and fragments -------------------------------------------------------------------

TEST_F(dual_paths, decrypted_packets_go_to_the_stack_that_reached_their_source)
{
    auto& t = make();
    handshake(t);
    for (const bool v6 : {false, true}) {
        SCOPED_TRACE(v6 ? "IPv6" : "IPv4");
        const std::uint16_t type = v6 ? ipv6_type : ipv4_type;
        EXPECT_EQ(physical_out(type, v6 ? ipv6(58, echo(128, pattern(8)), ipv6_a, remote6)
                                        : ipv4(1, echo(8, pattern(8)), 5, 0, ipv4_a, remote4)),
                  packet_action::pass);
        const auto reply = [&](bool from_remote) {
            return with_checksums(v6 ? ipv6(58, echo(129, pattern(8)), remote6, tunnel6)
                                     : ipv4(1, echo(0, pattern(8)), 5, 0, from_remote ? remote4 : other4, tunnel4));
        };
        EXPECT_EQ(incoming(ipv4_type, sealed(reply(true))), packet_action::pass) << "up the physical adapter's stack";
        EXPECT_TRUE((v6 ? at(after, 38, ipv6_a) : at(after, 30, ipv4_a)) && frame_verifies(guarded.record));
        if (!v6) {
            EXPECT_EQ(incoming(ipv4_type, sealed(reply(false))), packet_action::other_pass);
            EXPECT_EQ(after_ip(), reply(false)) << "up the virtual adapter's stack, unchanged";
        }
    }
    // A datagram that does not open is dropped with its line.
    EXPECT_EQ(incoming(ipv4_type, from_server(concat(bytes{4, 0, 0, 0}, pattern(60)))), packet_action::drop);
    EXPECT_EQ(log_lines::instance().count_starting("[TUN]: wireguard_read returned: result = 2 size = "), 1u);
}

TEST_F(dual_paths, replies_to_flows_sent_outside_the_tunnel_go_back_to_the_virtual_adapter)
{
    auto& t = make();
    decide = [](_INTERMEDIATE_BUFFER&) { return false; };
    EXPECT_EQ(virtual_out(ipv4_type, ipv4(6, tcp(5000, 443, {}, 0x02, 1), 5, 0x4000, tunnel4, other4)),
              packet_action::other_pass);
    EXPECT_EQ(virtual_out(ipv6_type, ipv6(6, tcp(5000, 443, {}, 0x02, 1), tunnel6, remote6)), packet_action::other_pass);
    const bytes reply4 = with_checksums(ipv4(6, tcp(443, 5000, {}, 0x12, 1), 5, 0x4000, other4, ipv4_a));
    EXPECT_EQ(incoming(ipv4_type, reply4), packet_action::other_pass);
    EXPECT_TRUE(at(after, 30, tunnel4) && frame_verifies(guarded.record));
    EXPECT_EQ(mss_of(after_ip()), 1360) << "clamped to the physical MTU";
    EXPECT_EQ(incoming(ipv6_type, with_checksums(ipv6(6, tcp(443, 5000, {}, 0x12, 1), remote6, ipv6_a))),
              packet_action::other_pass);
    EXPECT_TRUE(at(after, 38, tunnel6) && frame_verifies(guarded.record));
    EXPECT_EQ(mss_of(after_ip()), 1340);

    const bytes elsewhere = with_checksums(ipv4(6, tcp(443, 5000, {}, 0x12, 1), 5, 0x4000, other4, ipv4_b));
    EXPECT_EQ(incoming(ipv4_type, elsewhere), packet_action::pass);
    EXPECT_EQ(after_ip(), elsewhere);
    t.active = false;
    EXPECT_EQ(incoming(ipv4_type, reply4), packet_action::pass);
    EXPECT_EQ(after_ip(), reply4) << "only while active";

    // Fragments of a flow outside: a first fragment keeps a checksum of the whole
    // datagram, a later one its payload, out of the virtual adapter and back into it.
    t.active = true;
    const bytes datagram = udp(5000, 6000, pattern(400));
    EXPECT_EQ(virtual_out(ipv4_type, fragment_of(datagram, tunnel4, other4, true)), packet_action::other_pass);
    EXPECT_EQ(get16(&after[14 + 26]), get16(&fragment_of(datagram, ipv4_a, other4, true)[26])) << "the whole datagram's sum";
    EXPECT_TRUE(ipv4_header_verifies(guarded.record));
    EXPECT_EQ(virtual_out(ipv4_type, fragment_of(datagram, tunnel4, other4, false)), packet_action::other_pass);
    EXPECT_EQ(bytes(after.begin() + 34, after.end()), bytes(datagram.begin() + 200, datagram.end())) << "payload untouched";
    EXPECT_TRUE(ipv4_header_verifies(guarded.record));
    EXPECT_EQ(incoming(ipv4_type, fragment_of(datagram, other4, ipv4_a, true)), packet_action::other_pass);
    EXPECT_EQ(get16(&after[14 + 26]), get16(&fragment_of(datagram, other4, tunnel4, true)[26]));
    EXPECT_TRUE(ipv4_header_verifies(guarded.record));
}
} // namespace
