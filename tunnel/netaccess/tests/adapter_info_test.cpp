// The adapter queries against the simulated host network: which interfaces are usable,
// every field of a record, gateway MACs, the underlying hardware interface, the size
// protocol of the adapter list and the failures of each IP Helper call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "adapter_info.h"
#include "test_support.h"

namespace
{
using simhost::iphelper_function;
using test_support::add_ip_adapter;
using test_support::luid_of;
using test_support::texts_of;

using adapter_info_test = test_support::simulated_host_test;

const simhost::mac_address gateway_mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const simhost::mac_address gateway6_mac{0x00, 0x66, 0x77, 0x88, 0x99, 0xAA};
const simhost::mac_address zero_mac{};

simhost::interface_settings with_type(std::uint32_t if_type)
{
    simhost::interface_settings ip;
    ip.if_type = if_type;
    return ip;
}

std::vector<std::string> names_of(const std::vector<iphelper::adapter_info>& list)
{
    std::vector<std::string> names;
    for (const auto& info : list)
        names.push_back(info.adapter_name);
    return names;
}

bool zero_guid(const GUID& guid)
{
    static const GUID zero{};
    return std::memcmp(&guid, &zero, sizeof(GUID)) == 0;
}

TEST_F(adapter_info_test, record_holds_every_field_of_the_interface)
{
    simhost::interface_settings ip;
    ip.if_type = 6;
    ip.if_index = 17;
    ip.description = L"Intel(R) Ethernet Connection";
    ip.friendly_name = L"Ethernet 2";
    ip.transmit_link_speed = 2500000000;
    ip.receive_link_speed = 1000000000;
    ip.media_type = 0;
    ip.physical_medium = 14;
    ip.dns_servers = {"192.168.1.53", "2001:db8::53"};
    const simhost::mac_address mac{0x3C, 0x52, 0x82, 0x01, 0x02, 0x03};
    const auto a = add_ip_adapter(1, ip, mac);
    network().add_address(a.guid, "192.168.1.20", 24);
    network().add_address(a.guid, "fe80::1234", 64);
    network().add_address(a.guid, "2001:db8::20", 64);
    network().add_default_gateway(a.guid, "192.168.1.1", gateway_mac);
    network().add_default_gateway(a.guid, "fe80::1", gateway6_mac);

    const auto list = iphelper::get_ip_adapters();
    ASSERT_EQ(list.size(), 1u);
    const auto& info = list[0];
    EXPECT_EQ(info.if_index, 17u);
    EXPECT_EQ(info.ipv6_if_index, network().interface_of(a.guid).index_for(AF_INET6));
    EXPECT_NE(info.ipv6_if_index, info.if_index) << "the host gives IPv6 an index of its own";
    EXPECT_EQ(info.adapter_name, a.guid);
    EXPECT_TRUE(zero_guid(info.hardware_interface));
    EXPECT_EQ(info.description, L"Intel(R) Ethernet Connection");
    EXPECT_EQ(info.friendly_name, L"Ethernet 2");
    EXPECT_EQ(texts_of(info.unicast_addresses),
              (std::vector<std::string>{"192.168.1.20", "fe80::1234", "2001:db8::20"}));
    EXPECT_EQ(texts_of(info.dns_servers),
              (std::vector<std::string>{"192.168.1.53", "2001:db8::53"}));
    ASSERT_EQ(info.gateways.size(), 2u);
    EXPECT_EQ(test_support::text_of(info.gateways[0].address), "192.168.1.1");
    EXPECT_EQ(info.gateways[0].mac, gateway_mac);
    EXPECT_EQ(test_support::text_of(info.gateways[1].address), "fe80::1");
    EXPECT_EQ(info.gateways[1].mac, gateway6_mac);
    EXPECT_EQ(info.mac, mac);
    EXPECT_EQ(info.mtu, 1500);
    EXPECT_EQ(info.if_type, 6u);
    EXPECT_EQ(info.transmit_link_speed, 2500000000u);
    EXPECT_EQ(info.receive_link_speed, 1000000000u);
    EXPECT_EQ(info.luid, a.luid);
    EXPECT_EQ(info.media_type, 0u);
    EXPECT_EQ(info.physical_medium_type, 14u);
    EXPECT_EQ(info.underlying_physical_medium, 0u);
}

// Addresses are copied as the list holds them: the family's sockaddr, the rest zero.
TEST_F(adapter_info_test, addresses_are_copied_into_zeroed_storage)
{
    const auto a = add_ip_adapter(1);
    network().add_address(a.guid, "10.1.2.3", 8);
    network().add_address(a.guid, "2001:db8::1", 64);
    const auto list = iphelper::get_ip_adapters();
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0].unicast_addresses.size(), 2u);
    const auto expected4 = test_support::storage_of("10.1.2.3");
    const auto expected6 = test_support::storage_of("2001:db8::1");
    EXPECT_EQ(std::memcmp(&list[0].unicast_addresses[0], &expected4, sizeof(SOCKADDR_STORAGE)), 0);
    EXPECT_EQ(std::memcmp(&list[0].unicast_addresses[1], &expected6, sizeof(SOCKADDR_STORAGE)), 0);
}

