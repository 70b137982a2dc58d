// Default interface detection of the single-adapter tunnel on the simulated host: the
// best interface among several, WAN adapters matched by their links, no route, no
// matching filter adapter, the adapter list refresh, local addresses and the MTU rule.
#include <gtest/gtest.h>

#include "support/real_tunnel.h"

namespace
{
using tunnel_test::log_lines;
using fn = simhost::iphelper_function;

class default_interface : public tunnel_test::real_tunnel_test
{
protected:
    void SetUp() override
    {
        tunnel_host_test::SetUp(); // no adapter of the fixture: each test builds its own
        before = network().snapshot();
    }
    void TearDown() override
    {
        if (tunnel) {
            tunnel->remove_address_switching(wireguard::family_ipv4);
            tunnel->remove_address_switching(wireguard::family_ipv6);
        }
        real_tunnel_test::TearDown();
    }

    std::size_t filter_position(const simhost::adapter& a) const
    {
        const auto& adapters = tunnel->filter->adapters();
        for (std::size_t i = 0; i < adapters.size(); ++i)
            if (adapters[i]->handle() == a.filter_handle)
                return i;
        return adapters.size();
    }

    simhost::network_snapshot before;
};

TEST_F(default_interface, the_adapter_of_the_best_route_among_several)
{
    const auto a = add_ethernet("192.168.1.10", 24, "192.168.1.1", 20);
    const auto b = add_ethernet("10.0.0.5", 24, "10.0.0.1", 5);
    const auto c = add_ethernet("172.16.0.9", 16, "172.16.0.1", 10);
    auto& t = make_tunnel();
    before = network().snapshot();
    ASSERT_TRUE(t.update_default_interface()) << log_lines::instance().text();
    ASSERT_TRUE(t.default_adapter.has_value());
    EXPECT_EQ(t.default_adapter->adapter_name, b.guid);
    EXPECT_EQ(t.adapter_index, filter_position(b));
    EXPECT_EQ(t.mtu, 1420);
    EXPECT_EQ(t.address_switching.local_ipv4_address, tunnel_test::ipv4(10, 0, 0, 5));
    EXPECT_EQ(log_lines::instance().all(),
              (std::vector<std::string>{"[TUN]: Detected default interface " + b.guid,
                                        "[TUN]: Using local IPv4 = 10.0.0.5 for the " + b.guid,
                                        "[TUN]: Local IPv6 address for the " + b.guid + " not available"}));
    EXPECT_EQ(network().snapshot(), before) << "usable addresses: no switching";
    (void)a;
    (void)c;

    // A more specific route to the server moves the default interface.
    network().add_route(c.guid, "127.0.0.0/8", "172.16.0.1");
    ASSERT_TRUE(t.update_default_interface());
    EXPECT_EQ(t.default_adapter->adapter_name, c.guid);
    EXPECT_EQ(t.adapter_index, filter_position(c));
}

TEST_F(default_interface, an_ipv6_server_uses_the_ipv6_interface_index)
{
    const auto a = add_ethernet("192.168.1.10", 24, "192.168.1.1");
    network().add_address(a.guid, "2001:db8::10", 64);
    network().add_route(a.guid, "::/0", "2001:db8::1");
    auto& t = make_tunnel();
    t.server_endpoint.family = wireguard::family_ipv6;
    t.server_endpoint.address = tunnel_test::ipv6_bytes("2001:db8:99::1");
    ASSERT_TRUE(t.update_default_interface()) << log_lines::instance().text();
    EXPECT_EQ(t.default_adapter->adapter_name, a.guid);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: Using local IPv6 = 2001:db8::10 for the " + a.guid));
}

TEST_F(default_interface, no_route_to_the_server)
{
    add_ethernet("192.168.1.10", 24, "");
    auto& t = make_tunnel();
    before = network().snapshot();
    EXPECT_FALSE(t.update_default_interface());
    EXPECT_FALSE(t.default_adapter.has_value());
    EXPECT_EQ(log_lines::instance().all(),
              std::vector<std::string>{"[TUN]: Failed to figure out the route to the VPN server \n"});
    EXPECT_EQ(network().snapshot(), before);

    // And when IP Helper refuses the question.
    add_ethernet("10.0.0.5", 24, "10.0.0.1");
    network().fail_next(fn::get_best_interface_ex, ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(t.update_default_interface());
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    network().fail_next(fn::get_adapters_addresses, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(t.update_default_interface()) << "no adapter list: no record for the index";
}

TEST_F(default_interface, an_adapter_that_the_filter_does_not_list)
{
    simhost::adapter_spec spec;
    spec.filtered = false;
    const auto a = host().add_adapter(spec);
    network().add_address(a.guid, "192.168.1.10", 24);
    network().add_default_gateway(a.guid, "192.168.1.1", gateway_mac);
    add_ethernet("10.9.9.9", 24, ""); // listed by the filter, but no route
    for (std::int32_t level : {1, 2}) {
        log_lines::instance().clear();
        auto& t = make_tunnel(level);
        EXPECT_FALSE(t.update_default_interface());
        EXPECT_EQ(log_lines::instance().contains("[TUN]: Failed to find a matching Norvask interface for the " +
                                                 a.guid),
                  level >= 2);
        tunnel.reset();
    }
}

TEST_F(default_interface, a_wan_adapter_is_matched_by_its_links)
{
    add_ethernet("192.168.1.10", 24, "");
    simhost::adapter_spec spec;
    spec.driver_name = simhost::ndiswan_ip_name;
    spec.ip.if_type = 23;
    spec.mtu = 1400;
    const auto wan = host().add_adapter(spec);
    network().add_address(wan.guid, "10.64.0.7", 32);
    network().add_route(wan.guid, "0.0.0.0/0");
    simhost::ras_link other;
    other.set_ipv4_address({10, 64, 0, 99});
    simhost::ras_link ours;
    ours.set_ipv4_address({10, 64, 0, 7});
    driver().set_wan_links(wan.filter_handle, {other, ours});

    auto& t = make_tunnel();
    ASSERT_TRUE(t.update_default_interface()) << log_lines::instance().text();
    EXPECT_EQ(t.default_adapter->adapter_name, wan.guid);
    EXPECT_EQ(t.default_adapter->if_type, 23u);
    EXPECT_EQ(t.adapter_index, filter_position(wan));
    EXPECT_EQ(t.mtu, 1320) << "1400 - 80";

    // Links of other addresses do not match; the GUID is never looked for in the name.
    driver().set_wan_links(wan.filter_handle, {other});
    EXPECT_FALSE(t.update_default_interface());
    host().rename_adapter(wan.guid, "\\DEVICE\\" + wan.guid);
    EXPECT_FALSE(t.update_default_interface()) << "a type 23 interface is matched by links only";
}

TEST_F(default_interface, the_filter_list_is_refreshed_and_every_mode_reset)
{
    add_ethernet("192.168.1.10", 24, "192.168.1.1", 50);
    auto& t = make_tunnel();
    const auto late = add_ethernet("10.0.0.5", 24, "10.0.0.1", 1); // after the filter was made
    ASSERT_TRUE(t.update_default_interface());
    EXPECT_EQ(t.default_adapter->adapter_name, late.guid);
    EXPECT_EQ(t.filter->adapters().size(), 2u);
    EXPECT_EQ(t.adapter_index, filter_position(late));
    for (const auto& a : host().adapters())
        EXPECT_EQ(driver().mode(a.filter_handle), 0u);
    EXPECT_EQ(driver().call_count(rimcap::ioctl::set_adapter_mode), 2u);

    // While the filter runs, the list stays as it is.
    ASSERT_TRUE(t.filter->start_filter(t.adapter_index));
    log_lines::instance().clear();
    add_ethernet("10.1.0.5", 24, "", 1);
    t.update_default_interface();
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: Failed to update Norvask network interfaces \n"));
    EXPECT_EQ(t.filter->adapters().size(), 2u);
    t.filter->filter_state = rimcap::queued_packet_filter::state_stopping;
    t.filter->stop_filter();
    t.filter->filter_state = rimcap::queued_packet_filter::state_idle;
}

TEST_F(default_interface, the_mtu_rule)
{
    simhost::adapter_spec spec;
    spec.mtu = 1400;
    const auto a = host().add_adapter(spec);
    network().add_address(a.guid, "192.168.1.10", 24);
    network().add_default_gateway(a.guid, "192.168.1.1", gateway_mac);
    auto& t = make_tunnel();
    ASSERT_TRUE(t.update_default_interface());
    EXPECT_EQ(t.mtu, 1320);
    t.mtu = 1280;
    t.mtu_configured = true;
    ASSERT_TRUE(t.update_default_interface());
    EXPECT_EQ(t.mtu, 1280) << "a configured MTU stays";
}

TEST_F(default_interface, local_addresses_and_switching_through_the_tunnel)
{
    const auto a = add_ethernet("169.254.9.9", 16, "192.168.1.1");
    network().add_address(a.guid, "fe80::9", 64);
    auto& t = make_tunnel();
    t.address_switching.tunnel_ipv6_address = tunnel_test::ipv6_bytes("fd00::2");
    t.address_switching.ipv6_prefix_length = 64;
    ASSERT_TRUE(t.update_default_interface());
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: Using local IPv4 = 169.254.9.9 for the " + a.guid));
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: Using local IPv6 = fe80::9 for the " + a.guid));
    EXPECT_TRUE(t.address_switching.ipv4_address && t.address_switching.ipv6_address);
    const auto during = network().snapshot();
    EXPECT_EQ(during.addresses.size(), before.addresses.size() + 4) << "169.254.9.9, fe80::9 and the two of the tunnel";

    // A second detection replaces the rows rather than adding to them.
    ASSERT_TRUE(t.update_default_interface());
    EXPECT_EQ(network().snapshot(), during);
    t.remove_address_switching(wireguard::family_ipv4);
    t.remove_address_switching(wireguard::family_ipv6);
    EXPECT_EQ(network().snapshot().addresses.size(), before.addresses.size() + 2);
}
} // namespace
