// The timers on a clock the test drives: retransmission (5 s), passive keep-alive
// (10 s), unanswered data (15 s), persistent keep-alive, rekey (120 s, 165 s),
// session drop (180 s), expiry (90 s of attempts, 540 s without a session).
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>

using namespace wgtest;

namespace {

// What one side put on the wire, and when (ms since the link started).
struct sent {
    std::uint64_t at_ms;
    bool from_a;
    std::size_t size;
};

// A network between the two tunnels of a pair: every datagram a tunnel produces is
// delivered to the other (unless that direction is cut), answers go back at once, and
// queued packets are released after each delivery.
class wire {
public:
    explicit wire(tunnel_pair& p) : p_(p), start_(test_clock::now()) {}

    bool cut_a_to_b = false;
    bool cut_b_to_a = false;
    std::vector<sent> log;
    std::vector<output> delivered_to_a;  // decrypted packets and errors read by A
    std::vector<output> delivered_to_b;

    std::uint64_t elapsed_ms() const { return (test_clock::now() - start_) / 1000000u; }

    void send(bool from_a, const output& o)
    {
        if (o.op != WRITE_TO_NETWORK)
            return;
        log.push_back({elapsed_ms(), from_a, o.size});
        if (from_a ? cut_a_to_b : cut_b_to_a)
            return;
        wireguard_tunnel* to = from_a ? p_.b : p_.a;
        const output r = read(to, o.data);
        (from_a ? delivered_to_b : delivered_to_a).push_back(r);
        send(!from_a, r);
        for (output q = read(to, {}); q.op == WRITE_TO_NETWORK; q = read(to, {}))
            send(!from_a, q);
    }

    void write_from(bool from_a, const bytes& packet) { send(from_a, write(from_a ? p_.a : p_.b, packet)); }

    // Ticks both sides every 100 ms for `ms`; `each` runs before every tick.
    void run_ms(std::uint64_t ms, const std::function<void()>& each = {})
    {
        for (std::uint64_t t = 0; t < ms; t += 100) {
            test_clock::advance_ms(100);
            if (each)
                each();
            tick_side(true);
            tick_side(false);
        }
    }

    void tick_side(bool a)
    {
        const output o = tick(a ? p_.a : p_.b);
        if (o.op == WIREGUARD_ERROR)
            (a ? errors_a : errors_b).push_back({elapsed_ms(), a, o.size});
        send(a, o);
    }

    std::vector<sent> of(bool from_a, std::size_t size) const
    {
        std::vector<sent> out;
        for (const auto& s : log)
            if (s.from_a == from_a && s.size == size)
                out.push_back(s);
        return out;
    }

    std::vector<sent> errors_a;  // tick errors: size holds the code
    std::vector<sent> errors_b;

private:
    tunnel_pair& p_;
    std::uint64_t start_;
};

class timers : public ::testing::Test {
protected:
    test_clock clock_;
};

}  // namespace

TEST_F(timers, initiation_retransmitted_every_5_s_then_expired_at_90_s)
{
    tunnel_pair p;
    wire net(p);
    net.cut_a_to_b = true;
    net.send(true, force_handshake(p.a));
    net.run_ms(89900);
    const auto initiations = net.of(true, 148);
    ASSERT_EQ(initiations.size(), 18u) << "the first and 17 retransmissions";
    for (std::size_t i = 0; i < initiations.size(); ++i)
        EXPECT_EQ(initiations[i].at_ms, 5000 * i) << i;
    EXPECT_TRUE(net.errors_a.empty());
    net.run_ms(100);
    ASSERT_EQ(net.errors_a.size(), 1u);
    EXPECT_EQ(net.errors_a[0].at_ms, 90000u);
    EXPECT_EQ(net.errors_a[0].size, 15u);
    // It stays expired, without sending, until something starts a handshake again.
    net.run_ms(1000);
    EXPECT_EQ(net.errors_a.size(), 11u);
    EXPECT_EQ(net.of(true, 148).size(), 18u);
    net.cut_a_to_b = false;
    net.write_from(true, ipv4_packet(60));
    EXPECT_EQ(net.of(true, 148).size(), 19u);
    EXPECT_EQ(wireguard_stats(p.a).time_since_last_handshake, 0);
    ASSERT_FALSE(net.delivered_to_b.empty());
    EXPECT_EQ(net.delivered_to_b.back().op, WRITE_TO_TUNNEL_IPV4) << "the queued packet went out after the handshake";
}

