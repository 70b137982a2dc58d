// The watchdog and the interface changes: requests in event_word, the restart, the
// inactivity rule on the engine clock, the release of a default adapter that a stopped
// tunnel left filtered, and the notification cases (server unreachable, only the virtual
// adapter left, nothing changed).
#include <gtest/gtest.h>

#include <thread>

#include "dual_test_support.h"

namespace
{
using namespace dual_test;

const std::string inactive_line =
    "[TUN]: watchdog: Tunnel is not active. Last restart was over 5s timeout. Schedule restart attempt! \n";
const std::string mode_line = "[TUN]: watchdog: Tunnel is stopped, but default adapter was not reset! \n";
const std::string unchanged_line = "[TUN]: ip_interface_changed_callback: Default adapter has not changed.";
const std::string change_line =
    "[TUN]: ip_interface_changed_callback: wg_dual_tunnel_event_type::network_config_change! Notify watchdog!";
const std::string only_virtual_line =
    "[TUN]: ip_interface_changed_callback: Only Lorrivan virtual adapter available: WireGuard Server is unreachable.";

class dual_watchdog : public dual_host_test
{
protected:
    void remove_gateway() { ASSERT_TRUE(network().remove_route(physical.guid, "0.0.0.0/0", "192.168.1.1")); }
    void restore_gateway() { network().add_default_gateway(physical.guid, "192.168.1.1", gateway_mac); }
    void notify()
    {
        network().fire_interface_change(physical.guid);
        ASSERT_TRUE(network().wait_for_notifications());
    }
};

TEST(dual_event_word, a_restart_takes_a_rehandshake_request_and_never_an_exit)
{
    wg_dual_tunnel t("k-private", "k-public", std::nullopt, 25, nullptr, 0);
    t.request_rehandshake();
    EXPECT_EQ(t.event_word.load(), event_type::rehandshake);
    t.request_restart();
    EXPECT_EQ(t.event_word.load(), event_type::network_config_change);
    t.request_rehandshake();
    EXPECT_EQ(t.event_word.load(), event_type::network_config_change) << "a re-handshake replaces only nothing";
    t.event_word = event_type::exit;
    t.request_restart();
    t.request_rehandshake();
    EXPECT_EQ(t.event_word.load(), event_type::exit);
    t.event_word = event_type::none;
}

TEST_F(dual_watchdog, two_requests_in_one_pass_make_one_restart_and_a_failed_restart_is_tried_again)
{
    wg_dual_tunnel& t = make();
    ASSERT_EQ(t.start(), run_states::running);
    network().fail_next(simhost::iphelper_function::get_best_interface_ex, ERROR_NETWORK_UNREACHABLE, 1);
    t.request_restart();
    t.request_restart();
    ASSERT_TRUE(wait_until([&] { return logs().contains(restart_done); }, 3s)) << logs().text();
    EXPECT_EQ(t.event_word.load(), event_type::none);
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(logs().count("[TUN]: watchdog: WireGuard tunnel has failed to start!"), 1u);
    EXPECT_EQ(logs().count("[TUN]: internal_restart: WireGuard tunnel has failed to start!"), 1u);
    EXPECT_TRUE(logs().contains("[TUN]: Failed to figure out the route to the server, lasterror: 1231"));
    EXPECT_EQ(logs().count(restart_stopped), 1u);
    EXPECT_EQ(logs().count(restart_started), 1u);
    EXPECT_EQ(t.run_state.load(), run_states::running);
    EXPECT_TRUE(wait_until([&] { return server.count() == 2; })) << "a handshake initiation from each start";
}

TEST_F(dual_watchdog, an_inactive_tunnel_is_restarted_at_most_once_in_five_seconds)
{
    wg_dual_tunnel& t = make();
    ASSERT_EQ(t.start(), run_states::running);
    ASSERT_TRUE(wait_until([&] { return logs().contains(watchdog_started); }));
    std::this_thread::sleep_for(600ms);
    EXPECT_FALSE(logs().contains(inactive_line)) << "the engine clock has not moved";
    // The last request of the process may lie ahead of this test's clock: move on until
    // more than five seconds have passed since it.
    for (int hour = 0; hour < 100 && !logs().contains(inactive_line); ++hour) {
        engine().advance_clock(std::chrono::hours(1));
        wait_until([&] { return logs().contains(inactive_line); }, 700ms);
    }
    ASSERT_EQ(logs().count(inactive_line), 1u);
    ASSERT_TRUE(wait_until([&] { return logs().contains(restart_done); }, 2s)) << logs().text();
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(logs().count(inactive_line), 1u) << "again within five seconds";
    engine().advance_clock(std::chrono::milliseconds(5001));
    ASSERT_TRUE(wait_until([&] { return logs().count(inactive_line) == 2; }, 2s));
    ASSERT_TRUE(wait_until([&] { return logs().count(restart_done) == 2; }, 2s));
    // An active tunnel is never restarted by the rule.
    send_response(t);
    ASSERT_TRUE(wait_until([&] { return t.active.load(); }));
    const auto restarts = logs().count(restart_started);
    engine().advance_clock(std::chrono::hours(1));
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(logs().count(inactive_line), 2u);
    EXPECT_EQ(logs().count(restart_started), restarts);
}

TEST_F(dual_watchdog, a_stopped_tunnel_sends_no_rehandshake_gets_its_default_adapter_released_and_restarts_with_the_route)
{
    wg_dual_tunnel& t = make();
    ASSERT_EQ(t.start(), run_states::running);
    const auto forced = engine().force_handshakes();
    t.request_rehandshake();
    ASSERT_TRUE(wait_until([&] { return t.event_word.load() == event_type::none; }, 2s));
    EXPECT_EQ(engine().force_handshakes(), forced + 1);
    ASSERT_TRUE(wait_until([&] { return server.count() == 2; }));

    remove_gateway();
    notify();
    ASSERT_EQ(t.run_state.load(), run_states::stopped); // its line: dual_life_cycle_test.cpp
    EXPECT_EQ(driver().mode(physical.filter_handle), 0u);
    t.request_rehandshake();
    // Something filters the default adapter again while the tunnel is stopped.
    {
        CRimCap other;
        ASSERT_TRUE(other.set_adapter_mode({physical.filter_handle, 3}));
    }
    ASSERT_TRUE(wait_until([&] { return logs().contains(mode_line); }, 2s));
    EXPECT_EQ(driver().mode(physical.filter_handle), 0u);
    EXPECT_EQ(engine().force_handshakes(), forced + 1) << "no handshake without a running tunnel";
    EXPECT_EQ(t.event_word.load(), event_type::rehandshake) << "the request stays";

    // The route comes back: the notification asks for a restart.
    restore_gateway();
    notify();
    EXPECT_TRUE(logs().contains(change_line));
    EXPECT_EQ(event_count(wireguard::tunnel_event::network_change), 1u);
    ASSERT_TRUE(wait_until([&] { return logs().contains(restart_done); }, 2s)) << logs().text();
    EXPECT_EQ(t.run_state.load(), run_states::running);
    EXPECT_EQ(logs().count(restart_stopped), 0u) << "the tunnel was stopped already";
}

TEST_F(dual_watchdog, an_active_tunnel_stops_when_only_the_virtual_adapter_leads_to_the_server_or_it_is_removed)
{
    wg_dual_tunnel& t = make();
    start_active(t);
    // Nothing has changed on the default adapter: no request.
    notify();
    EXPECT_TRUE(logs().contains(unchanged_line)) << logs().text();
    EXPECT_EQ(t.event_word.load(), event_type::none);

    // Only the virtual adapter's route leads to the server now.
    remove_gateway();
    notify();
    EXPECT_TRUE(logs().contains(only_virtual_line)) << logs().text();
    EXPECT_EQ(t.run_state.load(), run_states::stopped);
    EXPECT_FALSE(t.active.load());
    EXPECT_TRUE(vdriver().activated()) << "the virtual adapter stays for the restart";

    restore_gateway();
    notify();
    ASSERT_TRUE(wait_until([&] { return logs().contains(restart_done); }, 2s)) << logs().text();
    send_response(t);
    ASSERT_TRUE(wait_until([&] { return t.active.load(); }));
    EXPECT_EQ(logs().count(trying_to_activate), 1u) << "the adapter was kept";

    // The interface of the virtual adapter goes down (as when it is removed).
    network().set_oper_status(virtual_adapter.guid, 2);
    notify();
    EXPECT_TRUE(logs().contains(
        "[TUN]: ip_interface_changed_callback: Lorrivan virtual adapter was removed from the system. Tunnel stopped!"))
        << logs().text();
    EXPECT_EQ(t.run_state.load(), run_states::stopped);
    network().set_oper_status(virtual_adapter.guid, 1);
    t.stop_dual_tunnel();
}

// A change before the first response makes the tunnel probe the adapter; the changes
// that the probe's activation and deactivation announce must not make it probe again.
TEST_F(dual_watchdog, a_change_before_the_first_response_does_not_feed_itself_and_the_start_converges)
{
    constexpr DWORD activate = 0x830020C4;
    wg_dual_tunnel& t = make();
    ASSERT_EQ(t.start(), run_states::running);
    network().fire_interface_change(physical.guid);
    ASSERT_TRUE(network().wait_for_notifications(3s)) << "the notifications feed themselves";
    ASSERT_TRUE(wait_until([&] { return logs().contains(restart_done); }, 2s)) << logs().text();
    send_response(t);
    ASSERT_TRUE(wait_until([&] { return t.active.load(); })) << logs().text();
    ASSERT_TRUE(network().wait_for_notifications());
    std::this_thread::sleep_for(700ms); // a pass of the watchdog
    EXPECT_EQ(vdriver().call_count(activate), 3u) << "the adapter was rebuilt";
    EXPECT_EQ(logs().count(restart_started), 1u);
    EXPECT_EQ(event_count(wireguard::tunnel_event::tunnel_active), 1u);
}

// What slot 1 learned about the physical adapter goes with its record: after the default
// adapter changed, an IPv6 SYN outside the tunnel leaves from the new adapter's address.
TEST_F(dual_watchdog, a_new_default_adapter_record_forgets_the_addresses_learned_on_the_last)
{
    using v6 = testpkt::ipv6_address;
    const v6 first_address = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
    const v6 second_address = {0x20, 0x01, 0x0d, 0xb8, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
    const v6 remote = {0x20, 0x01, 0x0d, 0xb8, 0, 0xff, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const v6 tunnel6 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    const auto frame = [](const testpkt::bytes& ip) {
        return testpkt::concat({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x86, 0xDD}, ip);
    };
    network().add_address(physical.guid, "2001:db8:1::10", 64);
    before = state();
    wg_dual_tunnel& t = make();
    t.tunnel_ipv6_address = tunnel6;
    t.ipv6_prefix_length = 64;
    t.allowed_ips = wireguard::parse_prefix_list("10.8.0.0/24, ::/0");
    // Everything goes through the tunnel but TCP over IPv6 (a program kept outside).
    t.set_packet_filter([](_INTERMEDIATE_BUFFER& r) { return r.frame[20] != 6; });
    start_active(t);
    engine().push_write(WRITE_TO_NETWORK, 64);
    driver().inject(physical.filter_handle, rimcap::direction_outgoing,
                    frame(testpkt::ipv6(17, testpkt::udp(5000, 6000, testpkt::pattern(8)), first_address, remote)));
    ASSERT_TRUE(wait_until([&] {
        return logs().contains("[TUN]: Switching local IPv6 address for the " + physical.guid + " to 2001:db8:1::10");
    })) << logs().text();

    // A second adapter takes over the route to the server.
    const simhost::adapter second = add_ethernet("192.168.2.10", 24, "192.168.2.1");
    network().add_address(second.guid, "2001:db8:2::10", 64);
    remove_gateway();
    notify();
    ASSERT_TRUE(wait_until([&] { return logs().contains(restart_done); }, 3s)) << logs().text();
    send_response(t, second);
    ASSERT_TRUE(wait_until([&] { return t.active.load(); })) << logs().text();
    driver().inject(virtual_adapter.filter_handle, rimcap::direction_outgoing,
                    frame(testpkt::ipv6(6, testpkt::tcp(5001, 443, {}, 0x02), tunnel6, remote)));
    const auto source = [&]() -> std::optional<simhost::frame_bytes> {
        for (const auto& d : driver().deliveries())
            if (d.adapter_handle == second.filter_handle && d.frame.size() > 54 && d.frame[20] == 6)
                return simhost::frame_bytes(d.frame.begin() + 22, d.frame.begin() + 38);
        return std::nullopt;
    };
    ASSERT_TRUE(wait_until([&] { return source().has_value(); })) << logs().text();
    EXPECT_EQ(source(), simhost::frame_bytes(second_address.begin(), second_address.end()));
    t.stop_dual_tunnel();
    host().remove_adapter(second.guid);
    restore_gateway();
}

// The virtual adapter's driver gone and back with another adapter, or restarted (its
// adapter back at once with the same LUID): the tunnel works again.
TEST_F(dual_watchdog, after_the_virtual_adapter_s_removal_the_tunnel_works_with_the_next_adapter)
{
    for (const bool same_luid : {false, true}) {
        SCOPED_TRACE(same_luid ? "the driver restarted" : "another adapter");
        wg_dual_tunnel& t = make();
        start_active(t);
        if (same_luid) {
            virtual_adapter = vdriver().reload(); // the host as it was before the start
        } else {
            vdriver().unload();
            notify();
            ASSERT_TRUE(logs().contains("[TUN]: ip_interface_changed_callback: Lorrivan virtual adapter was removed from the system. Tunnel stopped!"));
            // The host as the stop must leave it; the next adapter's arrival alone restarts the tunnel.
            before = {test_support::read_virtual_adapter_state(virtual_adapter),
                      simhost::packet_driver::instance().mode(physical.filter_handle), 0};
            simhost::virtnet_options another;
            another.adapter_id = 0x2B;
            virtual_adapter = vdriver().load(another);
        }
        notify();
        ASSERT_TRUE(wait_until([&] { return logs().contains(restart_done); }, 3s)) << logs().text();
        send_response(t);
        ASSERT_TRUE(wait_until([&] { return t.active.load(); })) << logs().text();
        t.stop_dual_tunnel();
        EXPECT_EQ(vdriver().open_device_count(), 0u) << "the stop left the virtual adapter's device open";
        tunnel.reset();
        EXPECT_EQ(state(), before);
        logs().clear();
    }
}
} // namespace
