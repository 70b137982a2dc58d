// The adapters that a dual tunnel works on: the virtual adapter found by its name, the
// default interface toward the server and its filter adapter (by name, or by the WAN
// links of a PPP interface), and the tunnel MTU taken from the interface's MTU.
#include <gtest/gtest.h>

#include "dual_test_support.h"

namespace
{
using namespace dual_test;

const std::string no_virtual_handle = "[TUN]: Failed to find NDIS handle for the virtnet adapter \n";

class dual_interfaces : public dual_host_test
{
protected:
    // The physical adapter replaced by one of that spec, with an address and a gateway.
    void replace_physical(simhost::adapter_spec spec, const std::string& address = "192.168.1.10")
    {
        host().remove_adapter(physical.guid);
        physical = host().add_adapter(std::move(spec));
        network().add_address(physical.guid, address, 24);
        network().add_default_gateway(physical.guid, "192.168.1.1", gateway_mac);
        before = state();
    }
};

TEST_F(dual_interfaces, without_the_virtual_adapters_name_no_adapter_matches)
{
    // The name is empty until an adapter object was made: an empty name is found in
    // every internal name, and must match none.
    wg_dual_tunnel& t = make();
    EXPECT_FALSE(t.update_network_interfaces());
    EXPECT_TRUE(logs().contains(no_virtual_handle));
    EXPECT_EQ(t.virtual_adapter_handle.load(), 0u);

    ASSERT_TRUE(t.recreate_virtual_adapter());
    EXPECT_EQ(std::string(t.virtnet_name.data()), virtual_adapter.guid);
    ASSERT_TRUE(t.update_network_interfaces()) << logs().text();
    EXPECT_EQ(t.virtual_adapter_handle.load(), virtual_adapter.filter_handle);
    EXPECT_EQ(t.default_adapter_handle.load(), physical.filter_handle);
    ASSERT_TRUE(t.default_adapter);
    EXPECT_EQ(t.default_adapter->adapter_name, physical.guid);
    EXPECT_EQ(t.default_view.load()->adapter_name, physical.guid);
}

struct mtu_case {
    const char* name;
    std::uint16_t adapter_mtu;
    bool configured;
    std::uint16_t expected;
};

TEST_F(dual_interfaces, the_tunnel_mtu_is_the_interfaces_less_204)
{
    const mtu_case cases[] = {
        {"1500 gives 1296", 1500, false, 1296},
        {"205 gives 1", 205, false, 1},
        {"204 would wrap: the MTU stays", 204, false, 1420},
        {"68 would wrap: the MTU stays", 68, false, 1420},
        {"a configured MTU stays", 1500, true, 1380},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        simhost::adapter_spec spec;
        spec.mtu = c.adapter_mtu;
        replace_physical(spec);
        wg_dual_tunnel& t = make();
        if (c.configured) {
            t.mtu = 1380;
            t.mtu_configured = true;
        }
        ASSERT_TRUE(t.recreate_virtual_adapter());
        ASSERT_TRUE(t.update_network_interfaces()) << logs().text();
        EXPECT_EQ(t.mtu, c.expected);
        EXPECT_EQ(t.default_view.load()->mtu, c.adapter_mtu);
        tunnel.reset();
        EXPECT_EQ(state(), before);
    }
}

TEST_F(dual_interfaces, a_ppp_interface_is_matched_by_its_wan_links)
{
    simhost::adapter_spec spec;
    spec.driver_name = simhost::ndiswan_ip_name;
    spec.ip.if_type = 23;
    replace_physical(spec, "10.64.0.7");
    simhost::ras_link other;
    other.set_ipv4_address({10, 64, 0, 99});
    simhost::ras_link ours;
    ours.set_ipv4_address({10, 64, 0, 7});
    driver().set_wan_links(physical.filter_handle, {other, ours});

    wg_dual_tunnel& t = make();
    ASSERT_TRUE(t.recreate_virtual_adapter());
    ASSERT_TRUE(t.update_network_interfaces()) << logs().text();
    EXPECT_EQ(t.default_adapter_handle.load(), physical.filter_handle);

    driver().set_wan_links(physical.filter_handle, {other});
    EXPECT_FALSE(t.update_network_interfaces());
    EXPECT_TRUE(logs().contains("[TUN]: Failed to find a matching Norvask interface for the " + physical.guid));
    host().rename_adapter(physical.guid, "\\DEVICE\\" + physical.guid);
    EXPECT_FALSE(t.update_network_interfaces()) << "a PPP interface is matched by its links only";
}
} // namespace
