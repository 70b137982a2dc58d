// The dual tunnel's keep-alive thread: the traffic records to the virtual adapter driver,
// the dead-tunnel rule on the engine clock, and each answer of the timer tick.
#include <gtest/gtest.h>

#include <thread>

#include "dual_test_support.h"

namespace
{
using namespace dual_test;

const std::string seems_down = "[TUN]: keep_alive_thread: Tunnel seems to be down. Trying to restart the tunnel! \n";
const std::string exiting = "[TUN]: keep_alive_thread: exiting \n";
const std::string sent_line = "[TUN]: keep_alive_thread: Sending packet to WireGuard Server success \n";

class dual_keep_alive : public dual_host_test
{
};

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

struct dead_case {
    const char* name;
    std::uint64_t sent;
    std::chrono::nanoseconds later;
    bool down;
};

TEST_F(dual_keep_alive, data_sent_without_an_answer_for_more_than_five_seconds_is_a_dead_tunnel)
{
    const dead_case cases[] = {
        {"1000 bytes never count", 1000, std::chrono::seconds(6), false},
        {"1001 bytes, exactly five seconds", 1001, std::chrono::seconds(5), false},
        {"1001 bytes, just over five seconds", 1001, std::chrono::seconds(5) + std::chrono::nanoseconds(1), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logs().clear();
        engine().reset();
        wg_dual_tunnel& t = make();
        start_active(t);
        ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 2)); // a snapshot of no traffic
        engine().set_stats(-1, c.sent, 0);
        engine().advance_clock(c.later);
        if (c.down) {
            ASSERT_TRUE(wait_until([&] { return logs().contains(seems_down); })) << logs().text();
            EXPECT_EQ(event_count(wireguard::tunnel_event::tunnel_down), 1u);
            ASSERT_TRUE(wait_until([&] { return logs().contains(restart_done); }, 2s)) << logs().text();
            EXPECT_GE(logs().count(exiting), 1u);
        } else {
            ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 4));
            EXPECT_FALSE(logs().contains(seems_down));
            EXPECT_TRUE(t.active.load());
        }
        tunnel.reset();
        events.clear();
    }
}

struct tick_case {
    const char* name;
    result_type op;
    std::size_t size;
    const char* line;
    bool restart;  // a restart is requested and the thread ends
    std::size_t datagrams; // sent to the server after the start's initiation (a restart sends one)
};

TEST_F(dual_keep_alive, each_answer_of_the_timer_tick)
{
    const tick_case cases[] = {
        {"a keep-alive", WRITE_TO_NETWORK, 32, "[TUN]: keep_alive_thread: Sending packet to WireGuard Server success \n",
         false, 1},
        {"an initiation", WRITE_TO_NETWORK, 148,
         "[TUN]: keep_alive_thread: Sending packet to WireGuard Server success \n", false, 1},
        {"an error", WIREGUARD_ERROR, 15,
         "[TUN]: keep_alive_thread: Tunnel error detected. Need handshake. Notify watchdog! \n", true, 1},
        {"a packet for the tunnel", WRITE_TO_TUNNEL_IPV4, 40,
         "[TUN]: keep_alive_thread: WRITE_TO_TUNNEL_IPV should never occur here \n", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logs().clear();
        engine().reset();
        wg_dual_tunnel& t = make();
        start_active(t);
        ASSERT_TRUE(wait_until([&] { return server.count() >= 1; }));
        const std::size_t before_tick = server.count();
        engine().push_tick(c.op, c.size);
        ASSERT_TRUE(wait_until([&] { return logs().contains(c.line); })) << logs().text();
        if (c.restart) {
            EXPECT_EQ(event_count(wireguard::tunnel_event::tunnel_down), 1u);
            ASSERT_TRUE(wait_until([&] { return logs().contains(restart_done); }, 2s)) << logs().text();
            EXPECT_GE(logs().count(exiting), 1u);
        } else {
            ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 2));
            EXPECT_EQ(logs().count(exiting), 0u) << "the thread goes on";
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
