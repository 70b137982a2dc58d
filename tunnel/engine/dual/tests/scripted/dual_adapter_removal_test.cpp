// The virtual adapter removed under an active tunnel: its driver is unloaded and comes
// back with another adapter.
#include <gtest/gtest.h>

#include "dual_test_support.h"

namespace
{
using namespace dual_test;

class dual_adapter_removal : public dual_host_test
{
protected:
    void notify()
    {
        network().fire_interface_change(physical.guid);
        ASSERT_TRUE(network().wait_for_notifications());
    }
};

TEST_F(dual_adapter_removal, the_tunnel_works_again_with_the_next_adapter_and_its_stop_keeps_no_device_open)
{
    wg_dual_tunnel& t = make();
    start_active(t);
    vdriver().unload();
    notify();
    ASSERT_TRUE(logs().contains(
        "[TUN]: ip_interface_changed_callback: Lorrivan virtual adapter was removed from the system. Tunnel stopped!"))
        << logs().text();

    // The host as the tunnel must leave it: taken before the next adapter arrives, as its
    // arrival alone restarts the tunnel.
    before = {test_support::read_virtual_adapter_state(virtual_adapter),
              simhost::packet_driver::instance().mode(physical.filter_handle), 0};
    simhost::virtnet_options another;
    another.adapter_id = 0x2B;
    virtual_adapter = vdriver().load(another);
    notify();
    ASSERT_TRUE(wait_until([&] { return logs().contains(restart_done); }, 3s)) << logs().text();
    send_response(t);
    ASSERT_TRUE(wait_until([&] { return t.active.load(); })) << logs().text();
    EXPECT_TRUE(vdriver().activated());

    t.stop_dual_tunnel();
    EXPECT_EQ(vdriver().open_device_count(), 0u) << "the stop left the virtual adapter's device open";
}
} // namespace