TEST_F(timers, expiry_wipes_queued_packets)
{
    tunnel_pair p;
    wire net(p);
    net.cut_a_to_b = true;
    net.write_from(true, ipv4_packet(60, 1));  // queued, initiation lost
    net.run_ms(90000);
    ASSERT_EQ(net.errors_a.size(), 1u);
    net.cut_a_to_b = false;
    net.write_from(true, ipv4_packet(70, 2));
    std::vector<std::size_t> sizes;
    for (const auto& o : net.delivered_to_b)
        if (o.op == WRITE_TO_TUNNEL_IPV4)
            sizes.push_back(o.size);
    EXPECT_EQ(sizes, std::vector<std::size_t>{70}) << "the packet queued before the expiry is gone";
}

TEST_F(timers, a_late_tick_with_a_small_destination_keeps_the_retransmission)
{
    tunnel_pair p;
    force_handshake(p.a);
    test_clock::advance_ms(5000);
    bytes small(100, 0xcc);
    const wireguard_result r = wireguard_tick(p.a, small.data(), 100);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    EXPECT_EQ(r.size, 0u);
    EXPECT_EQ(small, bytes(100, 0xcc));
    EXPECT_EQ(tick(p.a).size, 148u);
}

TEST_F(timers, sessions_are_dropped_after_180_s)
{
    tunnel_pair p;
    wire net(p);
    net.send(true, force_handshake(p.a));
    ASSERT_EQ(net.of(true, 32).size(), 1u);
    net.run_ms(179900);
    EXPECT_EQ(wireguard_stats(p.a).time_since_last_handshake, 179);
    EXPECT_EQ(wireguard_stats(p.b).time_since_last_handshake, 179);
    net.run_ms(100);
    EXPECT_EQ(wireguard_stats(p.a).time_since_last_handshake, -1);
    EXPECT_EQ(wireguard_stats(p.b).time_since_last_handshake, -1);
    net.cut_a_to_b = true;
    EXPECT_EQ(write(p.a, ipv4_packet(40)).size, 148u) << "no session: a new handshake";
}

TEST_F(timers, expired_after_540_s_without_a_session)
{
    tunnel_pair p;
    wire net(p);
    net.run_ms(539900);
    EXPECT_TRUE(net.errors_a.empty());
    EXPECT_TRUE(net.log.empty()) << "an idle tunnel sends nothing";
    net.run_ms(100);
    ASSERT_EQ(net.errors_a.size(), 1u);
    EXPECT_EQ(net.errors_a[0].size, 15u);
    EXPECT_EQ(net.errors_a[0].at_ms, 540000u);
}

TEST_F(timers, initiator_rekeys_120_s_after_sending)
{
    tunnel_pair p;
    wire net(p);
    net.send(true, force_handshake(p.a));
    std::uint64_t n = 0;
    // Both sides send data every second.
    net.run_ms(125000, [&] {
        if (++n % 10 == 0) {
            net.write_from(true, ipv4_packet(100));
            net.write_from(false, ipv4_packet(100));
        }
    });
    const auto a_init = net.of(true, 148);
    ASSERT_EQ(a_init.size(), 2u);
    EXPECT_EQ(a_init[1].at_ms, 120000u);
    EXPECT_TRUE(net.of(false, 148).empty()) << "the responder does not rekey on time";
    for (const auto& o : net.delivered_to_a)
        EXPECT_NE(o.op, WIREGUARD_ERROR) << o.size;
    for (const auto& o : net.delivered_to_b)
        EXPECT_NE(o.op, WIREGUARD_ERROR) << o.size;
    EXPECT_EQ(wireguard_stats(p.a).time_since_last_handshake, 5);
}

