// Network change and restart: notifications fired by the simulated host reach the
// tunnel through the registration that the manager's start made. Another adapter
// taking the default route and new addresses restart the tunnel; notifications that
// change nothing do not; losing the route stops it, and the route coming back starts it
// again without a call; two notifications close together restart once; stop waits out
// a callback in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "manager_test_support.h"
#include "netaccess/platform.h"
#include "network_change.h"

namespace
{
using namespace manager_test;
using namespace std::chrono_literals;
using fn = simhost::iphelper_function;

class network_change : public manager_host_test
{
protected:
    void SetUp() override
    {
        manager_host_test::SetUp();
        mgr = std::make_unique<tdl_manager>(&log_lines::callback, 3, false);
    }
    void drop_all() override
    {
        if (mgr)
            mgr->drop_tunnel();
        mgr.reset();
    }

    // A running tunnel whose events the test counts.
    wireguard::wg_tunnel& start()
    {
        EXPECT_TRUE(mgr->create_tunnel(config_record(server_port())));
        wireguard::wg_tunnel& t = *mgr->tunnel;
        t.event_callback = [this](wireguard::wg_tunnel_event e) {
            if (e.type == wireguard::tunnel_event::network_change)
                ++network_changes;
        };
        EXPECT_TRUE(mgr->start_tunnel()) << logs().text();
        EXPECT_EQ(network().registration_count(), 1u);
        logs().clear();
        return t;
    }

    void fire(const std::string& guid)
    {
        network().fire_interface_change(guid);
        ASSERT_TRUE(network().wait_for_notifications());
    }

    std::string default_adapter_name() const
    {
        const auto& a = mgr->tunnel->default_adapter;
        return a ? a->adapter_name : std::string();
    }

