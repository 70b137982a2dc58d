// The simulated host network answers IP Helper as Windows does: interfaces of the host's
// adapters, the adapter list with its size protocol, the best-route rule, the create and
// delete calls with their error codes, neighbour resolution, and interface change
// notifications with Windows' threading.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "host_network.h"
#include "packet_driver.h"
#include "platform.h"

namespace
{
namespace platform = netaccess::platform;
using simhost::iphelper_function;
using namespace std::chrono_literals;

class host_network_test : public ::testing::Test
{
protected:
    void SetUp() override { simhost::host::instance().reset(); }
    void TearDown() override
    {
        for (const auto& text : network().violations())
            ADD_FAILURE() << "IP Helper rule broken: " << text;
        EXPECT_EQ(network().open_tables(), 0u);
        simhost::host::instance().reset();
    }
    static simhost::host_network& network() { return simhost::host_network::instance(); }
    static simhost::host& host() { return simhost::host::instance(); }

    static simhost::adapter add(simhost::interface_settings ip = {}, simhost::mac_address mac = {})
    {
        simhost::adapter_spec spec;
        spec.ip = std::move(ip);
        spec.mac = mac;
        return host().add_adapter(spec);
    }
};

// ---- addresses as text -----------------------------------------------------------------

struct ip_text_case {
    const char* text;
    const char* printed;
};

TEST(ip_text, parse_and_print)
{
    const ip_text_case cases[] = {
        {"0.0.0.0", "0.0.0.0"},
        {"255.255.255.255", "255.255.255.255"},
        {"::", "::"},
        {"::1", "::1"},
        {"1::", "1::"},
        {"FE80::0001", "fe80::1"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
        {"::ffff:1.2.3.4", "::ffff:102:304"},
        {"fe80::1%7", "fe80::1%7"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(simhost::ip_text(simhost::parse_ip(c.text)), c.printed) << c.text;
    for (const char* bad : {"", "1.2.3", "1.2.3.256", "1.2.3.4.5", "01234.1.1.1", ":::", "1::2::3",
                            "1:2:3:4:5:6:7:8:9", "12345::", "g::", "1.2.3.4/"})
        EXPECT_THROW(simhost::parse_ip(bad), std::invalid_argument) << bad;
    EXPECT_EQ(simhost::prefix_text(simhost::parse_prefix("10.1.2.3/8")), "10.1.2.3/8");
    EXPECT_EQ(simhost::prefix_text(simhost::parse_prefix("2001:db8::1")), "2001:db8::1/128");
    EXPECT_THROW(simhost::parse_prefix("10.0.0.0/33"), std::invalid_argument);
    EXPECT_TRUE(
        simhost::same_prefix(simhost::parse_ip("10.255.0.1"), simhost::parse_ip("10.0.0.0"), 8));
    EXPECT_FALSE(
        simhost::same_prefix(simhost::parse_ip("10.255.0.1"), simhost::parse_ip("10.0.0.0"), 9));
}

// ---- interfaces --------------------------------------------------------------------------

// An adapter of the host is one interface for the driver and for IP Helper: the driver
// lists "\DEVICE\{GUID}", the adapter list names the GUID.
TEST_F(host_network_test, adapters_are_interfaces_under_the_same_guid)
{
    const auto a = add();
    const auto b = add();
    EXPECT_NE(a.luid, b.luid);
    EXPECT_NE(a.if_index, b.if_index);
    EXPECT_EQ(a.driver_name, "\\DEVICE\\" + a.guid);
    const auto ia = network().interface_of(a.guid);
    EXPECT_EQ(ia.luid.Value, a.luid);
    EXPECT_EQ(ia.if_index, a.if_index);
    EXPECT_EQ(ia.mac, a.mac);
    EXPECT_EQ(ia.mtu, a.mtu);
    EXPECT_EQ(network().interfaces().size(), 2u);

    host().remove_adapter(a.guid);
    EXPECT_FALSE(network().find_interface(a.guid).has_value());
    EXPECT_EQ(network().interfaces().size(), 1u);
}

TEST_F(host_network_test, luid_carries_the_interface_type)
{
    simhost::interface_settings wifi;
    wifi.if_type = 71;
    const auto a = add();
    const auto b = add();
    const auto c = add(wifi);
    NET_LUID la{}, lb{}, lc{};
    la.Value = a.luid;
    lb.Value = b.luid;
    lc.Value = c.luid;
    EXPECT_EQ(la.Info.IfType, 6u);
    EXPECT_EQ(lc.Info.IfType, 71u);
    EXPECT_EQ(la.Info.Reserved, 0u);
    EXPECT_NE(la.Info.NetLuidIndex, lb.Info.NetLuidIndex);
    EXPECT_GE(a.if_index, 11u);
}

TEST_F(host_network_test, explicit_index_and_unlisted_adapters)
{
    simhost::interface_settings ip;
    ip.if_index = 42;
    const auto a = add(ip);
    EXPECT_EQ(a.if_index, 42u);
    EXPECT_THROW(add(ip), std::invalid_argument);
    EXPECT_EQ(host().adapters().size(), 1u) << "the failed adapter is not half added";

    simhost::adapter_spec wan;
    wan.driver_name = simhost::ndiswan_ip_name;
    wan.ip.listed = false;
    const auto w = host().add_adapter(wan);
    EXPECT_EQ(w.luid, 0u);
    EXPECT_FALSE(network().find_interface(w.guid).has_value());
    EXPECT_NE(w.filter_handle, 0u);
}

TEST_F(host_network_test, removing_an_adapter_removes_its_rows)
{
    const auto a = add();
    const auto b = add();
    network().add_address(a.guid, "10.0.0.2", 24);
    network().add_default_gateway(a.guid, "10.0.0.1", {1, 2, 3, 4, 5, 6});
    network().add_neighbour(a.guid, "10.0.0.9", {1, 2, 3, 4, 5, 7});
    network().add_address(b.guid, "10.1.0.2", 24);
    host().remove_adapter(a.guid);
    const auto state = network().snapshot();
    ASSERT_EQ(state.addresses.size(), 1u);
    EXPECT_EQ(state.addresses[0].guid, b.guid);
    EXPECT_TRUE(state.routes.empty());
    EXPECT_TRUE(state.neighbours.empty());
}

TEST_F(host_network_test, interface_table_rows)
{
    simhost::interface_settings ip;
    ip.if_type = 71;
    ip.physical_medium = 9;
    ip.media_connect_state = 2;
    ip.oper_status = 2;
    ip.hardware_interface = true;
    ip.friendly_name = L"Wi-Fi";
    ip.description = L"Wireless adapter";
    ip.transmit_link_speed = 866000000;
    const simhost::mac_address mac{0xA4, 0xC3, 0xF0, 1, 2, 3};
    const auto a = add(ip, mac);

    MIB_IF_TABLE2* table = nullptr;
    ASSERT_EQ(platform::get_if_table2(&table), 0u);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->NumEntries, 1u);
    const MIB_IF_ROW2& row = table->Table[0];
    EXPECT_EQ(row.InterfaceLuid.Value, a.luid);
    EXPECT_EQ(row.InterfaceIndex, a.if_index);
    const GUID guid = network().interface_of(a.guid).interface_guid;
    EXPECT_EQ(std::memcmp(&row.InterfaceGuid, &guid, sizeof(GUID)), 0);
    char text[64];
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    EXPECT_EQ(text, a.guid);
    EXPECT_EQ(std::wstring(row.Alias), L"Wi-Fi");
    EXPECT_EQ(std::wstring(row.Description), L"Wireless adapter");
    EXPECT_EQ(row.PhysicalAddressLength, 6u);
    EXPECT_EQ(std::memcmp(row.PhysicalAddress, mac.data(), 6), 0);
    EXPECT_EQ(row.Type, 71u);
    EXPECT_EQ(row.PhysicalMediumType, 9);
    EXPECT_EQ(row.MediaConnectState, 2);
    EXPECT_EQ(row.OperStatus, 2);
    EXPECT_TRUE(row.InterfaceAndOperStatusFlags.HardwareInterface);
    EXPECT_EQ(row.Mtu, 1500u);
    EXPECT_EQ(row.TransmitLinkSpeed, 866000000u);
    EXPECT_EQ(network().open_tables(), 1u);
    platform::free_mib_table(table);
    EXPECT_EQ(network().open_tables(), 0u);

    platform::free_mib_table(table);
    EXPECT_EQ(network().take_violations().size(), 1u) << "freed twice";
}

// ---- the adapter list ----------------------------------------------------------------------

TEST_F(host_network_test, adapter_list_size_protocol)
{
    ULONG size = 0;
    EXPECT_EQ(platform::get_adapters_addresses(AF_UNSPEC, 0x186, nullptr, nullptr, &size),
              static_cast<ULONG>(ERROR_NO_DATA));
    EXPECT_EQ(platform::get_adapters_addresses(AF_UNSPEC, 0x186, nullptr, nullptr, nullptr),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));

    const auto a = add();
    network().add_address(a.guid, "10.0.0.2", 24);
    size = 0;
    ASSERT_EQ(platform::get_adapters_addresses(AF_UNSPEC, 0x186, nullptr, nullptr, &size),
              static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
    ASSERT_GT(size, sizeof(IP_ADAPTER_ADDRESSES));
    const ULONG required = size;

    std::vector<std::uint64_t> buffer(required / 8 + 1, 0);
    auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    size = required - 1;
    EXPECT_EQ(platform::get_adapters_addresses(AF_UNSPEC, 0x186, nullptr, list, &size),
              static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(size, required);
    EXPECT_EQ(list->Length, 0u) << "nothing written into a short buffer";

    // The list lives inside the buffer.
    std::memset(buffer.data(), 0xCC, buffer.size() * 8);
    size = required;
    ASSERT_EQ(platform::get_adapters_addresses(AF_UNSPEC, 0x186, nullptr, list, &size), 0u);
    const auto* begin = reinterpret_cast<const std::uint8_t*>(buffer.data());
    const auto inside = [&](const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        return b >= begin && b + n <= begin + required;
    };
    EXPECT_EQ(list->Length, sizeof(IP_ADAPTER_ADDRESSES));
    EXPECT_EQ(list->Next, nullptr);
    EXPECT_TRUE(inside(list->AdapterName, a.guid.size() + 1));
    EXPECT_EQ(std::string(list->AdapterName), a.guid);
    ASSERT_NE(list->FirstUnicastAddress, nullptr);
    EXPECT_TRUE(inside(list->FirstUnicastAddress, sizeof(IP_ADAPTER_UNICAST_ADDRESS)));
    EXPECT_TRUE(inside(list->FirstUnicastAddress->Address.lpSockaddr, sizeof(sockaddr_in)));
    EXPECT_EQ(list->FirstUnicastAddress->Address.iSockaddrLength, 16);
    EXPECT_EQ(list->FirstUnicastAddress->OnLinkPrefixLength, 24);
    EXPECT_EQ(list->FirstUnicastAddress->Next, nullptr);
    EXPECT_EQ(list->FirstDnsServerAddress, nullptr);
    EXPECT_EQ(list->FirstGatewayAddress, nullptr);
    EXPECT_EQ(list->Luid.Value, a.luid);
}

TEST_F(host_network_test, adapter_list_by_family_and_flags)
{
    simhost::interface_settings ip;
    ip.dns_servers = {"10.0.0.53", "fd00::53"};
    const auto a = add(ip);
    network().add_address(a.guid, "10.0.0.2", 24);
    network().add_address(a.guid, "fd00::2", 64);
    network().add_default_gateway(a.guid, "10.0.0.1", {1, 2, 3, 4, 5, 6});
    network().add_default_gateway(a.guid, "fd00::1", {1, 2, 3, 4, 5, 7});
    network().add_route(a.guid, "10.9.0.0/16", "10.0.0.9");

    struct family_case {
        ULONG family;
        ULONG flags;
        std::size_t addresses, dns, gateways;
    };
    const family_case cases[] = {
        {AF_UNSPEC, 0x186, 2, 2, 2},
        {AF_INET, 0x186, 1, 1, 1},
        {AF_INET6, 0x186, 1, 1, 1},
        {AF_UNSPEC, 0x106, 2, 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("family " + std::to_string(c.family) + " flags " + std::to_string(c.flags));
        ULONG size = 0;
        ASSERT_EQ(platform::get_adapters_addresses(c.family, c.flags, nullptr, nullptr, &size),
                  static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
        std::vector<std::uint64_t> buffer(size / 8 + 1, 0);
        auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
        ASSERT_EQ(platform::get_adapters_addresses(c.family, c.flags, nullptr, list, &size), 0u);
        std::size_t n = 0;
        for (auto* u = list->FirstUnicastAddress; u; u = u->Next)
            ++n;
        EXPECT_EQ(n, c.addresses);
        n = 0;
        for (auto* d = list->FirstDnsServerAddress; d; d = d->Next)
            ++n;
        EXPECT_EQ(n, c.dns);
        n = 0;
        for (auto* g = list->FirstGatewayAddress; g; g = g->Next)
            ++n;
        EXPECT_EQ(n, c.gateways) << "gateways are the next hops of default routes";
    }
}

// ---- routes ----------------------------------------------------------------------------------

struct best_case {
    const char* name;
    const char* destination;
    int winner; // index of the interface, -1: no route
};

TEST_F(host_network_test, best_route_rule)
{
    simhost::interface_settings costly;
    costly.metric = 200; // above the others' 25 plus their route metrics
    simhost::interface_settings down;
    down.oper_status = 2;
    const simhost::adapter a[] = {add(), add(), add(costly), add(down)};
    network().add_route(a[0].guid, "0.0.0.0/0", "192.168.0.1", 10);
    network().add_route(a[1].guid, "0.0.0.0/0", "192.168.1.1", 5);
    network().add_route(a[1].guid, "10.0.0.0/8", "192.168.1.1", 500);
    network().add_route(a[2].guid, "10.1.0.0/16", "", 0);
    network().add_route(a[2].guid, "172.16.0.0/12", "", 0);
    network().add_route(a[0].guid, "172.16.0.0/12", "", 90);
    network().add_route(a[3].guid, "10.1.2.0/24", "", 0);
    network().add_route(a[0].guid, "::/0", "fe80::1", 1);
    network().add_route(a[1].guid, "2001:db8::/32", "", 1000);

    const best_case cases[] = {
        {"lowest metric among default routes", "198.51.100.1", 1},
        {"longest prefix beats metric", "10.200.0.1", 1},
        {"longer prefix again", "10.1.9.9", 2},
        {"a down interface does not route", "10.1.2.3", 2},
        {"route metric plus interface metric", "172.16.5.5", 0},
        {"IPv6 default", "2001:db9::1", 0},
        {"IPv6 prefix", "2001:db8::1", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SOCKADDR_INET destination = simhost::parse_ip(c.destination);
        DWORD index = 0;
        ASSERT_EQ(
            platform::get_best_interface_ex(reinterpret_cast<sockaddr*>(&destination), &index), 0u);
        EXPECT_EQ(index, network().interface_of(a[c.winner].guid).index_for(destination.si_family))
            << "the index of the destination's family";
        MIB_IPFORWARD_ROW2 route{};
        SOCKADDR_INET source{};
        ASSERT_EQ(platform::get_best_route2(nullptr, 0, nullptr, &destination, 0, &route, &source),
                  0u);
        EXPECT_EQ(route.InterfaceLuid.Value, a[c.winner].luid);
    }
}

TEST_F(host_network_test, best_route_through_one_interface)
{
    const auto a = add();
    const auto b = add();
    network().add_address(b.guid, "fe80::b", 64);
    network().add_address(b.guid, "192.168.1.20", 24);
    network().add_address(b.guid, "192.168.1.21", 24);
    network().add_route(a.guid, "0.0.0.0/0", "192.168.0.1", 1);
    network().add_route(b.guid, "0.0.0.0/0", "192.168.1.1", 50);
    SOCKADDR_INET destination = simhost::parse_ip("198.51.100.1");
    MIB_IPFORWARD_ROW2 route{};
    SOCKADDR_INET source{};

    ASSERT_EQ(
        platform::get_best_route2(nullptr, b.if_index, nullptr, &destination, 0, &route, &source),
        0u);
    EXPECT_EQ(route.InterfaceIndex, b.if_index);
    EXPECT_EQ(route.Metric, 50u);
    EXPECT_EQ(simhost::ip_text(route.NextHop), "192.168.1.1");
    EXPECT_EQ(simhost::ip_text(source), "192.168.1.20") << "first address of the family";

    NET_LUID luid{};
    luid.Value = b.luid;
    ASSERT_EQ(platform::get_best_route2(&luid, 0, nullptr, &destination, 0, &route, &source), 0u);
    EXPECT_EQ(route.InterfaceLuid.Value, b.luid);

    const auto c = add();
    EXPECT_EQ(
        platform::get_best_route2(nullptr, c.if_index, nullptr, &destination, 0, &route, &source),
        static_cast<DWORD>(ERROR_NETWORK_UNREACHABLE));
    EXPECT_EQ(platform::get_best_route2(nullptr, 999, nullptr, &destination, 0, &route, &source),
              static_cast<DWORD>(ERROR_NOT_FOUND));
    SOCKADDR_INET v6 = simhost::parse_ip("2001:db8::1");
    DWORD index = 0;
    EXPECT_EQ(platform::get_best_interface_ex(reinterpret_cast<sockaddr*>(&v6), &index),
              static_cast<DWORD>(ERROR_NETWORK_UNREACHABLE));
}

// ---- create and delete -------------------------------------------------------------------------

MIB_UNICASTIPADDRESS_ROW address_row(const simhost::adapter& a, const char* text,
                                     std::uint8_t length)
{
    MIB_UNICASTIPADDRESS_ROW row;
    platform::initialize_unicast_ip_address_entry(&row);
    row.Address = simhost::parse_ip(text);
    row.InterfaceLuid.Value = a.luid;
    row.PrefixOrigin = IpPrefixOriginManual;
    row.SuffixOrigin = IpSuffixOriginManual;
    row.OnLinkPrefixLength = length;
    row.DadState = IpDadStatePreferred;
    return row;
}

TEST_F(host_network_test, initialize_functions_set_the_documented_defaults)
{
    MIB_UNICASTIPADDRESS_ROW address;
    std::memset(&address, 0xAB, sizeof(address));
    platform::initialize_unicast_ip_address_entry(&address);
    MIB_UNICASTIPADDRESS_ROW expected_address{};
    expected_address.PrefixOrigin = IpPrefixOriginUnchanged;
    expected_address.SuffixOrigin = IpSuffixOriginUnchanged;
    expected_address.ValidLifetime = 0xFFFFFFFF;
    expected_address.PreferredLifetime = 0xFFFFFFFF;
    expected_address.OnLinkPrefixLength = 0xFF;
    EXPECT_EQ(std::memcmp(&address, &expected_address, sizeof(address)), 0);

    MIB_IPFORWARD_ROW2 route;
    std::memset(&route, 0xAB, sizeof(route));
    platform::initialize_ip_forward_entry(&route);
    EXPECT_EQ(route.InterfaceLuid.Value, 0u);
    EXPECT_EQ(route.DestinationPrefix.Prefix.si_family, 0);
    EXPECT_EQ(route.DestinationPrefix.PrefixLength, 0);
    EXPECT_EQ(route.ValidLifetime, 0xFFFFFFFFu);
    EXPECT_EQ(route.PreferredLifetime, 0xFFFFFFFFu);
    EXPECT_TRUE(route.Loopback);
    EXPECT_TRUE(route.AutoconfigureAddress);
    EXPECT_FALSE(route.Publish);
    EXPECT_TRUE(route.Immortal);
    EXPECT_EQ(route.Age, 0u);
    EXPECT_EQ(route.Origin, NlroManual);
}

TEST_F(host_network_test, unicast_address_create_and_delete)
{
    const auto a = add();
    const auto before = network().snapshot();
    auto row = address_row(a, "10.8.0.2", 24);
    EXPECT_EQ(platform::create_unicast_ip_address_entry(&row), 0u);
    EXPECT_EQ(platform::create_unicast_ip_address_entry(&row),
              static_cast<DWORD>(ERROR_OBJECT_ALREADY_EXISTS));
    const auto during = network().snapshot();
    ASSERT_EQ(during.addresses.size(), 1u);
    EXPECT_EQ(during.addresses[0], (simhost::address_row{a.guid, "10.8.0.2", 24, 1, 1, 4,
                                                         0xFFFFFFFF, 0xFFFFFFFF, false}));
    EXPECT_NE(during, before);

    MIB_UNICASTIPADDRESS_TABLE* table = nullptr;
    ASSERT_EQ(platform::get_unicast_ip_address_table(AF_INET, &table), 0u);
    ASSERT_EQ(table->NumEntries, 1u);
    EXPECT_EQ(table->Table[0].InterfaceIndex, a.if_index) << "filled in from the LUID";
    platform::free_mib_table(table);
    EXPECT_EQ(platform::get_unicast_ip_address_table(AF_INET6, &table),
              static_cast<DWORD>(ERROR_NOT_FOUND));

    EXPECT_EQ(platform::delete_unicast_ip_address_entry(&row), 0u);
    EXPECT_EQ(platform::delete_unicast_ip_address_entry(&row), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_EQ(network().snapshot(), before);

    // By index alone, and on an interface that does not exist.
    row.InterfaceLuid.Value = 0;
    row.InterfaceIndex = a.if_index;
    EXPECT_EQ(platform::create_unicast_ip_address_entry(&row), 0u);
    row.InterfaceIndex = 9999;
    EXPECT_EQ(platform::delete_unicast_ip_address_entry(&row), static_cast<DWORD>(ERROR_NOT_FOUND));
    row.InterfaceIndex = 0;
    EXPECT_EQ(platform::delete_unicast_ip_address_entry(&row),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    auto bad = address_row(a, "10.8.0.3", 33);
    EXPECT_EQ(platform::create_unicast_ip_address_entry(&bad),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(host_network_test, row_naming_two_interfaces_is_a_violation)
{
    const auto a = add();
    const auto b = add();
    auto row = address_row(a, "10.8.0.2", 24);
    row.InterfaceIndex = b.if_index;
    EXPECT_EQ(platform::create_unicast_ip_address_entry(&row), 0u);
    EXPECT_EQ(network().snapshot().addresses.at(0).guid, a.guid) << "the LUID counts";
    EXPECT_EQ(network().take_violations().size(), 1u);
}

TEST_F(host_network_test, an_ipv6_row_takes_the_ipv6_index_not_the_ipv4_one)
{
    const auto a = add();
    const auto i = network().interface_of(a.guid);
    EXPECT_NE(i.ipv6_if_index, i.if_index);
    auto row = address_row(a, "fd00::2", 64);
    row.InterfaceIndex = i.if_index;
    EXPECT_EQ(platform::create_unicast_ip_address_entry(&row), 0u);
    EXPECT_EQ(network().take_violations().size(), 1u) << "the IPv4 index on an IPv6 row";
    row.InterfaceLuid.Value = 0;
    EXPECT_EQ(platform::delete_unicast_ip_address_entry(&row), static_cast<DWORD>(ERROR_NOT_FOUND));
    row.InterfaceIndex = i.ipv6_if_index;
    EXPECT_EQ(platform::delete_unicast_ip_address_entry(&row), 0u);
    EXPECT_TRUE(network().violations().empty());
}

MIB_IPFORWARD_ROW2 route_row(const simhost::adapter& a, const char* prefix, const char* next_hop)
{
    MIB_IPFORWARD_ROW2 row;
    platform::initialize_ip_forward_entry(&row);
    row.InterfaceLuid.Value = a.luid;
    const auto p = simhost::parse_prefix(prefix);
    row.DestinationPrefix.Prefix = p.address;
    row.DestinationPrefix.PrefixLength = p.length;
    if (next_hop[0] != '\0')
        row.NextHop = simhost::parse_ip(next_hop);
    else
        row.NextHop.si_family = p.address.si_family;
    row.SitePrefixLength = 0;
    row.Metric = 1;
    row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(MIB_IPPROTO_NT_STATIC);
    row.Origin = NlroManual;
    return row;
}

TEST_F(host_network_test, route_create_and_delete)
{
    const auto a = add();
    const auto b = add();
    const auto before = network().snapshot();
    auto def = route_row(a, "0.0.0.0/0", "10.8.0.1");
    EXPECT_EQ(platform::create_ip_forward_entry2(&def), 0u);
    EXPECT_EQ(platform::create_ip_forward_entry2(&def),
              static_cast<DWORD>(ERROR_OBJECT_ALREADY_EXISTS));
    auto other_hop = route_row(a, "0.0.0.0/0", "10.8.0.254");
    EXPECT_EQ(platform::create_ip_forward_entry2(&other_hop), 0u) << "another next hop";
    auto on_b = route_row(b, "0.0.0.0/0", "10.8.0.1");
    EXPECT_EQ(platform::create_ip_forward_entry2(&on_b), 0u) << "another interface";
    auto host_bits = route_row(a, "10.1.2.3/8", "");
    EXPECT_EQ(platform::create_ip_forward_entry2(&host_bits), 0u);
    auto same_prefix = route_row(a, "10.0.0.0/8", "");
    EXPECT_EQ(platform::create_ip_forward_entry2(&same_prefix),
              static_cast<DWORD>(ERROR_OBJECT_ALREADY_EXISTS));
    auto mixed = route_row(a, "::/0", "10.8.0.1");
    EXPECT_EQ(platform::create_ip_forward_entry2(&mixed),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    const auto state = network().snapshot();
    ASSERT_EQ(state.routes.size(), 4u);
    const simhost::route_row expected{a.guid,     "10.1.2.3/8", "",   1,    10006, 0,   0,
                                      0xFFFFFFFF, 0xFFFFFFFF,   true, true, false, true};
    EXPECT_NE(std::find(state.routes.begin(), state.routes.end(), expected), state.routes.end())
        << state;

    MIB_IPFORWARD_TABLE2* table = nullptr;
    ASSERT_EQ(platform::get_ip_forward_table2(AF_UNSPEC, &table), 0u);
    EXPECT_EQ(table->NumEntries, 4u);
    platform::free_mib_table(table);

    for (auto* row : {&def, &other_hop, &on_b, &host_bits})
        EXPECT_EQ(platform::delete_ip_forward_entry2(row), 0u);
    EXPECT_EQ(platform::delete_ip_forward_entry2(&def), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_EQ(network().snapshot(), before);
    EXPECT_EQ(platform::get_ip_forward_table2(AF_UNSPEC, &table),
              static_cast<DWORD>(ERROR_NOT_FOUND));
}

TEST_F(host_network_test, neighbour_create_delete_and_resolution)
{
    const simhost::mac_address gateway{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    const simhost::mac_address pinned{0x5F, 0x64, 0x75, 0x6D, 0x6D, 0x79};
    const auto a = add();
    network().add_default_gateway(a.guid, "10.0.0.1", gateway);

    MIB_IPNET_ROW2 ask{};
    ask.Address = simhost::parse_ip("10.0.0.1");
    ask.InterfaceLuid.Value = a.luid;
    ASSERT_EQ(platform::resolve_ip_net_entry2(&ask, nullptr), 0u);
    EXPECT_EQ(std::memcmp(ask.PhysicalAddress, gateway.data(), 6), 0);
    EXPECT_EQ(ask.PhysicalAddressLength, 6u);
    EXPECT_EQ(ask.State, NlnsReachable);
    EXPECT_TRUE(ask.IsRouter);
    EXPECT_EQ(ask.InterfaceIndex, a.if_index);
    EXPECT_TRUE(network().snapshot().neighbours.empty()) << "resolution leaves no entry behind";

    MIB_IPNET_ROW2 entry{};
    entry.Address = simhost::parse_ip("10.0.0.1");
    entry.InterfaceLuid.Value = a.luid;
    entry.InterfaceIndex = a.if_index;
    std::memcpy(entry.PhysicalAddress, pinned.data(), 6);
    entry.PhysicalAddressLength = 6;
    entry.State = NlnsPermanent;
    entry.IsRouter = TRUE;
    entry.IsUnreachable = TRUE;
    ASSERT_EQ(platform::create_ip_net_entry2(&entry), 0u);
    EXPECT_EQ(platform::create_ip_net_entry2(&entry),
              static_cast<DWORD>(ERROR_OBJECT_ALREADY_EXISTS));
    const auto state = network().snapshot();
    ASSERT_EQ(state.neighbours.size(), 1u);
    EXPECT_EQ(state.neighbours[0],
              (simhost::neighbour_row{
                  a.guid, "10.0.0.1", {0x5F, 0x64, 0x75, 0x6D, 0x6D, 0x79}, 6, true, true}));

    MIB_IPNET_ROW2 again{};
    again.Address = simhost::parse_ip("10.0.0.1");
    again.InterfaceLuid.Value = a.luid;
    ASSERT_EQ(platform::resolve_ip_net_entry2(&again, nullptr), 0u);
    EXPECT_EQ(std::memcmp(again.PhysicalAddress, pinned.data(), 6), 0) << "the table answers first";
    EXPECT_EQ(again.State, NlnsPermanent);

    EXPECT_EQ(platform::delete_ip_net_entry2(&entry), 0u);
    EXPECT_EQ(platform::delete_ip_net_entry2(&entry), static_cast<DWORD>(ERROR_NOT_FOUND));

    MIB_IPNET_ROW2 nobody{};
    nobody.Address = simhost::parse_ip("10.0.0.77");
    nobody.InterfaceLuid.Value = a.luid;
    EXPECT_EQ(platform::resolve_ip_net_entry2(&nobody, nullptr),
              static_cast<DWORD>(ERROR_BAD_NET_NAME));
    network().set_oper_status(a.guid, 2);
    EXPECT_EQ(platform::resolve_ip_net_entry2(&ask, nullptr),
              static_cast<DWORD>(ERROR_BAD_NET_NAME))
        << "nothing answers on a link that is down";
}

// ---- failures, hooks and the call record
// ----------------------------------------------------------

TEST_F(host_network_test, injected_failures_change_nothing)
{
    const auto a = add();
    const auto before = network().snapshot();
    network().fail_next(iphelper_function::create_unicast_ip_address_entry,
                        ERROR_OBJECT_ALREADY_EXISTS, 2);
    auto row = address_row(a, "10.8.0.2", 24);
    EXPECT_EQ(platform::create_unicast_ip_address_entry(&row),
              static_cast<DWORD>(ERROR_OBJECT_ALREADY_EXISTS));
    EXPECT_EQ(platform::create_unicast_ip_address_entry(&row),
              static_cast<DWORD>(ERROR_OBJECT_ALREADY_EXISTS));
    EXPECT_EQ(network().snapshot(), before);
    EXPECT_EQ(platform::create_unicast_ip_address_entry(&row), 0u);

    const auto calls = network().calls(iphelper_function::create_unicast_ip_address_entry);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].result, static_cast<DWORD>(ERROR_OBJECT_ALREADY_EXISTS));
    EXPECT_EQ(calls[2].result, 0u);
    EXPECT_EQ(calls[2].guid, a.guid);
    EXPECT_EQ(
        std::memcmp(&std::get<MIB_UNICASTIPADDRESS_ROW>(calls[2].arguments), &row, sizeof(row)), 0);
    EXPECT_LT(calls[0].number, calls[1].number);
    EXPECT_STREQ(simhost::function_name(calls[0].function), "CreateUnicastIpAddressEntry");
}

TEST_F(host_network_test, hooks_run_outside_the_lock_with_call_counts)
{
    std::vector<unsigned> seen;
    network().set_call_hook(iphelper_function::get_if_table2, [&](unsigned call) {
        seen.push_back(call);
        add(); // the hook may change the host
    });
    for (int i = 0; i < 3; ++i) {
        MIB_IF_TABLE2* table = nullptr;
        ASSERT_EQ(platform::get_if_table2(&table), 0u);
        EXPECT_EQ(table->NumEntries, static_cast<ULONG>(i + 1));
        platform::free_mib_table(table);
    }
    EXPECT_EQ(seen, (std::vector<unsigned>{1, 2, 3}));
}

// ---- notifications
// ----------------------------------------------------------------------------------

struct recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<MIB_IPINTERFACE_ROW> rows;
    std::vector<bool> with_row;
    std::vector<MIB_NOTIFICATION_TYPE> types;
    std::set<std::thread::id> threads;
    std::atomic<int> inside{0};
    int most_inside = 0;
    bool block = false; // callbacks wait until released
    bool released = false;

    static void WINAPI callback(void* context, MIB_IPINTERFACE_ROW* row, MIB_NOTIFICATION_TYPE type)
    {
        auto* self = static_cast<recorder*>(context);
        const int now = ++self->inside;
        std::unique_lock lock(self->mutex);
        self->most_inside = std::max(self->most_inside, now);
        self->rows.push_back(row != nullptr ? *row : MIB_IPINTERFACE_ROW{});
        self->with_row.push_back(row != nullptr);
        self->types.push_back(type);
        self->threads.insert(std::this_thread::get_id());
        self->changed.notify_all();
        self->changed.wait(lock, [&] { return !self->block || self->released; });
        --self->inside;
    }

    bool wait_for(std::size_t count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return rows.size() >= count; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    std::size_t count()
    {
        std::lock_guard lock(mutex);
        return rows.size();
    }
};

TEST_F(host_network_test, notifications_arrive_on_other_threads)
{
    const auto a = add();
    recorder r;
    HANDLE handle = nullptr;
    ASSERT_EQ(
        platform::notify_ip_interface_change(AF_UNSPEC, &recorder::callback, &r, FALSE, &handle),
        0u);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(network().registration_count(), 1u);

    network().fire_interface_change(a.guid, AF_INET);
    network().fire_interface_change(a.guid, AF_INET6, MibAddInstance);
    ASSERT_TRUE(network().wait_for_notifications());
    ASSERT_EQ(r.count(), 2u);
    EXPECT_EQ(r.threads.count(std::this_thread::get_id()), 0u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(r.with_row[i]);
        EXPECT_EQ(r.rows[i].InterfaceLuid.Value, a.luid);
        EXPECT_EQ(r.rows[i].InterfaceIndex, network().interface_of(a.guid).index_for(r.rows[i].Family));
    }
    std::set<ADDRESS_FAMILY> families{r.rows[0].Family, r.rows[1].Family};
    EXPECT_EQ(families, (std::set<ADDRESS_FAMILY>{AF_INET, AF_INET6}));
    EXPECT_EQ(network().notifications_delivered(), 2u);

    EXPECT_EQ(platform::cancel_mib_change_notify2(handle), 0u);
    network().fire_interface_change(a.guid);
    ASSERT_TRUE(network().wait_for_notifications());
    EXPECT_EQ(r.count(), 2u) << "nothing after the cancellation";
    EXPECT_EQ(network().registration_count(), 0u);
}

TEST_F(host_network_test, registrations_by_family_and_initial_notification)
{
    const auto a = add();
    recorder v4, v6, initial;
    HANDLE h4 = nullptr, h6 = nullptr, hi = nullptr;
    ASSERT_EQ(platform::notify_ip_interface_change(AF_INET, &recorder::callback, &v4, FALSE, &h4),
              0u);
    ASSERT_EQ(platform::notify_ip_interface_change(AF_INET6, &recorder::callback, &v6, FALSE, &h6),
              0u);
    ASSERT_EQ(
        platform::notify_ip_interface_change(AF_UNSPEC, &recorder::callback, &initial, TRUE, &hi),
        0u);
    EXPECT_NE(h4, h6);
    ASSERT_TRUE(network().wait_for_notifications());
    ASSERT_EQ(initial.count(), 1u);
    EXPECT_FALSE(initial.with_row[0]);
    EXPECT_EQ(initial.types[0], MibInitialNotification);

    network().fire_interface_change(a.guid, AF_INET);
    ASSERT_TRUE(network().wait_for_notifications());
    EXPECT_EQ(v4.count(), 1u);
    EXPECT_EQ(v6.count(), 0u);
    EXPECT_EQ(initial.count(), 2u);

    for (HANDLE h : {h4, h6, hi})
        EXPECT_EQ(platform::cancel_mib_change_notify2(h), 0u);
    const auto registrations = network().calls(iphelper_function::notify_ip_interface_change);
    ASSERT_EQ(registrations.size(), 3u);
    const auto& q = std::get<simhost::notify_query>(registrations[2].arguments);
    EXPECT_EQ(q.family, AF_UNSPEC);
    EXPECT_EQ(q.context, &initial);
    EXPECT_TRUE(q.initial_notification);
    EXPECT_EQ(q.handle, hi);
}

TEST_F(host_network_test, cancellation_errors)
{
    EXPECT_EQ(platform::cancel_mib_change_notify2(nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(platform::cancel_mib_change_notify2(reinterpret_cast<HANDLE>(0x1234)),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    recorder r;
    HANDLE handle = nullptr;
    ASSERT_EQ(
        platform::notify_ip_interface_change(AF_UNSPEC, &recorder::callback, &r, FALSE, &handle),
        0u);
    EXPECT_EQ(platform::cancel_mib_change_notify2(handle), 0u);
    EXPECT_EQ(platform::cancel_mib_change_notify2(handle),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(network().take_violations().size(), 1u) << "cancelled twice";
    EXPECT_EQ(platform::notify_ip_interface_change(AF_UNSPEC, nullptr, &r, FALSE, &handle),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    network().fail_next(iphelper_function::notify_ip_interface_change, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(
        platform::notify_ip_interface_change(AF_UNSPEC, &recorder::callback, &r, FALSE, &handle),
        static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(network().registration_count(), 0u);
}

// Cancelling waits for a callback that is running, as Windows does.
TEST_F(host_network_test, cancellation_waits_for_a_running_callback)
{
    const auto a = add();
    recorder r;
    r.block = true;
    HANDLE handle = nullptr;
    ASSERT_EQ(
        platform::notify_ip_interface_change(AF_UNSPEC, &recorder::callback, &r, FALSE, &handle),
        0u);
    network().fire_interface_change(a.guid);
    ASSERT_TRUE(r.wait_for(1));

    auto cancelled =
        std::async(std::launch::async, [&] { return platform::cancel_mib_change_notify2(handle); });
    EXPECT_EQ(cancelled.wait_for(200ms), std::future_status::timeout)
        << "returned while the callback still runs";
    r.release();
    ASSERT_EQ(cancelled.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(cancelled.get(), 0u);
    EXPECT_EQ(r.inside.load(), 0);
    ASSERT_TRUE(network().wait_for_notifications());
}

// Notifications are not serialised: two can run at once, as on Windows' thread pool.
TEST_F(host_network_test, callbacks_can_run_at_the_same_time)
{
    const auto a = add();
    recorder r;
    r.block = true;
    HANDLE handle = nullptr;
    ASSERT_EQ(
        platform::notify_ip_interface_change(AF_UNSPEC, &recorder::callback, &r, FALSE, &handle),
        0u);
    network().fire_interface_change(a.guid);
    network().fire_interface_change(a.guid);
    ASSERT_TRUE(r.wait_for(2));
    EXPECT_EQ(r.most_inside, 2);
    EXPECT_FALSE(network().wait_for_notifications(50ms));
    r.release();
    ASSERT_TRUE(network().wait_for_notifications());
    EXPECT_EQ(r.threads.size(), 2u);
    EXPECT_EQ(platform::cancel_mib_change_notify2(handle), 0u);
}

struct self_cancel {
    HANDLE handle = nullptr;
    std::atomic<DWORD> result{0xFFFFFFFF};
    static void WINAPI callback(void* context, MIB_IPINTERFACE_ROW*, MIB_NOTIFICATION_TYPE)
    {
        auto* self = static_cast<self_cancel*>(context);
        self->result = platform::cancel_mib_change_notify2(self->handle);
    }
};

// On Windows a callback that cancels its own registration waits for itself; the model
// reports it instead of hanging.
TEST_F(host_network_test, cancelling_inside_the_own_callback_is_reported)
{
    const auto a = add();
    self_cancel s;
    ASSERT_EQ(platform::notify_ip_interface_change(AF_UNSPEC, &self_cancel::callback, &s, FALSE,
                                                   &s.handle),
              0u);
    network().fire_interface_change(a.guid);
    ASSERT_TRUE(network().wait_for_notifications());
    EXPECT_EQ(s.result.load(), 0u);
    EXPECT_EQ(network().take_violations().size(), 1u);
}

TEST_F(host_network_test, reset_ends_registrations_and_waits_for_callbacks)
{
    const auto a = add();
    recorder r;
    r.block = true;
    HANDLE handle = nullptr;
    ASSERT_EQ(
        platform::notify_ip_interface_change(AF_UNSPEC, &recorder::callback, &r, FALSE, &handle),
        0u);
    network().fire_interface_change(a.guid);
    ASSERT_TRUE(r.wait_for(1));
    auto reset = std::async(std::launch::async, [] { simhost::host::instance().reset(); });
    EXPECT_EQ(reset.wait_for(100ms), std::future_status::timeout);
    r.release();
    ASSERT_EQ(reset.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(network().registration_count(), 0u);
}

// ---- thread safety
// ------------------------------------------------------------------------------------

TEST_F(host_network_test, concurrent_callers)
{
    const auto a = add();
    network().add_route(a.guid, "0.0.0.0/0", "10.0.0.1");
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::string text =
                    "10.1." + std::to_string(t) + "." + std::to_string(i % 250 + 1);
                auto row = address_row(a, text.c_str(), 16);
                if (platform::create_unicast_ip_address_entry(&row) != 0)
                    failed = true;
                ULONG size = 0;
                platform::get_adapters_addresses(AF_UNSPEC, 0x186, nullptr, nullptr, &size);
                std::vector<std::uint64_t> buffer(size / 8 + 64, 0);
                ULONG big = static_cast<ULONG>(buffer.size() * 8);
                const ULONG result = platform::get_adapters_addresses(
                    AF_UNSPEC, 0x186, nullptr,
                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &big);
                if (result != 0 && result != ERROR_BUFFER_OVERFLOW)
                    failed = true;
                if (platform::delete_unicast_ip_address_entry(&row) != 0)
                    failed = true;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(failed.load());
    EXPECT_TRUE(network().snapshot().addresses.empty());
}

TEST_F(host_network_test, snapshot_prints_its_rows)
{
    const auto a = add();
    network().add_address(a.guid, "10.0.0.2", 24);
    network().add_default_gateway(a.guid, "10.0.0.1", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    network().add_neighbour(a.guid, "10.0.0.1", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    std::ostringstream text;
    text << network().snapshot();
    EXPECT_NE(text.str().find("address 10.0.0.2/24"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("route 0.0.0.0/0 via 10.0.0.1"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("AA:BB:CC:DD:EE:FF"), std::string::npos) << text.str();
}
} // namespace