TEST_F(timers, initiator_that_only_receives_rekeys_at_165_s)
{
    tunnel_pair p;
    wire net(p);
    net.send(true, force_handshake(p.a));
    std::uint64_t n = 0;
    // Only the responder sends data; the initiator answers with passive keep-alives.
    net.run_ms(170000, [&] {
        if (++n % 10 == 0)
            net.write_from(false, ipv4_packet(100));
    });
    const auto a_init = net.of(true, 148);
    ASSERT_EQ(a_init.size(), 2u);
    EXPECT_EQ(a_init[1].at_ms, 165000u);
    EXPECT_TRUE(net.of(false, 148).empty()) << "the responder is answered by keep-alives";
    // Passive keep-alives from A every 10 s of unanswered data.
    EXPECT_GE(net.of(true, 32).size(), 16u);
}

TEST_F(timers, handshake_when_data_sent_is_not_answered_for_15_s)
{
    tunnel_pair p;
    wire net(p);
    net.send(true, force_handshake(p.a));
    net.run_ms(1000);
    net.cut_b_to_a = true;
    net.write_from(true, ipv4_packet(100));
    const std::uint64_t sent_at = net.elapsed_ms();
    net.run_ms(14900);
    EXPECT_EQ(net.of(true, 148).size(), 1u);
    net.run_ms(100);
    const auto a_init = net.of(true, 148);
    ASSERT_EQ(a_init.size(), 2u);
    EXPECT_EQ(a_init[1].at_ms, sent_at + 15000);
}

TEST_F(timers, passive_keepalive_10_s_after_unanswered_data)
{
    tunnel_pair p;
    wire net(p);
    net.send(true, force_handshake(p.a));
    net.run_ms(1000);
    net.write_from(true, ipv4_packet(100));
    const std::uint64_t sent_at = net.elapsed_ms();
    net.run_ms(9900);
    EXPECT_TRUE(net.of(false, 32).empty());
    net.run_ms(100);
    const auto keepalives = net.of(false, 32);
    ASSERT_EQ(keepalives.size(), 1u);
    EXPECT_EQ(keepalives[0].at_ms, sent_at + 10000);
    ASSERT_FALSE(net.delivered_to_a.empty());
    EXPECT_EQ(net.delivered_to_a.back().op, WIREGUARD_DONE) << "a keep-alive decrypts to nothing";
    net.run_ms(30000);
    EXPECT_EQ(net.of(false, 32).size(), 1u) << "once per unanswered data";
    EXPECT_EQ(wireguard_stats(p.a).rx_bytes, 0u);
}

TEST_F(timers, persistent_keepalive_every_interval)
{
    tunnel_pair p(nullptr, 25, 0);
    wire net(p);
    net.send(true, force_handshake(p.a));
    net.run_ms(80000);
    const auto keepalives = net.of(true, 32);
    // The first answers the handshake response; then 25, 50 and 75 s after creation.
    ASSERT_EQ(keepalives.size(), 4u);
    EXPECT_EQ(keepalives[1].at_ms, 25000u);
    EXPECT_EQ(keepalives[2].at_ms, 50000u);
    EXPECT_EQ(keepalives[3].at_ms, 75000u);
    EXPECT_TRUE(net.of(false, 32).empty());
}

TEST_F(timers, persistent_keepalive_without_a_session_starts_a_handshake)
{
    tunnel_pair p(nullptr, 25, 0);
    wire net(p);
    net.run_ms(24900);
    EXPECT_TRUE(net.log.empty());
    net.run_ms(100);
    ASSERT_EQ(net.of(true, 148).size(), 1u);
    EXPECT_EQ(net.of(true, 148)[0].at_ms, 25000u);
    EXPECT_EQ(wireguard_stats(p.a).time_since_last_handshake, 0);
}
