// The route check of an interface against the simulated host's routes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "adapter_info.h"
#include "route_checks.h"
#include "test_support.h"

namespace
{
using simhost::iphelper_function;
using test_support::add_ip_adapter;

using route_checks_test = test_support::simulated_host_test;

IN_ADDR ipv4(const char* text)
{
    return simhost::parse_ip(text).Ipv4.sin_addr;
}

IN6_ADDR ipv6(const char* text)
{
    return simhost::parse_ip(text).Ipv6.sin6_addr;
}

struct host_routes {
    simhost::adapter with_default;
    simhost::adapter with_prefix;
    simhost::adapter without_route;
    simhost::adapter down;
};

// Four interfaces: one holds the default routes, one only 10.0.0.0/8 and 2001:db8:a::/48,
// one no route, and one holds default routes but is down.
host_routes make_host()
{
    auto& network = simhost::host_network::instance();
    host_routes h;
    h.with_default = add_ip_adapter(1);
    network.add_address(h.with_default.guid, "192.168.1.20", 24);
    network.add_address(h.with_default.guid, "2001:db8:1::20", 64);
    network.add_default_gateway(h.with_default.guid, "192.168.1.1", {0, 1, 2, 3, 4, 5});
    network.add_default_gateway(h.with_default.guid, "2001:db8:1::1", {0, 1, 2, 3, 4, 6});
    h.with_prefix = add_ip_adapter(2);
    network.add_address(h.with_prefix.guid, "10.1.0.5", 16);
    network.add_address(h.with_prefix.guid, "2001:db8:a::5", 64);
    network.add_route(h.with_prefix.guid, "10.0.0.0/8", "10.1.0.1");
    network.add_route(h.with_prefix.guid, "2001:db8:a::/48");
    h.without_route = add_ip_adapter(3);
    network.add_address(h.without_route.guid, "172.16.0.5", 16);
    simhost::interface_settings down;
    down.oper_status = 2;
    h.down = add_ip_adapter(4, down);
    network.add_address(h.down.guid, "192.168.9.20", 24);
    network.add_route(h.down.guid, "0.0.0.0/0", "192.168.9.1");
    network.add_route(h.down.guid, "::/0", "fe80::9");
    return h;
}

iphelper::adapter_info record_of(const simhost::adapter& a)
{
    iphelper::adapter_info info;
    info.adapter_name = a.guid;
    info.luid = a.luid;
    info.if_index = a.if_index;
    info.ipv6_if_index = a.if_index;
    return info;
}

struct route_case {
    const char* destination;
    bool default_interface; // has_no_route on each interface
    bool prefix_interface;
    bool interface_without_route;
    bool interface_down;
};

TEST_F(route_checks_test, interfaces_with_and_without_a_route)
{
    const auto h = make_host();
    const route_case cases[] = {
        {"198.51.100.7", false, true, true, true},
        {"10.200.0.1", false, false, true, true},
        {"2001:db8:ffff::1", false, true, true, true},
        {"2001:db8:a:1::1", false, false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.destination);
        const SOCKADDR_INET destination = simhost::parse_ip(c.destination);
        const auto check = [&](const simhost::adapter& a) {
            if (destination.si_family == AF_INET) {
                const IN_ADDR address = destination.Ipv4.sin_addr;
                return iphelper::has_no_route(address)(record_of(a));
            }
            const IN6_ADDR address = destination.Ipv6.sin6_addr;
            return iphelper::has_no_route(address)(record_of(a));
        };
        EXPECT_EQ(check(h.with_default), c.default_interface);
        EXPECT_EQ(check(h.with_prefix), c.prefix_interface);
        EXPECT_EQ(check(h.without_route), c.interface_without_route);
        EXPECT_EQ(check(h.down), c.interface_down);
    }
}

// GetBestRoute2 is asked with no LUID, the adapter's if_index, no source address, the
// destination alone in a zeroed SOCKADDR_INET, and sort options 0.
TEST_F(route_checks_test, best_route_query_arguments)
{
    const auto h = make_host();
    const IN_ADDR server4 = ipv4("198.51.100.7");
    const IN6_ADDR server6 = ipv6("2001:db8:ffff::1");
    auto record = record_of(h.with_default);
    record.ipv6_if_index = 999; // the IPv6 check also uses if_index
    EXPECT_FALSE(iphelper::has_no_route(server4)(record));
    EXPECT_FALSE(iphelper::has_no_route(server6)(record));

    const auto calls = network().calls(iphelper_function::get_best_route2);
    ASSERT_EQ(calls.size(), 2u);
    SOCKADDR_INET expected[2]{};
    expected[0].Ipv4.sin_family = AF_INET;
    expected[0].Ipv4.sin_addr = server4;
    expected[1].Ipv6.sin6_family = AF_INET6;
    expected[1].Ipv6.sin6_addr = server6;
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& q = std::get<simhost::route_query>(calls[i].arguments);
        EXPECT_EQ(q.interface_luid, 0u);
        EXPECT_EQ(q.interface_index, h.with_default.if_index);
        EXPECT_FALSE(q.source);
        EXPECT_EQ(q.sort_options, 0u);
        EXPECT_EQ(std::memcmp(&q.destination, &expected[i], sizeof(SOCKADDR_INET)), 0);
    }
}

TEST_F(route_checks_test, failure_code_is_left_in_the_last_error)
{
    const auto h = make_host();
    const IN_ADDR server = ipv4("198.51.100.7");
    ::SetLastError(0);
    EXPECT_TRUE(iphelper::has_no_route(server)(record_of(h.without_route)));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NETWORK_UNREACHABLE));

    network().fail_next(iphelper_function::get_best_route2, ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(iphelper::has_no_route(server)(record_of(h.with_default)));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ::SetLastError(4321);
    EXPECT_FALSE(iphelper::has_no_route(server)(record_of(h.with_default)));
    EXPECT_EQ(::GetLastError(), 4321u) << "a route leaves the last error alone";
}

// The interface-change handling removes from the usable interfaces, in one pass that
// keeps the order of the others, every interface without a route to the server.
TEST_F(route_checks_test, routable_interfaces_in_their_order)
{
    const auto h = make_host();
    const auto second_default = add_ip_adapter(5);
    network().add_address(second_default.guid, "192.168.5.20", 24);
    network().add_route(second_default.guid, "0.0.0.0/0", "192.168.5.1", 50);

    const IN_ADDR server = ipv4("10.200.0.1");
    auto list = iphelper::get_ip_adapters();
    ASSERT_EQ(list.size(), 4u) << "the down interface is not usable";
    std::erase_if(list, iphelper::has_no_route(server));
    std::vector<std::string> names;
    for (const auto& info : list)
        names.push_back(info.adapter_name);
    EXPECT_EQ(names, (std::vector<std::string>{h.with_default.guid, h.with_prefix.guid,
                                               second_default.guid}));
}
} // namespace
