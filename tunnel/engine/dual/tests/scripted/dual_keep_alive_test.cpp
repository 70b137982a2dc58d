// The dual tunnel's keep-alive thread: the traffic records to the virtual adapter driver,
// each answer of the timer tick, the dead-tunnel rule on the engine clock (its bounds
// are the single tunnel's tests'), and a send that fails.
#include <gtest/gtest.h>

#include <functional>

#include "dual_test_support.h"

namespace
{
using namespace dual_test;

const std::string seems_down = "[TUN]: keep_alive_thread: Tunnel seems to be down. Trying to restart the tunnel! \n";
const std::string exiting = "[TUN]: keep_alive_thread: exiting \n";
const std::string sent_line = "[TUN]: keep_alive_thread: Sending packet to WireGuard Server success \n";

using dual_keep_alive = dual_host_test;

TEST_F(dual_keep_alive, traffic_reaches_the_virtual_adapter_driver_once_the_adapter_exists)
{
    wg_dual_tunnel& t = make();
    ASSERT_EQ(t.start(), run_states::running);
    t.counters.received_bytes += 1000;
    t.counters.received_packets += 2;
    t.counters.sent_bytes += 3000;
    t.counters.sent_packets += 4;
    ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 3));
    EXPECT_TRUE(vdriver().statistics().empty()) << "no adapter yet";
    EXPECT_EQ(t.counters.sent_packets.load(), 4u) << "the counters wait for the adapter";

    send_response(t);
    ASSERT_TRUE(wait_until([&] { return !vdriver().statistics().empty(); }));
    const simhost::virtnet_statistics_record expected{0x2A, 1000, 2, 3000, 4};
    EXPECT_EQ(vdriver().statistics(), std::vector<simhost::virtnet_statistics_record>{expected});
    EXPECT_EQ(t.counters.received_bytes.load() + t.counters.sent_bytes.load(), 0u);

    // Nothing moved: nothing is reported.
    ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 3));
    EXPECT_EQ(vdriver().statistics().size(), 1u);
}

struct tick_case {
    const char* name;
    std::function<void()> act; // on an active tunnel whose thread took a snapshot
    std::string line;          // "": the tunnel goes on without a line
    bool restart;              // a restart is requested and the thread ends
    std::size_t datagrams;     // sent to the server after the start's initiation (a restart sends one)
    bool before_start = false; // act before the start instead (the thread's first look sees it)
};

TEST_F(dual_keep_alive, each_answer_of_the_timer_tick_and_the_dead_tunnel_rule)
{
    const auto tick = [](result_type op, std::size_t size) { return [=] { engine().push_tick(op, size); }; };
    const auto sent_unanswered = [](std::uint64_t bytes, std::chrono::nanoseconds later) {
        return [=] {
            engine().set_stats(-1, bytes, 0);
            engine().advance_clock(later);
        };
    };
    const tick_case cases[] = {
        {"a keep-alive", tick(WRITE_TO_NETWORK, 32), sent_line, false, 1},
        {"an initiation", tick(WRITE_TO_NETWORK, 148), sent_line, false, 1},
        {"an error", tick(WIREGUARD_ERROR, 15),
         "[TUN]: keep_alive_thread: Tunnel error detected. Need handshake. Notify watchdog! \n", true, 1},
        {"a packet for the tunnel", tick(WRITE_TO_TUNNEL_IPV4, 40),
         "[TUN]: keep_alive_thread: WRITE_TO_TUNNEL_IPV should never occur here \n", false, 0},
        {"1001 bytes unanswered for just over five seconds", sent_unanswered(1001, 5s + std::chrono::nanoseconds(1)),
         seems_down, true, 1},
        {"1001 bytes unanswered for exactly five seconds", sent_unanswered(1001, 5s), "", false, 0},
        {"5000 bytes sent before the thread's first look", sent_unanswered(5000, 0s), "", false, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logs().clear();
        engine().reset();
        wg_dual_tunnel& t = make();
        if (c.before_start)
            c.act();
        start_active(t);
        ASSERT_TRUE(wait_until([&] { return server.count() >= 1; }));
        ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 2)); // a snapshot of no traffic
        const std::size_t before_tick = server.count();
        if (!c.before_start)
            c.act();
        if (!c.line.empty()) {
            ASSERT_TRUE(wait_until([&] { return logs().contains(c.line); })) << logs().text();
        }
        if (c.restart) {
            EXPECT_EQ(event_count(wireguard::tunnel_event::tunnel_down), 1u);
            ASSERT_TRUE(wait_until([&] { return logs().contains(restart_done); }, 2s)) << logs().text();
            EXPECT_GE(logs().count(exiting), 1u);
        } else {
            ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 3));
            EXPECT_EQ(logs().count(exiting), 0u) << "the thread goes on";
            EXPECT_FALSE(logs().contains(seems_down));
            EXPECT_TRUE(t.active.load());
        }
        EXPECT_TRUE(wait_until([&] { return server.count() == before_tick + c.datagrams; }));
        tunnel.reset();
        events.clear();
    }
}

TEST_F(dual_keep_alive, a_send_that_fails_asks_the_watchdog_for_a_restart)
{
    tunnel_test::udp_sink closed;
    const std::uint16_t closed_port = closed.port();
    closed.close();
    wg_dual_tunnel& t = make();
    t.server_endpoint.port = closed_port;
    ASSERT_EQ(t.start(), run_states::running);
    const std::string failed = "[TUN]: keep_alive_thread: Error sending packet to WireGuard Server. Notify watchdog! "
                               "wsalasterror: ";
    // The forced handshake went to a closed port; the port-unreachable answer makes a
    // later send on the connected socket fail.
    for (int i = 0; i < 20 && logs().count_starting(failed) == 0; ++i) {
        engine().push_tick(WRITE_TO_NETWORK, 32);
        ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 1));
    }
    ASSERT_TRUE(wait_until([&] { return logs().count_starting(failed) != 0; })) << logs().text();
    ASSERT_TRUE(wait_until([&] { return logs().contains(restart_done); }, 2s)) << logs().text();
}
} // namespace