struct usable_case {
    const char* name;
    std::uint32_t if_type;
    std::uint32_t oper_status;
    bool address;
    bool usable; // listed by get_ip_adapters
};

// get_ip_adapters keeps an interface only when it is up, is not software loopback and
// has a unicast address; get_adapter_by_luid finds every interface whatever its state.
TEST_F(adapter_info_test, usable_interfaces_and_lookup_by_luid)
{
    const usable_case cases[] = {
        {"ethernet up with an address", 6, 1, true, true},
        {"wifi up with an address", 71, 1, true, true},
        {"ppp up with an address", 23, 1, true, true},
        {"tunnel up with an address", 131, 1, true, true},
        {"software loopback", 24, 1, true, false},
        {"ethernet down", 6, 2, true, false},
        {"ethernet lower layer down", 6, 7, true, false},
        {"ethernet without an address", 6, 1, false, false},
        {"wifi down without an address", 71, 2, false, false},
    };
    std::vector<simhost::adapter> adapters;
    std::vector<std::string> expected;
    std::uint32_t number = 0;
    for (const auto& c : cases) {
        simhost::interface_settings ip = with_type(c.if_type);
        ip.oper_status = c.oper_status;
        const auto a = add_ip_adapter(++number, ip, {}, false);
        if (c.address)
            network().add_address(a.guid, ("10.0.0." + std::to_string(number)).c_str(), 24);
        adapters.push_back(a);
        if (c.usable)
            expected.push_back(a.guid);
    }

    EXPECT_EQ(names_of(iphelper::get_ip_adapters()), expected);

    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const auto found = iphelper::get_adapter_by_luid(luid_of(adapters[i]));
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->adapter_name, adapters[i].guid);
        EXPECT_EQ(found->luid, adapters[i].luid);
        EXPECT_EQ(found->if_type, cases[i].if_type);
        EXPECT_EQ(found->unicast_addresses.size(), cases[i].address ? 1u : 0u);
    }
}

TEST_F(adapter_info_test, unknown_luid_gives_nothing)
{
    const auto a = add_ip_adapter(1);
    network().add_address(a.guid, "10.0.0.1", 24);
    NET_LUID unknown{};
    unknown.Value = a.luid + (1ull << 24);
    ::SetLastError(1234);
    EXPECT_FALSE(iphelper::get_adapter_by_luid(unknown).has_value());
    EXPECT_EQ(::GetLastError(), 0u) << "not found is no IP Helper failure";
    NET_LUID zero{};
    EXPECT_FALSE(iphelper::get_adapter_by_luid(zero).has_value());
}

