// The routes into the virtual adapter: the rows for each AllowedIPs case (prefix lengths
// of every size), the default route's rule, refused and existing routes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/address_parsers.h"
#include "dual_test_support.h"
#include "virtual_adapter_routes.h"

namespace
{
using namespace dual_test;
using simhost::iphelper_function;
using wireguard::enable_default_gateway;
using wireguard::parse_prefix_list;

class virtual_adapter_routes : public tunnel_test::tunnel_host_test
{
protected:
    void SetUp() override
    {
        tunnel_host_test::SetUp();
        adapter = vdriver().load();
    }
    void TearDown() override
    {
        made.reset();
        EXPECT_TRUE(tunnel_test::route_texts(network().snapshot(), adapter.guid).empty()) << "routes left behind";
        tunnel_host_test::TearDown();
    }

    void construct(bool with_ipv6)
    {
        std::optional<wireguard::ipv6_interface_address> v6;
        if (with_ipv6)
            v6 = wireguard::ipv6_interface_address{tunnel_test::ipv6_bytes("fd00::2"), 64};
        made = std::make_unique<wireguard::wg_virtnet_adapter>();
        made->prepare(wireguard::ipv4_interface_address{tunnel_test::ipv4(10, 8, 0, 2), 24}, v6,
                      std::vector<wireguard::ip_address>{test_support::server_address("10.8.0.1")});
    }

    std::vector<std::string> routes() const { return tunnel_test::route_texts(network().snapshot(), adapter.guid); }

    simhost::adapter adapter;
    std::unique_ptr<wireguard::wg_virtnet_adapter> made;
};

struct routes_case {
    const char* name;
    const char* allowed_ips;
    bool default_route;
    bool with_ipv6;
    bool result;
    std::vector<std::string> routes;
};

TEST_F(virtual_adapter_routes, the_rows_of_each_allowed_ips_case)
{
    const routes_case cases[] = {
        {"the whole IPv4 space: one prefix route, no default route", "0.0.0.0/0", true, false, true,
         {"0.0.0.0/0 0 10006 0 []"}},
        {"a prefix: its route and the default route of the lowest preference", "10.0.0.0/8", true, false, true,
         {"0.0.0.0/0 2147483647 10006 0 []", "10.0.0.0/8 0 10006 0 []"}},
        {"host bits are kept", "10.1.2.3/9", true, false, true,
         {"0.0.0.0/0 2147483647 10006 0 []", "10.1.2.3/9 0 10006 0 []"}},
        {"no default route asked for", "10.0.0.0/8, 192.0.2.1/32", false, false, true,
         {"10.0.0.0/8 0 10006 0 []", "192.0.2.1/32 0 10006 0 []"}},
        {"IPv6 prefixes only on an adapter with only IPv4: no prefix route; the default route stays until removed",
         "fd00::/64", true, false, false, {"0.0.0.0/0 2147483647 10006 0 []"}},
        {"both families", "10.0.0.0/8, 2001:db8::/33, ::1/128", true, true, true,
         {"0.0.0.0/0 2147483647 10006 0 []", "10.0.0.0/8 0 10006 0 []", "2001:db8::/33 0 10006 0 []",
          "::/0 2147483647 10006 0 []", "::1/128 0 10006 0 []"}},
        {"both whole spaces", "0.0.0.0/0, ::/0", true, true, true, {"0.0.0.0/0 0 10006 0 []", "::/0 0 10006 0 []"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        construct(c.with_ipv6);
        EXPECT_EQ(enable_default_gateway(*made, parse_prefix_list(c.allowed_ips), c.default_route), c.result);
        auto found = routes();
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, c.routes);
        // The rows name the interface by its LUID and by the index of the route's family
        // (the simulated host refuses a row whose index is not the family's).
        EXPECT_TRUE(network().take_violations().empty());
        made->remove_routes();
        EXPECT_TRUE(routes().empty());
        made.reset();
    }
}

TEST_F(virtual_adapter_routes, routes_in_place_or_existing_are_not_made_twice)
{
    construct(false);
    network().add_route(adapter.guid, "10.0.0.0/8");
    const auto allowed = parse_prefix_list("10.0.0.0/8");
    ASSERT_TRUE(enable_default_gateway(*made, allowed, true)) << "an existing identical route counts as made";
    {
        std::lock_guard lock(made->route_lock());
        EXPECT_EQ(made->ipv4_routes().size(), 1u);
    }
    const auto creates = network().call_count(iphelper_function::create_ip_forward_entry2);
    EXPECT_TRUE(enable_default_gateway(*made, allowed, true));
    EXPECT_EQ(network().call_count(iphelper_function::create_ip_forward_entry2), creates);
    EXPECT_EQ(routes().size(), 2u);
    made->remove_routes();
    EXPECT_TRUE(routes().empty()) << "the existing route is the adapter's now";
}

TEST_F(virtual_adapter_routes, a_refused_prefix_route_leaves_the_error_and_the_default_route_until_removal)
{
    construct(false);
    network().set_call_hook(iphelper_function::create_ip_forward_entry2, [](unsigned call) {
        if (call == 2)
            simhost::host_network::instance().fail_next(iphelper_function::create_ip_forward_entry2,
                                                        ERROR_ACCESS_DENIED);
    });
    ::SetLastError(0);
    EXPECT_FALSE(enable_default_gateway(*made, parse_prefix_list("10.0.0.0/8"), true));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    network().set_call_hook(iphelper_function::create_ip_forward_entry2, {});
    EXPECT_EQ(routes(), std::vector<std::string>{"0.0.0.0/0 2147483647 10006 0 []"});
    made->remove_routes();
    EXPECT_TRUE(routes().empty());
}

TEST_F(virtual_adapter_routes, an_address_removal_takes_its_familys_prefix_routes_and_the_destruction_every_route)
{
    construct(true);
    ASSERT_TRUE(enable_default_gateway(*made, parse_prefix_list("10.0.0.0/8, 192.0.2.0/24, fd00:1::/32"), true));
    EXPECT_EQ(routes().size(), 5u);
    made->remove_ipv6_address();
    EXPECT_EQ(routes().size(), 4u) << "the IPv6 prefix route went with the IPv6 address";
    made.reset();
}

enum class then { remove_routes, undo, destruction };

TEST_F(virtual_adapter_routes, a_refused_delete_is_tried_again_at_once_and_then_left_to_the_next_removal)
{
    for (const unsigned refusals : {1u, 2u, 6u})
        for (const then next : {then::remove_routes, then::undo, then::destruction}) {
            SCOPED_TRACE(testing::Message() << refusals << " refusals, then " << static_cast<int>(next));
            construct(false);
            ASSERT_TRUE(enable_default_gateway(*made, parse_prefix_list("10.0.0.0/8"), true)); // and the default route
            network().fail_next(iphelper_function::delete_ip_forward_entry2, ERROR_ACCESS_DENIED, refusals);
            made->remove_routes(); // three tries each
            if (refusals < 6) {
                EXPECT_TRUE(routes().empty());
                break;
            }
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
            EXPECT_EQ(routes().size(), 2u);
            if (next == then::remove_routes)
                made->remove_routes();
            else if (next == then::undo) {
                network().fail_next(iphelper_function::delete_ip_forward_entry2, ERROR_ACCESS_DENIED, 3);
                EXPECT_FALSE(made->undo()) << "one is still refused";
                EXPECT_TRUE(made->undo());
            } else
                made.reset();
            EXPECT_TRUE(routes().empty());
            made.reset();
        }
}
} // namespace
