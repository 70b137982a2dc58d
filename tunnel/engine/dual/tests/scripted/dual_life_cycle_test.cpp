// The dual tunnel's life cycle on the simulated host: a start, the activation by the
// server's handshake response, a stop and the destruction, with nothing left on the
// host afterwards; starts that fail; the interface-change
// registration across starts and refused cancellations; a stop during a start; a stop
// while an activation is at work.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <thread>

#include "dual_test_support.h"
#include "socks5_test_support.h"

namespace
{
using namespace dual_test;
using simhost::iphelper_function;

const auto winsock = ::testing::AddGlobalTestEnvironment(new socks5_test::winsock_environment);

using dual_life_cycle = dual_host_test;

// What the end-to-end test checks of the active tunnel (the virtual adapter's address,
// DNS server, routes and filter mode, the reply that goes back to the server) is not
// checked again here.
TEST_F(dual_life_cycle, start_activation_stop_and_drop)
{
    wg_dual_tunnel& t = make();
    ASSERT_EQ(t.start(), run_states::running) << logs().text();
    EXPECT_EQ(t.start(), std::nullopt) << "a running tunnel does not start again";
    EXPECT_FALSE(t.active.load());
    EXPECT_EQ(state().network, before.network) << "the probe's adapter object went again at once";
    EXPECT_FALSE(vdriver().activated());
    ASSERT_TRUE(wait_until([&] { return server.count() == 1; })) << "no handshake initiation";
    EXPECT_EQ(server.received().front().size(), 148u);
    for (const std::string& line : std::vector<std::string>{
             "[TUN]: Lorrivan virtual adapter successfully identified \n", "[TUN]: Detected default interface " + physical.guid,
             "[TUN]: start_internal: NDIS filter successfully started for the default network interface! \n",
             "[TUN]: Sent handshake packet to the WireGuard server at 127.0.0.1:" + std::to_string(server.port()),
             "[TUN]: start_internal: Starting keep-alive thread! \n", watchdog_started})
        EXPECT_TRUE(wait_until([&] { return logs().contains(line); }, 2s)) << line;
    EXPECT_EQ(network().registration_count(), 1u);

    // The server's response activates the tunnel; a later one (a rekeying) is answered
    // and finds it active.
    send_response(t);
    ASSERT_TRUE(wait_until([&] { return t.active.load(); })) << logs().text();
    EXPECT_TRUE(vdriver().activated());
    EXPECT_EQ(event_count(wireguard::tunnel_event::tunnel_active), 1u);
    send_response(t);
    ASSERT_TRUE(wait_until([&] { return event_count(wireguard::tunnel_event::handshake_response_accepted) == 2; }));
    ASSERT_TRUE(wait_until([&] { return t.activations_in_flight() == 0; }));
    EXPECT_EQ(logs().count(trying_to_activate), 1u);
    EXPECT_EQ(logs().count(activated), 1u);

    t.stop_dual_tunnel();
    EXPECT_FALSE(t.active.load());
    EXPECT_EQ(t.run_state.load(), run_states::stopped);
    EXPECT_EQ(event_count(wireguard::tunnel_event::tunnel_reset), 1u);
    EXPECT_EQ(state(), before) << "the stop undid everything";
    EXPECT_EQ(network().registration_count(), 0u);
    EXPECT_TRUE(logs().contains("[TUN]: watchdog: exited!"));
    EXPECT_TRUE(logs().contains("[TUN]: keep_alive_thread: exiting \n"));
}

TEST_F(dual_life_cycle, a_start_that_cannot_make_the_virtual_adapter_registers_nothing)
{
    vdriver().unload();
    wg_dual_tunnel& t = make();
    EXPECT_EQ(t.start(), run_states::stopped);
    EXPECT_TRUE(logs().contains("[TUN]: Lorrivan virtual adapter driver is not loaded! lasterror: 2"));
    EXPECT_TRUE(logs().contains("[TUN]: Lorrivan virtual adapter is not available!"));
    EXPECT_EQ(network().call_count(iphelper_function::notify_ip_interface_change), 0u);
    EXPECT_FALSE(logs().contains(watchdog_started));
    tunnel.reset();
    // Never started: the stop's cancellation of a registration that is not there fails.
    EXPECT_TRUE(logs().contains("[TUN]: cancel_notify_ip_interface_change has failed, lasterror: 87")) << logs().text();
    virtual_adapter = vdriver().load();
    before = state();
}

TEST_F(dual_life_cycle, one_registration_and_one_watchdog_whatever_the_starts)
{
    wg_dual_tunnel& t = make();
    // Failed starts (no server address, a handshake that cannot be sent) keep their
    // registration for the next start, and start no watchdog.
    const auto endpoint = t.server_endpoint;
    t.server_endpoint = tunnel_test::ipv4_endpoint(0, 0, 0, 0, 51820);
    EXPECT_EQ(t.start(), run_states::stopped);
    EXPECT_TRUE(logs().contains("[TUN]: start_internal: No endpoint address found!")) << logs().text();
    t.server_endpoint = endpoint;
    engine().set_force_handshake(WRITE_TO_NETWORK, 20000);
    EXPECT_EQ(t.start(), run_states::stopped);
    EXPECT_TRUE(logs().contains("[TUN]: Error sending handshake packet to WireGuard Server, wsalasterror: 10040"))
        << logs().text();
    EXPECT_TRUE(logs().contains("[TUN]: start_internal: force_handshake has failed! \n"));
    EXPECT_EQ(driver().mode(physical.filter_handle), 0u) << "side 1 stopped again";
    EXPECT_FALSE(logs().contains(watchdog_started));
    engine().set_force_handshake(WRITE_TO_NETWORK, 148);
    ASSERT_EQ(t.start(), run_states::running);
    EXPECT_EQ(network().call_count(iphelper_function::notify_ip_interface_change), 1u);

    // The tunnel stops itself (the server is unreachable): the watchdog runs on, and a
    // start keeps both the registration and that watchdog.
    network().remove_route(physical.guid, "0.0.0.0/0", "192.168.1.1");
    network().fire_interface_change(physical.guid);
    ASSERT_TRUE(network().wait_for_notifications());
    ASSERT_EQ(t.run_state.load(), run_states::stopped);
    EXPECT_EQ(logs().count_starting("[TUN]: ip_interface_changed_callback: No routable interfaces available: WireGuard "
                                    "Server is unreachable, lasterror: "),
              1u)
        << logs().text();
    network().add_default_gateway(physical.guid, "192.168.1.1", gateway_mac);
    ASSERT_EQ(t.start(), run_states::running);
    EXPECT_EQ(network().call_count(iphelper_function::notify_ip_interface_change), 1u);
    EXPECT_EQ(logs().count(watchdog_started), 1u);

    // Stopped for good and started again through a SOCKS5 proxy: a new registration and
    // a new watchdog and handshake, neither of which ends at the exit request left.
    t.stop_dual_tunnel();
    EXPECT_EQ(network().registration_count(), 0u);
    EXPECT_EQ(t.event_word.load(), event_type::none) << "the watchdog took its exit request";
    socks5_test::scripted_proxy proxy({socks5_test::step::recv(4), socks5_test::step::reply({5, 0}), socks5_test::step::recv(10),
                                       socks5_test::step::reply({5, 0, 0, 1, 127, 0, 0, 1, 0x9C, 0x40})});
    t.socks5_proxy_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, proxy.port());
    t.event_word = event_type::exit; // as a stop leaves it when no watchdog ran
    ASSERT_EQ(t.start(), run_states::running) << logs().text();
    EXPECT_FALSE(logs().contains("[TUN]: error connecting SOCKS5 proxy \n"));
    EXPECT_EQ(network().registration_count(), 1u);
    ASSERT_TRUE(wait_until([&] { return logs().count(watchdog_started) == 2; }));
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(logs().count("[TUN]: watchdog: exited!"), 1u) << "the stale exit request was cleared";
    tunnel.reset();
    EXPECT_EQ(logs().count("[TUN]: watchdog: exited!"), 2u);
}