TEST_F(adapter_info_test, interfaces_keep_the_order_of_the_adapter_list)
{
    std::vector<std::string> expected;
    for (std::uint32_t n = 1; n <= 5; ++n) {
        const auto a = add_ip_adapter(n);
        network().add_address(a.guid, ("10.0." + std::to_string(n) + ".1").c_str(), 24);
        expected.push_back(a.guid);
    }
    EXPECT_EQ(names_of(iphelper::get_ip_adapters()), expected);
}

struct gateway_case {
    std::uint32_t if_type;
    bool resolved;
};

// Only Ethernet (6) and Wi-Fi (71) interfaces get their gateways' MAC addresses.
TEST_F(adapter_info_test, gateway_macs_only_for_ethernet_and_wifi)
{
    const gateway_case cases[] = {{6, true}, {71, true}, {23, false}, {131, false},
                                  {53, false}, {243, false}, {1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE("IfType " + std::to_string(c.if_type));
        simhost::host::instance().reset();
        const auto a = add_ip_adapter(1, with_type(c.if_type));
        network().add_address(a.guid, "192.168.7.2", 24);
        network().add_address(a.guid, "2001:db8:7::2", 64);
        network().add_default_gateway(a.guid, "192.168.7.1", gateway_mac);
        network().add_default_gateway(a.guid, "2001:db8:7::1", gateway6_mac);

        const auto found = iphelper::get_adapter_by_luid(luid_of(a));
        ASSERT_TRUE(found.has_value());
        ASSERT_EQ(found->gateways.size(), 2u);
        EXPECT_EQ(found->gateways[0].mac, c.resolved ? gateway_mac : zero_mac);
        EXPECT_EQ(found->gateways[1].mac, c.resolved ? gateway6_mac : zero_mac);
        EXPECT_EQ(network().call_count(iphelper_function::resolve_ip_net_entry2),
                  c.resolved ? 2u : 0u);
    }
}

// The neighbour row handed to ResolveIpNetEntry2: the gateway's sockaddr and the LUID,
// nothing else.
TEST_F(adapter_info_test, gateway_resolution_asks_with_address_and_luid_only)
{
    const auto a = add_ip_adapter(1, with_type(71));
    network().add_address(a.guid, "192.168.7.2", 24);
    network().add_default_gateway(a.guid, "192.168.7.1", gateway_mac);
    network().add_default_gateway(a.guid, "fe80::1%5", gateway6_mac);
    ASSERT_EQ(iphelper::get_ip_adapters().size(), 1u);

    const auto calls = network().calls(iphelper_function::resolve_ip_net_entry2);
    ASSERT_EQ(calls.size(), 2u);
    const SOCKADDR_INET gateways[] = {simhost::parse_ip("192.168.7.1"),
                                      simhost::parse_ip("fe80::1%5")};
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& row = std::get<MIB_IPNET_ROW2>(calls[i].arguments);
        MIB_IPNET_ROW2 expected{};
        std::memcpy(&expected.Address, &gateways[i],
                    gateways[i].si_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        expected.InterfaceLuid.Value = a.luid;
        EXPECT_EQ(std::memcmp(&row, &expected, sizeof(row)), 0) << "gateway " << i;
    }
}

// A gateway that does not answer keeps a zero MAC; the next one is still resolved and
// the failure is left in the last error.
TEST_F(adapter_info_test, unresolved_gateway_keeps_zero_mac)
{
    const auto a = add_ip_adapter(1);
    network().add_address(a.guid, "192.168.7.2", 24);
    network().add_route(a.guid, "0.0.0.0/0", "192.168.7.1");       // nobody answers
    network().add_default_gateway(a.guid, "192.168.7.254", gateway_mac, 10);

    const auto list = iphelper::get_ip_adapters();
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_BAD_NET_NAME));
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0].gateways.size(), 2u);
    EXPECT_EQ(list[0].gateways[0].mac, zero_mac);
    EXPECT_EQ(list[0].gateways[1].mac, gateway_mac);
}

