// Local address choice and address switching on the simulated host: the rows handed to
// IP Helper field by field, their removal in order, and the host left as it was.
#include <gtest/gtest.h>

#include <cstring>

#include "address_switching.h"
#include "netaccess/adapter_info.h"
#include "support/tunnel_test_support.h"

namespace
{
using tunnel_test::ipv4;
using tunnel_test::ipv6_bytes;
using wireguard::address_switching_state;
using fn = simhost::iphelper_function;

SOCKADDR_STORAGE storage(const std::string& text)
{
    const SOCKADDR_INET parsed = simhost::parse_ip(text);
    SOCKADDR_STORAGE s{};
    std::memcpy(&s, &parsed, parsed.si_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    return s;
}

std::vector<SOCKADDR_STORAGE> list(const std::vector<std::string>& texts)
{
    std::vector<SOCKADDR_STORAGE> out;
    for (const auto& t : texts)
        out.push_back(storage(t));
    return out;
}

std::string text_of(const std::array<std::uint8_t, 16>& a)
{
    SOCKADDR_INET s{};
    s.Ipv6.sin6_family = AF_INET6;
    std::memcpy(&s.Ipv6.sin6_addr, a.data(), 16);
    return simhost::ip_text(s);
}

std::string text_of(std::uint32_t a)
{
    SOCKADDR_INET s{};
    s.Ipv4.sin_family = AF_INET;
    s.Ipv4.sin_addr.s_addr = a;
    return simhost::ip_text(s);
}

TEST(address_switching, next_hops)
{
    EXPECT_EQ(text_of(wireguard::ipv4_next_hop(ipv4(10, 8, 0, 1))), "10.8.0.254");
    EXPECT_EQ(text_of(wireguard::ipv4_next_hop(ipv4(10, 8, 0, 2))), "10.8.0.1");
    EXPECT_EQ(text_of(wireguard::ipv4_next_hop(ipv4(10, 8, 0, 254))), "10.8.0.1");
    EXPECT_EQ(text_of(wireguard::ipv6_next_hop(ipv6_bytes("fd00::1"))), "fd00::ff");
    EXPECT_EQ(text_of(wireguard::ipv6_next_hop(ipv6_bytes("fd00::5"))), "fd00::1");
    EXPECT_EQ(text_of(wireguard::ipv6_next_hop(ipv6_bytes("fd00::ff"))), "fd00::1");
}

struct choice_case {
    const char* name;
    std::vector<std::string> addresses;
    std::string ipv4; // "" none
    std::string ipv6;
};

TEST(address_switching, choice_of_the_local_addresses)
{
    const std::vector<choice_case> cases{
        {"global after link-local: the walk stops first", {"10.0.0.5", "fe80::1", "2001:db8::5"}, "10.0.0.5", "fe80::1"},
        {"global first stays", {"10.0.0.5", "2001:db8::5", "fe80::1"}, "10.0.0.5", "2001:db8::5"},
        {"upper range replaced by any later address", {"fe80::1", "fd00::1", "2001::1", "10.0.0.1"}, "10.0.0.1",
         "2001::1"},
        {"upper range replaced by upper range", {"fe80::1", "fd00::7"}, "", "fd00::7"},
        {"first IPv4 wins, link-local too", {"169.254.1.1", "10.0.0.1"}, "169.254.1.1", ""},
        {"nothing", {}, "", ""},
        {"only IPv6 global", {"2001:db8::1", "2001:db8::2"}, "", "2001:db8::1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto chosen = wireguard::choose_local_addresses(list(c.addresses));
        EXPECT_EQ(chosen.has_ipv4, !c.ipv4.empty());
        EXPECT_EQ(chosen.has_ipv6, !c.ipv6.empty());
        EXPECT_EQ(chosen.has_ipv4 ? text_of(chosen.ipv4) : "", c.ipv4);
        EXPECT_EQ(chosen.has_ipv6 ? text_of(chosen.ipv6) : "", c.ipv6);
    }
}

TEST(address_switching, when_a_family_needs_switching)
{
    address_switching_state s;
    s.tunnel_ipv4_address = ipv4(10, 8, 0, 2);
    s.local_ipv4_address = 0;
    EXPECT_TRUE(wireguard::ipv4_switching_needed(s));
    s.local_ipv4_address = ipv4(169, 254, 3, 4);
    EXPECT_TRUE(wireguard::ipv4_switching_needed(s));
    s.local_ipv4_address = ipv4(169, 253, 3, 4);
    EXPECT_FALSE(wireguard::ipv4_switching_needed(s));
    s.tunnel_ipv4_address = 0;
    s.local_ipv4_address = 0;
    EXPECT_FALSE(wireguard::ipv4_switching_needed(s)) << "no tunnel address";

    s.tunnel_ipv6_address = ipv6_bytes("fd00::2");
    s.local_ipv6_address = ipv6_bytes("fe80::1");
    EXPECT_TRUE(wireguard::ipv6_switching_needed(s));
    s.local_ipv6_address = ipv6_bytes("2001:db8::1");
    EXPECT_FALSE(wireguard::ipv6_switching_needed(s));
    s.local_ipv6_address = {};
    EXPECT_FALSE(wireguard::ipv6_switching_needed(s)) << "an adapter without IPv6 is left alone";
}

// ---- on the simulated host ----------------------------------------------------------------

class switching_on_host : public tunnel_test::tunnel_host_test
{
protected:
    iphelper::adapter_info info_of(const simhost::adapter& a)
    {
        for (auto& i : iphelper::get_ip_adapters())
            if (i.adapter_name == a.guid)
                return i;
        ADD_FAILURE() << "adapter not listed";
        return {};
    }

    // Chooses the local addresses as the tunnel does and sets switching up.
    void set_up(address_switching_state& s, const iphelper::adapter_info& info)
    {
        const auto chosen = wireguard::choose_local_addresses(info.unicast_addresses);
        s.local_ipv4_address = chosen.ipv4;
        s.local_ipv6_address = chosen.ipv6;
        network().clear_calls();
        wireguard::setup_address_switching(s, info);
    }

    std::vector<fn> changes()
    {
        std::vector<fn> out;
        for (const auto& c : network().calls())
            if (c.function == fn::create_unicast_ip_address_entry || c.function == fn::create_ip_forward_entry2 ||
                c.function == fn::create_ip_net_entry2 || c.function == fn::delete_unicast_ip_address_entry ||
                c.function == fn::delete_ip_forward_entry2 || c.function == fn::delete_ip_net_entry2)
                out.push_back(c.function);
        return out;
    }
};

TEST_F(switching_on_host, ipv4_rows_with_their_exact_fields_and_their_removal_in_order)
{
    const auto a = add_ethernet("169.254.20.30", 16, "192.168.1.1");
    const auto info = info_of(a);
    const auto before = network().snapshot();
    address_switching_state s;
    s.tunnel_ipv4_address = ipv4(10, 8, 0, 2);
    s.ipv4_prefix_length = 24;
    set_up(s, info);

    EXPECT_EQ(changes(), (std::vector<fn>{fn::create_unicast_ip_address_entry, fn::create_ip_forward_entry2,
                                          fn::create_ip_net_entry2}));
    ASSERT_TRUE(s.ipv4_address && s.ipv4_route && s.ipv4_neighbour);
    EXPECT_FALSE(s.ipv6_address || s.ipv6_route || s.ipv6_neighbour);
    EXPECT_TRUE(s.ipv4_address.created && s.ipv4_route.created && s.ipv4_neighbour.created);

    const auto address = std::get<MIB_UNICASTIPADDRESS_ROW>(network().calls(fn::create_unicast_ip_address_entry)[0].arguments);
    EXPECT_EQ(address.Address.si_family, AF_INET);
    EXPECT_EQ(address.Address.Ipv4.sin_addr.s_addr, ipv4(10, 8, 0, 2));
    EXPECT_EQ(address.InterfaceLuid.Value, info.luid);
    EXPECT_EQ(address.InterfaceIndex, info.if_index);
    EXPECT_EQ(address.OnLinkPrefixLength, 24);
    EXPECT_EQ(address.PrefixOrigin, IpPrefixOriginManual);
    EXPECT_EQ(address.SuffixOrigin, IpSuffixOriginManual);
    EXPECT_EQ(address.DadState, IpDadStatePreferred);

    const auto route = std::get<MIB_IPFORWARD_ROW2>(network().calls(fn::create_ip_forward_entry2)[0].arguments);
    EXPECT_EQ(route.InterfaceLuid.Value, info.luid);
    EXPECT_EQ(route.InterfaceIndex, info.if_index);
    EXPECT_EQ(route.DestinationPrefix.Prefix.si_family, AF_INET);
    EXPECT_EQ(route.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr, 0u);
    EXPECT_EQ(route.DestinationPrefix.PrefixLength, 0);
    EXPECT_EQ(route.NextHop.si_family, AF_INET);
    EXPECT_EQ(route.NextHop.Ipv4.sin_addr.s_addr, ipv4(10, 8, 0, 1));
    EXPECT_EQ(route.SitePrefixLength, 0u);
    EXPECT_EQ(route.Metric, 1u);
    EXPECT_EQ(static_cast<int>(route.Protocol), 10006);
    EXPECT_EQ(route.Origin, NlroManual);
    EXPECT_EQ(route.ValidLifetime, 0xFFFFFFFFu) << "prepared by InitializeIpForwardEntry";
    EXPECT_TRUE(route.Immortal);

    const auto neighbour = std::get<MIB_IPNET_ROW2>(network().calls(fn::create_ip_net_entry2)[0].arguments);
    EXPECT_EQ(neighbour.Address.si_family, AF_INET);
    EXPECT_EQ(neighbour.Address.Ipv4.sin_addr.s_addr, ipv4(10, 8, 0, 1));
    EXPECT_EQ(neighbour.InterfaceIndex, info.if_index);
    EXPECT_EQ(neighbour.InterfaceLuid.Value, info.luid);
    EXPECT_EQ(neighbour.PhysicalAddressLength, 6u);
    EXPECT_EQ(0, std::memcmp(neighbour.PhysicalAddress, gateway_mac.data(), 6)) << "the gateway's MAC";
    EXPECT_EQ(neighbour.State, NlnsPermanent);
    EXPECT_TRUE(neighbour.IsRouter);
    EXPECT_TRUE(neighbour.IsUnreachable);
    EXPECT_EQ(s.next_hop_mac, gateway_mac);

    const auto during = network().snapshot();
    EXPECT_EQ(during.addresses.size(), before.addresses.size() + 1);
    EXPECT_EQ(during.routes.size(), before.routes.size() + 1);
    EXPECT_EQ(during.neighbours.size(), before.neighbours.size() + 1);

    network().clear_calls();
    s.remove_ipv4();
    EXPECT_EQ(changes(), (std::vector<fn>{fn::delete_ip_net_entry2, fn::delete_ip_forward_entry2,
                                          fn::delete_unicast_ip_address_entry}));
    for (const auto& c : network().calls())
        EXPECT_EQ(c.result, 0u) << simhost::function_name(c.function);
    EXPECT_FALSE(s.any_row());
    EXPECT_EQ(network().snapshot(), before);
    network().clear_calls();
    s.remove_ipv4();
    EXPECT_TRUE(changes().empty()) << "absent rows are skipped";
}

TEST_F(switching_on_host, ipv6_rows_on_the_ipv6_interface_index)
{
    const auto a = add_ethernet("192.168.1.10", 24, "192.168.1.1");
    network().add_address(a.guid, "fe80::5", 64);
    const auto info = info_of(a);
    const auto before = network().snapshot();
    address_switching_state s;
    s.tunnel_ipv4_address = ipv4(10, 8, 0, 2);
    s.tunnel_ipv6_address = ipv6_bytes("fd00::1");
    s.ipv6_prefix_length = 64;
    set_up(s, info);
    EXPECT_FALSE(s.ipv4_address || s.ipv4_route || s.ipv4_neighbour) << "the adapter has a usable IPv4 address";
    ASSERT_TRUE(s.ipv6_address && s.ipv6_route && s.ipv6_neighbour);

    const auto address = std::get<MIB_UNICASTIPADDRESS_ROW>(network().calls(fn::create_unicast_ip_address_entry)[0].arguments);
    EXPECT_EQ(address.Address.si_family, AF_INET6);
    EXPECT_EQ(0, std::memcmp(&address.Address.Ipv6.sin6_addr, ipv6_bytes("fd00::1").data(), 16));
    EXPECT_EQ(address.InterfaceIndex, info.ipv6_if_index);
    EXPECT_EQ(address.OnLinkPrefixLength, 64);
    const auto route = std::get<MIB_IPFORWARD_ROW2>(network().calls(fn::create_ip_forward_entry2)[0].arguments);
    EXPECT_EQ(route.InterfaceIndex, info.ipv6_if_index);
    EXPECT_EQ(route.DestinationPrefix.Prefix.si_family, AF_INET6);
    EXPECT_EQ(route.DestinationPrefix.PrefixLength, 0);
    EXPECT_EQ(0, std::memcmp(&route.NextHop.Ipv6.sin6_addr, ipv6_bytes("fd00::ff").data(), 16));
    EXPECT_EQ(route.Metric, 1u);
    const auto neighbour = std::get<MIB_IPNET_ROW2>(network().calls(fn::create_ip_net_entry2)[0].arguments);
    EXPECT_EQ(neighbour.InterfaceIndex, info.ipv6_if_index);
    EXPECT_EQ(0, std::memcmp(&neighbour.Address.Ipv6.sin6_addr, ipv6_bytes("fd00::ff").data(), 16));

    network().clear_calls();
    s.remove_ipv6();
    EXPECT_EQ(changes(), (std::vector<fn>{fn::delete_ip_net_entry2, fn::delete_ip_forward_entry2,
                                          fn::delete_unicast_ip_address_entry}));
    EXPECT_EQ(network().snapshot(), before);
}

TEST_F(switching_on_host, the_record_removes_ipv4_then_ipv6_when_destroyed)
{
    const auto a = add_ethernet("", 0, "192.168.1.1");
    network().add_address(a.guid, "fe80::5", 64);
    const auto info = info_of(a);
    const auto before = network().snapshot();
    {
        address_switching_state s;
        s.tunnel_ipv4_address = ipv4(10, 8, 0, 1);
        s.ipv4_prefix_length = 24;
        s.tunnel_ipv6_address = ipv6_bytes("fd00::2");
        s.ipv6_prefix_length = 64;
        set_up(s, info);
        EXPECT_EQ(changes().size(), 6u) << "IPv6 first, then IPv4";
        const auto& first =
            std::get<MIB_UNICASTIPADDRESS_ROW>(network().calls(fn::create_unicast_ip_address_entry)[0].arguments);
        EXPECT_EQ(first.Address.si_family, AF_INET6);
        network().clear_calls();
    }
    const auto removed = network().calls();
    std::vector<std::pair<fn, ADDRESS_FAMILY>> order;
    for (const auto& c : removed) {
        if (auto* r = std::get_if<MIB_IPNET_ROW2>(&c.arguments))
            order.emplace_back(c.function, r->Address.si_family);
        else if (auto* r = std::get_if<MIB_IPFORWARD_ROW2>(&c.arguments))
            order.emplace_back(c.function, r->DestinationPrefix.Prefix.si_family);
        else if (auto* r = std::get_if<MIB_UNICASTIPADDRESS_ROW>(&c.arguments))
            order.emplace_back(c.function, r->Address.si_family);
    }
    const std::vector<std::pair<fn, ADDRESS_FAMILY>> expected{
        {fn::delete_ip_net_entry2, AF_INET},           {fn::delete_ip_forward_entry2, AF_INET},
        {fn::delete_unicast_ip_address_entry, AF_INET}, {fn::delete_ip_net_entry2, AF_INET6},
        {fn::delete_ip_forward_entry2, AF_INET6},       {fn::delete_unicast_ip_address_entry, AF_INET6}};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(network().snapshot(), before);
}

TEST_F(switching_on_host, without_a_gateway_the_neighbour_gets_the_made_up_mac)
{
    const auto a = add_ethernet("169.254.1.2", 16, "");
    network().add_route(a.guid, "0.0.0.0/0");
    const auto info = info_of(a);
    address_switching_state s;
    s.tunnel_ipv4_address = ipv4(10, 8, 0, 2);
    s.ipv4_prefix_length = 24;
    set_up(s, info);
    const std::array<std::uint8_t, 6> dummy{0x5F, 0x64, 0x75, 0x6D, 0x6D, 0x79};
    EXPECT_EQ(s.next_hop_mac, dummy);
    const auto neighbour = std::get<MIB_IPNET_ROW2>(network().calls(fn::create_ip_net_entry2)[0].arguments);
    EXPECT_EQ(0, std::memcmp(neighbour.PhysicalAddress, dummy.data(), 6));
}

TEST_F(switching_on_host, usable_addresses_or_no_ipv6_at_all_get_no_rows)
{
    const auto a = add_ethernet("192.168.1.10", 24, "192.168.1.1");
    network().add_address(a.guid, "2001:db8::10", 64);
    const auto b = add_ethernet("192.168.2.10", 24, "192.168.2.1");
    for (const auto& adapter : {a, b}) {
        address_switching_state s;
        s.tunnel_ipv4_address = ipv4(10, 8, 0, 2);
        s.tunnel_ipv6_address = ipv6_bytes("fd00::2");
        set_up(s, info_of(adapter));
        EXPECT_FALSE(s.any_row());
        EXPECT_TRUE(changes().empty());
    }
}

TEST_F(switching_on_host, entries_that_were_there_before_stay_there)
{
    const auto a = add_ethernet("169.254.1.2", 16, "192.168.1.1");
    network().add_address(a.guid, "10.8.0.2", 24); // the tunnel's address, listed second
    network().add_route(a.guid, "0.0.0.0/0", "10.8.0.1");
    const auto info = info_of(a);
    const auto before = network().snapshot();
    address_switching_state s;
    s.tunnel_ipv4_address = ipv4(10, 8, 0, 2);
    s.ipv4_prefix_length = 24;
    set_up(s, info);
    ASSERT_TRUE(s.ipv4_address && s.ipv4_route && s.ipv4_neighbour) << "the existing rows count as present";
    EXPECT_FALSE(s.ipv4_address.created);
    EXPECT_FALSE(s.ipv4_route.created);
    EXPECT_EQ(network().calls(fn::create_ip_forward_entry2)[0].result, static_cast<DWORD>(ERROR_OBJECT_ALREADY_EXISTS));
    EXPECT_TRUE(s.ipv4_neighbour.created);
    network().clear_calls();
    s.remove_ipv4();
    EXPECT_EQ(changes(), std::vector<fn>{fn::delete_ip_net_entry2}) << "only what the tunnel made is deleted";
    EXPECT_EQ(network().snapshot(), before);
}

TEST_F(switching_on_host, a_refused_row_is_absent_and_nothing_else_changes)
{
    const auto a = add_ethernet("169.254.1.2", 16, "192.168.1.1");
    const auto info = info_of(a);
    const auto before = network().snapshot();
    for (fn refused : {fn::create_unicast_ip_address_entry, fn::create_ip_forward_entry2, fn::create_ip_net_entry2}) {
        SCOPED_TRACE(simhost::function_name(refused));
        address_switching_state s;
        s.tunnel_ipv4_address = ipv4(10, 8, 0, 2);
        s.ipv4_prefix_length = 24;
        network().fail_next(refused, ERROR_ACCESS_DENIED);
        set_up(s, info);
        EXPECT_EQ(!s.ipv4_address, refused == fn::create_unicast_ip_address_entry);
        EXPECT_EQ(!s.ipv4_route, refused == fn::create_ip_forward_entry2);
        EXPECT_EQ(!s.ipv4_neighbour, refused == fn::create_ip_net_entry2);
        s.remove_ipv4();
        EXPECT_EQ(network().snapshot(), before);
    }
}
} // namespace