// A stop while a start registers: once both have returned, nothing of the start runs.
TEST_F(dual_life_cycle, a_stop_during_a_start_leaves_nothing_running)
{
    wg_dual_tunnel& t = make();
    std::future<void> stopped;
    network().set_call_hook(iphelper_function::notify_ip_interface_change, [&](unsigned) {
        stopped = std::async(std::launch::async, [&] { t.stop_dual_tunnel(); });
        std::this_thread::sleep_for(200ms); // the stop goes as far as it can
    });
    t.start();
    network().set_call_hook(iphelper_function::notify_ip_interface_change, {});
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(t.run_state.load(), run_states::stopped);
    EXPECT_FALSE(t.watchdog_thread.joinable()) << "a watchdog outlived the stop";
    EXPECT_EQ(network().registration_count(), 0u);
}

TEST_F(dual_life_cycle, a_refused_cancellation_keeps_the_registration_until_the_drop)
{
    wg_dual_tunnel& t = make();
    ASSERT_EQ(t.start(), run_states::running);
    network().fail_next(iphelper_function::cancel_mib_change_notify2, ERROR_ACCESS_DENIED, 3);
    t.stop_dual_tunnel();
    EXPECT_TRUE(logs().contains("[TUN]: cancel_notify_ip_interface_change has failed, lasterror: 5"));
    EXPECT_NE(t.notification_handle, nullptr);
    EXPECT_EQ(network().registration_count(), 1u);
    // A notification now finds the tunnel stopped for good and changes nothing.
    network().fire_interface_change(physical.guid);
    ASSERT_TRUE(network().wait_for_notifications());
    EXPECT_EQ(t.event_word.load(), event_type::none);

    // The next start keeps the handle; the drop cancels it.
    ASSERT_EQ(t.start(), run_states::running);
    EXPECT_EQ(network().call_count(iphelper_function::notify_ip_interface_change), 1u);
    network().fail_next(iphelper_function::cancel_mib_change_notify2, ERROR_ACCESS_DENIED, 2);
    tunnel.reset();
    EXPECT_EQ(network().registration_count(), 0u);
}

TEST_F(dual_life_cycle, a_stop_waits_for_the_activation_at_work_and_leaves_nothing_of_it)
{
    wg_dual_tunnel& t = make();
    ASSERT_EQ(t.start(), run_states::running);

    // The activation is held inside its first route creation.
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    network().set_call_hook(iphelper_function::create_ip_forward_entry2, [&](unsigned) {
        std::unique_lock lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
    });
    send_response(t);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return entered; }));
    }
    EXPECT_EQ(t.activations_in_flight(), 1);

    auto stopped = std::async(std::launch::async, [&] { t.stop_dual_tunnel(); });
    EXPECT_EQ(stopped.wait_for(300ms), std::future_status::timeout) << "the stop did not wait for the activation";
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    network().set_call_hook(iphelper_function::create_ip_forward_entry2, {});
    EXPECT_FALSE(t.active.load()) << "an activation finished after the stop";
    EXPECT_EQ(t.activations_in_flight(), 0);
    EXPECT_EQ(state(), before);
}
} // namespace