TEST_F(adapter_info_test, resolution_failure_code_is_left_in_last_error)
{
    const auto a = add_ip_adapter(1);
    network().add_address(a.guid, "192.168.7.2", 24);
    network().add_default_gateway(a.guid, "192.168.7.1", gateway_mac);
    network().fail_next(iphelper_function::resolve_ip_net_entry2, ERROR_NOT_SUPPORTED);
    const auto list = iphelper::get_ip_adapters();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].gateways[0].mac, zero_mac);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(adapter_info_test, gateway_answered_by_a_permanent_neighbour_entry)
{
    const auto a = add_ip_adapter(1);
    network().add_address(a.guid, "192.168.7.2", 24);
    network().add_route(a.guid, "0.0.0.0/0", "192.168.7.1");
    network().add_neighbour(a.guid, "192.168.7.1", gateway_mac);
    const auto list = iphelper::get_ip_adapters();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].gateways[0].mac, gateway_mac);
}

struct underlying_case {
    const char* name;
    std::uint32_t connect_state;
    bool hardware;
    std::uint32_t physical_medium;
    std::uint32_t address_length;
    bool same_mac;
    bool found;
};

// A filter or virtual interface (physical medium 0) takes the GUID and the physical
// medium of a connected hardware interface with its MAC address.
TEST_F(adapter_info_test, underlying_hardware_interface)
{
    const simhost::mac_address shared{0x3C, 0x52, 0x82, 0xAA, 0xBB, 0xCC};
    const simhost::mac_address other{0x3C, 0x52, 0x82, 0xAA, 0xBB, 0xCD};
    const underlying_case cases[] = {
        {"connected hardware ethernet", 1, true, 14, 6, true, true},
        {"connected hardware wifi", 1, true, 9, 6, true, true},
        {"disconnected", 2, true, 14, 6, true, false},
        {"connect state unknown", 0, true, 14, 6, true, false},
        {"not a hardware interface", 1, false, 14, 6, true, false},
        {"no physical medium", 1, true, 0, 6, true, false},
        {"other MAC", 1, true, 14, 6, false, false},
        {"address of 8 bytes", 1, true, 14, 8, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        simhost::host::instance().reset();
        simhost::interface_settings hardware;
        hardware.media_connect_state = c.connect_state;
        hardware.hardware_interface = c.hardware;
        hardware.physical_medium = c.physical_medium;
        hardware.physical_address_length = c.address_length;
        const auto h = add_ip_adapter(1, hardware, c.same_mac ? shared : other);

        simhost::interface_settings virtual_ip;
        virtual_ip.physical_medium = 0;
        virtual_ip.hardware_interface = false;
        virtual_ip.if_type = 6;
        const auto v = add_ip_adapter(2, virtual_ip, shared);
        network().add_address(v.guid, "10.9.0.2", 24);

        const auto found = iphelper::get_adapter_by_luid(luid_of(v));
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->physical_medium_type, 0u);
        if (c.found) {
            EXPECT_EQ(found->underlying_physical_medium, c.physical_medium);
            const GUID expected = network().interface_of(h.guid).interface_guid;
            EXPECT_EQ(std::memcmp(&found->hardware_interface, &expected, sizeof(GUID)), 0);
        } else {
            EXPECT_EQ(found->underlying_physical_medium, 0u);
            EXPECT_TRUE(zero_guid(found->hardware_interface));
        }
    }
}