    std::unique_ptr<tdl_manager> mgr;
    std::atomic<int> network_changes{0};
};

TEST_F(network_change, another_adapter_taking_the_default_route_restarts_the_tunnel_on_it)
{
    // The first adapter's route gets a worse metric, so that the second one's wins.
    ASSERT_TRUE(network().remove_route(adapter.guid, "0.0.0.0/0", "192.168.1.1"));
    network().add_default_gateway(adapter.guid, "192.168.1.1", gateway_mac, 50);
    before = network().snapshot();
    auto& t = start();
    EXPECT_EQ(default_adapter_name(), adapter.guid);
    EXPECT_NE(driver().mode(adapter.filter_handle), 0u);

    const simhost::adapter second = add_ethernet("192.168.2.20", 24, "192.168.2.1", 0);
    fire(second.guid);
    EXPECT_EQ(network_changes.load(), 1);
    EXPECT_EQ(logs().count(restart_stopped), 1u) << logs().text();
    EXPECT_EQ(logs().count(restart_started), 1u);
    EXPECT_EQ(t.run_state.load(), run_states::running);
    EXPECT_EQ(default_adapter_name(), second.guid);
    EXPECT_EQ(driver().mode(adapter.filter_handle), 0u) << "the old adapter is no longer filtered";
    EXPECT_NE(driver().mode(second.filter_handle), 0u);
    EXPECT_EQ(t.adapter_index, 1u);

    ASSERT_TRUE(mgr->stop_tunnel());
    ASSERT_TRUE(host().remove_adapter(second.guid));
}

TEST_F(network_change, a_new_address_on_the_default_adapter_restarts_the_tunnel)
{
    auto& t = start();
    network().add_address(adapter.guid, "192.168.1.77", 24);
    fire(adapter.guid);
    EXPECT_EQ(network_changes.load(), 1);
    EXPECT_EQ(logs().count(restart_stopped), 1u);
    EXPECT_EQ(logs().count(restart_started), 1u);
    EXPECT_EQ(t.run_state.load(), run_states::running);
    ASSERT_TRUE(t.default_adapter);
    EXPECT_EQ(t.default_adapter->unicast_addresses.size(), 2u);

    // The same addresses in the next notification: nothing.
    fire(adapter.guid);
    EXPECT_EQ(network_changes.load(), 1);
    EXPECT_EQ(logs().count(restart_started), 1u);

    // An address removed: the lists differ again.
    ASSERT_TRUE(network().remove_address(adapter.guid, "192.168.1.77"));
    fire(adapter.guid);
    EXPECT_EQ(network_changes.load(), 2);
    EXPECT_EQ(logs().count(restart_started), 2u);
    mgr->stop_tunnel();
    before = network().snapshot();
}

TEST_F(network_change, an_address_replaced_by_another_restarts_the_tunnel)
{
    auto& t = start();
    ASSERT_TRUE(network().remove_address(adapter.guid, "192.168.1.10"));
    network().add_address(adapter.guid, "192.168.1.11", 24);
    fire(adapter.guid);
    EXPECT_EQ(network_changes.load(), 1);
    EXPECT_EQ(logs().count(restart_started), 1u);
    EXPECT_EQ(t.address_switching.local_ipv4_address, tunnel_test::ipv4(192, 168, 1, 11));
    mgr->stop_tunnel();
    before = network().snapshot();
}

TEST_F(network_change, a_notification_that_changes_nothing_does_not_restart)
{
    auto& t = start();
    const simhost::adapter other = add_ethernet("10.99.0.5", 24, "");
    fire(other.guid);
    fire(adapter.guid);
    EXPECT_EQ(network().notifications_delivered(), 2u);
    EXPECT_EQ(network_changes.load(), 0);
    EXPECT_TRUE(logs().all().empty()) << logs().text();
    EXPECT_EQ(t.run_state.load(), run_states::running);
    mgr->stop_tunnel();
    ASSERT_TRUE(host().remove_adapter(other.guid));
}

TEST_F(network_change, the_tunnels_own_switched_address_is_no_change)
{
    // A link-local IPv4 address only: the start puts the tunnel's address on the adapter
    // after it was detected. Later notifications must not take that for a change.
    ASSERT_TRUE(network().remove_address(adapter.guid, "192.168.1.10"));
    network().add_address(adapter.guid, "169.254.7.7", 16);
    before = network().snapshot();
    auto& t = start();
    ASSERT_TRUE(t.address_switching.ipv4_address);
    fire(adapter.guid);
    fire(adapter.guid);
    EXPECT_EQ(network_changes.load(), 0) << logs().text();
    EXPECT_FALSE(logs().contains(restart_started));
    EXPECT_EQ(t.run_state.load(), run_states::running);
}

TEST_F(network_change, losing_the_route_stops_the_tunnel_and_its_return_starts_it_again)
{
    auto& t = start();
    ASSERT_TRUE(network().remove_route(adapter.guid, "0.0.0.0/0", "192.168.1.1"));
    fire(adapter.guid);
    EXPECT_EQ(logs().count(unreachable), 1u) << logs().text();
    EXPECT_EQ(t.run_state.load(), run_states::stopped);
    EXPECT_FALSE(t.default_adapter.has_value());
    EXPECT_FALSE(mgr->get_tunnel_active());
    EXPECT_EQ(network_changes.load(), 0);
    EXPECT_EQ(network().registration_count(), 1u) << "the registration stays while stopped this way";

    // Still unreachable: a stopped tunnel is left alone, without a second line.
    fire(adapter.guid);
    EXPECT_EQ(logs().count(unreachable), 1u);

    // The route comes back: the first notification counts as a change and starts the
    // tunnel, without any call of the caller.
    network().add_default_gateway(adapter.guid, "192.168.1.1", gateway_mac);
    logs().clear();
    fire(adapter.guid);
    EXPECT_EQ(network_changes.load(), 1);
    EXPECT_EQ(logs().count(restart_started), 1u) << logs().text();
    EXPECT_EQ(logs().count(restart_stopped), 0u) << "the tunnel was stopped already";
    EXPECT_EQ(t.run_state.load(), run_states::running);
    EXPECT_EQ(default_adapter_name(), adapter.guid);
    mgr->stop_tunnel();
    before = network().snapshot();
}

TEST_F(network_change, two_notifications_in_quick_succession_restart_once)
{
    auto& t = start();
    network().add_address(adapter.guid, "192.168.1.77", 24);
    network().fire_interface_change(adapter.guid);
    network().fire_interface_change(adapter.guid, AF_INET6);
    ASSERT_TRUE(network().wait_for_notifications());
    EXPECT_EQ(network().notifications_delivered(), 2u);
    EXPECT_EQ(network_changes.load(), 1);
    EXPECT_EQ(logs().count(restart_started), 1u) << logs().text();
    EXPECT_EQ(t.run_state.load(), run_states::running);
    mgr->stop_tunnel();
    before = network().snapshot();
}

TEST_F(network_change, after_stop_no_notification_reaches_the_tunnel)
{
    auto& t = start();
    ASSERT_TRUE(mgr->stop_tunnel());
    network().add_address(adapter.guid, "192.168.1.77", 24);
    fire(adapter.guid);
    EXPECT_EQ(network().notifications_delivered(), 0u);
    EXPECT_EQ(t.run_state.load(), run_states::stopped);
    before = network().snapshot();
}

TEST_F(network_change, a_restart_that_fails_to_start_leaves_the_tunnel_stopped_until_the_next_change)
{
    auto& t = start();
    // The new default adapter is not bound by the packet filter driver.
    simhost::adapter_spec spec;
    spec.filtered = false;
    const simhost::adapter unbound = host().add_adapter(spec);
    network().add_address(unbound.guid, "192.168.3.30", 24);
    network().add_default_gateway(unbound.guid, "192.168.3.1", gateway_mac, 0);
    ASSERT_TRUE(network().remove_route(adapter.guid, "0.0.0.0/0", "192.168.1.1"));
    fire(unbound.guid);
    EXPECT_EQ(logs().count(restart_stopped), 1u);
    EXPECT_EQ(logs().count(restart_started), 0u);
    EXPECT_EQ(t.run_state.load(), run_states::stopped);

    // The route moves back to the filtered adapter: started again.
    network().add_default_gateway(adapter.guid, "192.168.1.1", gateway_mac);
    ASSERT_TRUE(host().remove_adapter(unbound.guid));
    fire(adapter.guid);
    EXPECT_EQ(logs().count(restart_started), 1u) << logs().text();
    EXPECT_EQ(t.run_state.load(), run_states::running);
    mgr->stop_tunnel();
}

TEST_F(network_change, stop_waits_out_a_callback_in_flight)
{
    auto& t = start();
    // The callback's route query blocks until the test lets it go.
    std::mutex gate_mutex;
    std::condition_variable gate_changed;
    bool entered = false;
    bool released = false;
    network().set_call_hook(fn::get_best_interface_ex, [&](unsigned) {
        std::unique_lock lock(gate_mutex);
        entered = true;
        gate_changed.notify_all();
        gate_changed.wait(lock, [&] { return released; });
    });
    network().fire_interface_change(adapter.guid);
    {
        std::unique_lock lock(gate_mutex);
        ASSERT_TRUE(gate_changed.wait_for(lock, 10s, [&] { return entered; }));
    }
    EXPECT_EQ(t.callbacks_in_flight.load(), 1);

    auto stopped = std::async(std::launch::async, [&] { return mgr->stop_tunnel(); });
    EXPECT_EQ(stopped.wait_for(300ms), std::future_status::timeout) << "stop returned under a running callback";
    {
        std::lock_guard lock(gate_mutex);
        released = true;
        gate_changed.notify_all();
    }
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(stopped.get());
    EXPECT_EQ(t.callbacks_in_flight.load(), 0);
    EXPECT_EQ(t.run_state.load(), run_states::stopped);
    EXPECT_EQ(network().registration_count(), 0u);
    network().set_call_hook(fn::get_best_interface_ex, nullptr);
    ASSERT_TRUE(network().wait_for_notifications());
}

TEST_F(network_change, a_notification_without_context_is_ignored)
{
    auto& t = start();
    // An address that would make any check restart the tunnel.
    network().add_address(adapter.guid, "192.168.1.77", 24);
    network().clear_calls();
    wireguard::wg_tunnel::interface_change_entry(nullptr, nullptr, MibParameterNotification);
    EXPECT_TRUE(network().calls().empty()) << "the default interface was looked up";
    EXPECT_TRUE(logs().all().empty()) << logs().text();
    EXPECT_EQ(network_changes.load(), 0);
    EXPECT_EQ(t.callbacks_in_flight.load(), 0);
    EXPECT_EQ(t.restarts_in_flight(), 0);
    EXPECT_EQ(t.run_state.load(), run_states::running);
    mgr->stop_tunnel();
    ASSERT_TRUE(network().remove_address(adapter.guid, "192.168.1.77"));
}

// The registration is cancelled at once (as when the cancellation fails or does not
// wait); the callback still runs, and neither stop nor drop may return under it.
TEST_F(network_change, stop_and_drop_wait_for_a_callback_that_the_cancellation_left_running)
{
    for (const bool drop : {false, true}) {
        SCOPED_TRACE(drop ? "drop" : "stop");
        auto& t = start();
        network().hold_callback_in(fn::get_best_interface_ex);
        network().fire_interface_change(adapter.guid);
        ASSERT_TRUE(network().wait_for_held_callback());
        EXPECT_EQ(t.callbacks_in_flight.load(), 1);

        auto done = std::async(std::launch::async, [&] { return drop ? mgr->drop_tunnel() : mgr->stop_tunnel(); });
        EXPECT_TRUE(wait_until([&] { return network().registration_count() == 0; })) << "cancelled";
        EXPECT_EQ(done.wait_for(300ms), std::future_status::timeout) << "returned under a running callback";
        EXPECT_EQ(engine().live_tunnels(), 1u) << "the tunnel was freed under a running callback";
        network().release_held_callback();
        ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
        EXPECT_TRUE(done.get());
        ASSERT_TRUE(network().wait_for_notifications());
        if (!drop) {
            EXPECT_EQ(t.callbacks_in_flight.load(), 0);
            EXPECT_EQ(t.run_state.load(), run_states::stopped);
            ASSERT_TRUE(mgr->drop_tunnel());
        }
        EXPECT_EQ(engine().live_tunnels(), 0u);
    }
}

struct refused_cancel_case {
    const char* name;
    unsigned refusals; // CancelMibChangeNotify2 refused this many times in a row
    bool line;         // stop logs the failure
    std::size_t registrations_after_stop;
    std::size_t registrations_after_drop;
};

// A refused cancellation is tried again at once, then at the drop; a registration that
// outlives the tunnel reaches nothing.
TEST_F(network_change, a_refused_cancellation_is_tried_again_and_a_late_notification_finds_no_tunnel)
{
    const std::vector<refused_cancel_case> cases{
        {"refused_once", 1, false, 0, 0},
        {"refused_throughout_the_stop", 3, true, 1, 0},
        {"refused_for_good", 1000, true, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto& t = start();
        const HANDLE handle = t.notification_handle;
        network().fail_next(fn::cancel_mib_change_notify2, ERROR_ACCESS_DENIED, c.refusals);
        ASSERT_TRUE(mgr->stop_tunnel());
        EXPECT_EQ(logs().contains(cancel_failed), c.line);
        EXPECT_EQ(network().registration_count(), c.registrations_after_stop);
        EXPECT_EQ(t.notification_handle != nullptr, c.registrations_after_stop != 0) << "kept to be tried again";
        ASSERT_TRUE(mgr->drop_tunnel());
        EXPECT_EQ(network().registration_count(), c.registrations_after_drop);

        // The route goes: a notification that reached the tunnel would log "unreachable".
        logs().clear();
        ASSERT_TRUE(network().remove_route(adapter.guid, "0.0.0.0/0", "192.168.1.1"));
        const std::uint64_t delivered = network().notifications_delivered();
        fire(adapter.guid);
        EXPECT_EQ(network().notifications_delivered() - delivered, c.registrations_after_drop);
        EXPECT_TRUE(logs().all().empty()) << logs().text();
        network().add_default_gateway(adapter.guid, "192.168.1.1", gateway_mac);
        network().fail_next(fn::cancel_mib_change_notify2, NO_ERROR, 0);
        if (c.registrations_after_drop != 0) {
            EXPECT_EQ(netaccess::platform::cancel_mib_change_notify2(handle), static_cast<DWORD>(NO_ERROR));
        }
    }
    before = network().snapshot();
}

// ---- the address comparison ----------------------------------------------------------------------

SOCKADDR_STORAGE address(const std::string& text)
{
    const SOCKADDR_INET parsed = simhost::parse_ip(text);
    SOCKADDR_STORAGE s{};
    std::memcpy(&s, &parsed, sizeof(parsed));
    return s;
}

struct compare_case {
    const char* name;
    std::vector<std::string> stored;
    std::vector<std::string> found;
    bool same;
};

const compare_case compare_cases[] = {
    {"identical", {"192.168.1.10", "fe80::1"}, {"192.168.1.10", "fe80::1"}, true},
    {"other_order", {"192.168.1.10", "fe80::1"}, {"fe80::1", "192.168.1.10"}, true},
    {"one_more", {"192.168.1.10"}, {"192.168.1.10", "192.168.1.11"}, false},
    {"one_less", {"192.168.1.10", "192.168.1.11"}, {"192.168.1.10"}, false},
    {"replaced", {"192.168.1.10"}, {"192.168.1.11"}, false},
    {"ipv6_replaced", {"2001:db8::5"}, {"2001:db8::6"}, false},
    {"same_bytes_other_family", {"192.168.1.10"}, {"c0a8:10a::"}, false},
    {"both_empty", {}, {}, true},
    {"own_ipv4_added", {"169.254.7.7"}, {"169.254.7.7", "10.8.0.2"}, true},
    {"own_ipv6_added", {"fe80::1"}, {"fe80::1", "fd00::2"}, true},
    {"own_address_and_another_added", {"169.254.7.7"}, {"169.254.7.7", "10.8.0.2", "10.8.0.3"}, false},
};

class address_comparison : public ::testing::TestWithParam<compare_case>
{
};

TEST_P(address_comparison, tells_whether_the_adapter_kept_its_addresses)
{
    std::vector<SOCKADDR_STORAGE> stored;
    std::vector<SOCKADDR_STORAGE> found;
    for (const auto& a : GetParam().stored)
        stored.push_back(address(a));
    for (const auto& a : GetParam().found)
        found.push_back(address(a));
    wireguard::own_addresses own;
    own.ipv4 = tunnel_test::ipv4(10, 8, 0, 2);
    own.ipv6 = tunnel_test::ipv6_bytes("fd00::2");
    EXPECT_EQ(wireguard::same_unicast_addresses(stored, found, own), GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(network_change, address_comparison, ::testing::ValuesIn(compare_cases),
                         [](const auto& info) { return std::string(info.param.name); });
} // namespace