TEST_F(adapter_info_test, last_qualifying_hardware_interface_wins)
{
    const simhost::mac_address shared{0x3C, 0x52, 0x82, 0xAA, 0xBB, 0xCC};
    simhost::interface_settings virtual_ip;
    virtual_ip.physical_medium = 0;
    virtual_ip.hardware_interface = false;
    const auto v = add_ip_adapter(1, virtual_ip, shared);
    simhost::interface_settings first;
    first.physical_medium = 14;
    add_ip_adapter(2, first, shared);
    simhost::interface_settings second;
    second.physical_medium = 9;
    const auto last = add_ip_adapter(3, second, shared);

    const auto found = iphelper::get_adapter_by_luid(luid_of(v));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->underlying_physical_medium, 9u);
    const GUID expected = network().interface_of(last.guid).interface_guid;
    EXPECT_EQ(std::memcmp(&found->hardware_interface, &expected, sizeof(GUID)), 0);
}

// An interface with a physical medium of its own is not looked behind, and an interface
// is never its own underlying interface.
TEST_F(adapter_info_test, interfaces_with_a_medium_are_not_looked_behind)
{
    const simhost::mac_address shared{0x3C, 0x52, 0x82, 0xAA, 0xBB, 0xCC};
    const auto a = add_ip_adapter(1, {}, shared);
    add_ip_adapter(2, {}, shared);
    const auto found = iphelper::get_adapter_by_luid(luid_of(a));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->underlying_physical_medium, 0u);
    EXPECT_TRUE(zero_guid(found->hardware_interface));

    simhost::interface_settings alone;
    alone.physical_medium = 0;
    alone.hardware_interface = true;
    const auto b = add_ip_adapter(3, alone, {0x3C, 0x52, 0x82, 0x00, 0x00, 0x01});
    const auto self = iphelper::get_adapter_by_luid(luid_of(b));
    ASSERT_TRUE(self.has_value());
    EXPECT_EQ(self->underlying_physical_medium, 0u);
}

// The size protocol: ask without a buffer, then fetch; the list grows between the calls
// (twice here) and the query asks again with the size last reported.
TEST_F(adapter_info_test, adapter_list_that_grows_between_the_calls)
{
    const auto a = add_ip_adapter(1);
    network().add_address(a.guid, "10.0.1.1", 24);
    network().set_call_hook(iphelper_function::get_adapters_addresses, [&](unsigned call) {
        if (call == 2)
            network().add_address(a.guid, "10.0.2.1", 24);
        if (call == 3)
            network().add_address(a.guid, "2001:db8::3", 64);
    });

    const auto list = iphelper::get_ip_adapters();
    const auto calls = network().calls(iphelper_function::get_adapters_addresses);
    ASSERT_EQ(calls.size(), 4u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i + 1));
        const auto& q = std::get<simhost::adapters_query>(calls[i].arguments);
        EXPECT_EQ(q.family, static_cast<ULONG>(AF_UNSPEC));
        EXPECT_EQ(q.flags, 0x186u);
        EXPECT_EQ(q.buffer, i != 0);
        EXPECT_EQ(calls[i].result, i == 3 ? 0u : 111u);
        if (i > 0) {
            const auto& before = std::get<simhost::adapters_query>(calls[i - 1].arguments);
            EXPECT_EQ(q.size_in, before.size_out);
        }
        if (i > 1) {
            const auto& before = std::get<simhost::adapters_query>(calls[i - 1].arguments);
            EXPECT_GT(q.size_in, before.size_in);
        }
    }
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(texts_of(list[0].unicast_addresses),
              (std::vector<std::string>{"10.0.1.1", "10.0.2.1", "2001:db8::3"}));
}

TEST_F(adapter_info_test, adapter_without_an_interface_row_is_skipped)
{
    const auto a = add_ip_adapter(1);
    network().add_address(a.guid, "10.0.1.1", 24);
    std::string late;
    network().set_call_hook(iphelper_function::get_adapters_addresses, [&](unsigned call) {
        if (call == 1) {
            const auto b = add_ip_adapter(2);
            network().add_address(b.guid, "10.0.2.1", 24);
            late = b.guid;
        }
    });
    EXPECT_EQ(names_of(iphelper::get_ip_adapters()), std::vector<std::string>{a.guid});
    NET_LUID luid{};
    luid.Value = network().interface_of(late).luid.Value;
    network().set_call_hook(iphelper_function::get_adapters_addresses, {});
    EXPECT_TRUE(iphelper::get_adapter_by_luid(luid).has_value()) << "found on a fresh query";
}

struct failure_case {
    const char* name;
    iphelper_function function;
    DWORD error;
    unsigned skip; // calls of the function that succeed first
    std::size_t adapters_addresses_calls;
};

// Any failure of the interface table or the adapter list ends the query with nothing and
// leaves the code in the last error; no table is left unfreed (checked after each test).
TEST_F(adapter_info_test, query_failures_give_nothing_and_leave_the_code)
{
    const failure_case cases[] = {
        {"interface table", iphelper_function::get_if_table2, ERROR_NOT_ENOUGH_MEMORY, 0, 0},
        {"size query", iphelper_function::get_adapters_addresses, ERROR_NOT_ENOUGH_MEMORY, 0, 1},
        {"size query answers 111 without a size", iphelper_function::get_adapters_addresses,
         ERROR_BUFFER_OVERFLOW, 0, 1},
        {"list read", iphelper_function::get_adapters_addresses, ERROR_INVALID_PARAMETER, 1, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int luid_query = 0; luid_query < 2; ++luid_query) {
            simhost::host::instance().reset();
            const auto a = add_ip_adapter(1);
            network().add_address(a.guid, "10.0.1.1", 24);
            network().set_call_hook(c.function, [&, skip = c.skip](unsigned call) {
                if (call == skip + 1)
                    network().fail_next(c.function, c.error);
            });
            ::SetLastError(0);
            if (luid_query == 0)
                EXPECT_TRUE(iphelper::get_ip_adapters().empty());
            else
                EXPECT_FALSE(iphelper::get_adapter_by_luid(luid_of(a)).has_value());
            EXPECT_EQ(::GetLastError(), c.error);
            EXPECT_EQ(network().call_count(iphelper_function::get_adapters_addresses),
                      c.adapters_addresses_calls);
        }
    }
}

// An overflow answer on the read is retried (here with the same size, which then fits).
TEST_F(adapter_info_test, overflow_on_the_read_is_retried)
{
    const auto a = add_ip_adapter(1);
    network().add_address(a.guid, "10.0.1.1", 24);
    network().set_call_hook(iphelper_function::get_adapters_addresses, [&](unsigned call) {
        if (call == 2)
            network().fail_next(iphelper_function::get_adapters_addresses, ERROR_BUFFER_OVERFLOW);
    });
    EXPECT_EQ(names_of(iphelper::get_ip_adapters()), std::vector<std::string>{a.guid});
    EXPECT_EQ(network().call_count(iphelper_function::get_adapters_addresses), 3u);
}

// A host without any interface: the size query answers 232 (no data), which ends the
// query with that code.
TEST_F(adapter_info_test, host_without_interfaces)
{
    ::SetLastError(0);
    EXPECT_TRUE(iphelper::get_ip_adapters().empty());
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
    EXPECT_EQ(network().call_count(iphelper_function::get_adapters_addresses), 1u);
}

TEST_F(adapter_info_test, successful_query_clears_the_last_error)
{
    const auto a = add_ip_adapter(1);
    network().add_address(a.guid, "10.0.1.1", 24);
    ::SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(iphelper::get_ip_adapters().size(), 1u);
    EXPECT_EQ(::GetLastError(), 0u);
}

TEST_F(adapter_info_test, interface_with_ipv4_disabled_reports_index_zero)
{
    simhost::interface_settings ip;
    ip.ipv4_enabled = false;
    const auto a = add_ip_adapter(1, ip);
    network().add_address(a.guid, "2001:db8::9", 64);
    const auto found = iphelper::get_adapter_by_luid(luid_of(a));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->if_index, 0u);
    EXPECT_EQ(found->ipv6_if_index, network().interface_of(a.guid).index_for(AF_INET6));
}
} // namespace
