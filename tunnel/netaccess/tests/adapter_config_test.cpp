// Creating an interface address, clearing an interface's configuration, and comparing
// unicast address lists, against the simulated host network.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapter_config.h"
#include "adapter_info.h"
#include "test_support.h"

namespace
{
using simhost::iphelper_function;
using test_support::add_ip_adapter;
using test_support::luid_of;

using adapter_config_test = test_support::simulated_host_test;

iphelper::adapter_info record_of(const simhost::adapter& a)
{
    auto found = iphelper::get_adapter_by_luid(luid_of(a));
    EXPECT_TRUE(found.has_value());
    return found.value_or(iphelper::adapter_info{});
}

IN6_ADDR ipv6(const char* text)
{
    return simhost::parse_ip(text).Ipv6.sin6_addr;
}

std::uint32_t ipv4(const char* text)
{
    return simhost::parse_ip(text).Ipv4.sin_addr.s_addr;
}

// The row that create_unicast_address hands to CreateUnicastIpAddressEntry: the
// defaults of InitializeUnicastIpAddressEntry with the fields it fills.
MIB_UNICASTIPADDRESS_ROW expected_row(const char* address, std::uint32_t if_index,
                                      std::uint64_t luid, std::uint8_t prefix_length)
{
    MIB_UNICASTIPADDRESS_ROW row{};
    row.Address = simhost::parse_ip(address);
    row.InterfaceIndex = if_index;
    row.InterfaceLuid.Value = luid;
    row.PrefixOrigin = IpPrefixOriginManual;
    row.SuffixOrigin = IpSuffixOriginManual;
    row.ValidLifetime = 0xFFFFFFFF;
    row.PreferredLifetime = 0xFFFFFFFF;
    row.OnLinkPrefixLength = prefix_length;
    row.SkipAsSource = FALSE;
    row.DadState = IpDadStatePreferred;
    return row;
}

void expect_same_row(const MIB_UNICASTIPADDRESS_ROW& actual,
                     const MIB_UNICASTIPADDRESS_ROW& expected)
{
    EXPECT_EQ(simhost::ip_text(actual.Address), simhost::ip_text(expected.Address));
    EXPECT_EQ(actual.InterfaceIndex, expected.InterfaceIndex);
    EXPECT_EQ(actual.InterfaceLuid.Value, expected.InterfaceLuid.Value);
    EXPECT_EQ(actual.PrefixOrigin, expected.PrefixOrigin);
    EXPECT_EQ(actual.SuffixOrigin, expected.SuffixOrigin);
    EXPECT_EQ(actual.OnLinkPrefixLength, expected.OnLinkPrefixLength);
    EXPECT_EQ(actual.DadState, expected.DadState);
    EXPECT_EQ(std::memcmp(&actual, &expected, sizeof(actual)), 0) << "some other byte differs";
}

TEST_F(adapter_config_test, ipv4_address_row_has_its_exact_fields)
{
    simhost::interface_settings ip;
    ip.if_index = 23;
    const auto a = add_ip_adapter(1, ip);
    network().add_address(a.guid, "192.168.1.20", 24);
    const auto record = record_of(a);
    network().clear_calls();

    const auto row = iphelper::create_unicast_address(record, ipv4("10.8.0.2"), 24);
    ASSERT_NE(row, nullptr);
    const auto expected = expected_row("10.8.0.2", 23, a.luid, 24);
    expect_same_row(*row, expected);

    const auto calls = network().calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].function, iphelper_function::initialize_unicast_ip_address_entry);
    EXPECT_EQ(calls[1].function, iphelper_function::create_unicast_ip_address_entry);
    expect_same_row(std::get<MIB_UNICASTIPADDRESS_ROW>(calls[1].arguments), expected);

    const auto state = network().snapshot();
    ASSERT_EQ(state.addresses.size(), 2u);
    const simhost::address_row created{a.guid,
                                       "10.8.0.2",
                                       24,
                                       IpPrefixOriginManual,
                                       IpSuffixOriginManual,
                                       IpDadStatePreferred,
                                       0xFFFFFFFF,
                                       0xFFFFFFFF,
                                       false};
    EXPECT_NE(std::find(state.addresses.begin(), state.addresses.end(), created),
              state.addresses.end())
        << state;
}

TEST_F(adapter_config_test, ipv6_address_row_uses_the_ipv6_interface_index)
{
    simhost::interface_settings ip;
    ip.if_index = 31;
    const auto a = add_ip_adapter(1, ip);
    network().add_address(a.guid, "fe80::5", 64);
    auto record = record_of(a);
    network().clear_calls();

    const auto row = iphelper::create_unicast_address(record, ipv6("fd00:8::2"), 112);
    ASSERT_NE(row, nullptr);
    const std::uint32_t ipv6_index = network().interface_of(a.guid).index_for(AF_INET6);
    ASSERT_NE(ipv6_index, 31u);
    const auto expected = expected_row("fd00:8::2", ipv6_index, a.luid, 112);
    expect_same_row(*row, expected);
    expect_same_row(
        std::get<MIB_UNICASTIPADDRESS_ROW>(
            network().calls(iphelper_function::create_unicast_ip_address_entry)[0].arguments),
        expected);
}

// The two overloads take the index of their own family from the record.
TEST_F(adapter_config_test, each_family_takes_its_own_index)
{
    const auto a = add_ip_adapter(1);
    iphelper::adapter_info record;
    record.luid = a.luid;
    record.if_index = 0; // as for an interface without IPv4
    record.ipv6_if_index = network().interface_of(a.guid).index_for(AF_INET6);
    ASSERT_NE(iphelper::create_unicast_address(record, ipv6("2001:db8::1"), 64), nullptr);
    ASSERT_NE(iphelper::create_unicast_address(record, ipv4("10.0.0.1"), 8), nullptr);
    const auto calls = network().calls(iphelper_function::create_unicast_ip_address_entry);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(std::get<MIB_UNICASTIPADDRESS_ROW>(calls[0].arguments).InterfaceIndex, record.ipv6_if_index);
    EXPECT_EQ(std::get<MIB_UNICASTIPADDRESS_ROW>(calls[1].arguments).InterfaceIndex, 0u);
}

struct create_result_case {
    const char* name;
    DWORD injected; // 0: none
    bool exists; // the address is on the interface before the call
    bool row; // a row is returned
    DWORD last_error;
};

// 0 and 5010 (exists already) give the row; anything else gives null and the code.
TEST_F(adapter_config_test, results_of_the_create_call)
{
    const create_result_case cases[] = {
        {"created", 0, false, true, 0},
        {"exists on the host", 0, true, true, 0},
        {"answered 5010", ERROR_OBJECT_ALREADY_EXISTS, false, true, 0},
        {"access denied", ERROR_ACCESS_DENIED, false, false, ERROR_ACCESS_DENIED},
        {"invalid parameter", ERROR_INVALID_PARAMETER, false, false, ERROR_INVALID_PARAMETER},
        {"interface gone", ERROR_NOT_FOUND, false, false, ERROR_NOT_FOUND},
        {"not supported", ERROR_NOT_SUPPORTED, false, false, ERROR_NOT_SUPPORTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int family = 0; family < 2; ++family) {
            simhost::host::instance().reset();
            const auto a = add_ip_adapter(1);
            network().add_address(a.guid, "192.168.1.20", 24);
            const char* address = family == 0 ? "10.8.0.2" : "fd00::2";
            if (c.exists)
                network().add_address(a.guid, address, family == 0 ? 24 : 64);
            const auto record = record_of(a);
            const auto before = network().snapshot();
            if (c.injected != 0)
                network().fail_next(iphelper_function::create_unicast_ip_address_entry, c.injected);
            ::SetLastError(12345);
            const auto row = family == 0
                                 ? iphelper::create_unicast_address(record, ipv4(address), 24)
                                 : iphelper::create_unicast_address(record, ipv6(address), 64);
            EXPECT_EQ(row != nullptr, c.row);
            EXPECT_EQ(::GetLastError(), c.last_error);
            if (c.injected != 0 || c.exists)
                EXPECT_EQ(network().snapshot(), before);
            else
                EXPECT_EQ(network().snapshot().addresses.size(), before.addresses.size() + 1);
        }
    }
}

TEST_F(adapter_config_test, reset_removes_every_address_and_route_of_the_interface_only)
{
    const auto a = add_ip_adapter(1);
    const auto b = add_ip_adapter(2);
    network().add_address(a.guid, "10.8.0.2", 24);
    network().add_address(a.guid, "fd00::2", 64);
    network().add_route(a.guid, "10.0.0.0/8");
    network().add_route(a.guid, "::/0", "fd00::1", 5);
    network().add_address(b.guid, "192.168.1.20", 24);
    network().add_default_gateway(b.guid, "192.168.1.1", {0, 1, 2, 3, 4, 5});
    network().add_neighbour(a.guid, "10.8.0.1", {0, 1, 2, 3, 4, 6});
    const auto record = record_of(a);

    ::SetLastError(99);
    EXPECT_TRUE(iphelper::reset_adapter_config(record));
    EXPECT_EQ(::GetLastError(), 0u);

    const auto state = network().snapshot();
    for (const auto& row : state.addresses)
        EXPECT_EQ(row.guid, b.guid) << row;
    for (const auto& row : state.routes)
        EXPECT_EQ(row.guid, b.guid) << row;
    EXPECT_EQ(state.addresses.size(), 1u);
    EXPECT_EQ(state.routes.size(), 1u);
    EXPECT_EQ(state.neighbours.size(), 1u) << "neighbour entries are not touched";
}

// The calls in order: the address table, a deletion per address of the interface, the
// table freed; then the same for the routes.
TEST_F(adapter_config_test, reset_calls_in_order)
{
    const auto a = add_ip_adapter(1);
    const auto b = add_ip_adapter(2);
    network().add_address(b.guid, "192.168.1.20", 24);
    network().add_address(a.guid, "10.8.0.2", 24);
    network().add_address(a.guid, "fd00::2", 64);
    network().add_route(b.guid, "0.0.0.0/0", "192.168.1.1");
    network().add_route(a.guid, "10.0.0.0/8");
    const auto record = record_of(a);
    network().clear_calls();

    ASSERT_TRUE(iphelper::reset_adapter_config(record));
    std::vector<iphelper_function> functions;
    for (const auto& call : network().calls()) {
        functions.push_back(call.function);
        if (call.function == iphelper_function::delete_unicast_ip_address_entry ||
            call.function == iphelper_function::delete_ip_forward_entry2) {
            EXPECT_EQ(call.guid, a.guid);
            EXPECT_EQ(call.result, 0u);
        }
    }
    EXPECT_EQ(functions, (std::vector<iphelper_function>{
                             iphelper_function::get_unicast_ip_address_table,
                             iphelper_function::delete_unicast_ip_address_entry,
                             iphelper_function::delete_unicast_ip_address_entry,
                             iphelper_function::free_mib_table,
                             iphelper_function::get_ip_forward_table2,
                             iphelper_function::delete_ip_forward_entry2,
                             iphelper_function::free_mib_table,
                         }));
    EXPECT_EQ(std::get<MIB_UNICASTIPADDRESS_ROW>(
                  network().calls(iphelper_function::delete_unicast_ip_address_entry)[0].arguments)
                  .InterfaceLuid.Value,
              a.luid);
}

TEST_F(adapter_config_test, reset_ignores_failed_deletions)
{
    const auto a = add_ip_adapter(1);
    network().add_address(a.guid, "10.8.0.2", 24);
    network().add_address(a.guid, "10.8.0.3", 24);
    network().add_route(a.guid, "10.0.0.0/8");
    network().add_route(a.guid, "172.16.0.0/12");
    const auto record = record_of(a);
    network().fail_next(iphelper_function::delete_unicast_ip_address_entry, ERROR_ACCESS_DENIED);
    network().fail_next(iphelper_function::delete_ip_forward_entry2, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(iphelper::reset_adapter_config(record));
    const auto state = network().snapshot();
    ASSERT_EQ(state.addresses.size(), 1u);
    EXPECT_EQ(state.addresses[0].address, "10.8.0.2");
    ASSERT_EQ(state.routes.size(), 1u);
    EXPECT_EQ(state.routes[0].destination, "10.0.0.0/8");
}

struct reset_failure_case {
    const char* name;
    iphelper_function function;
    bool addresses_removed;
    bool routes_read;
};

TEST_F(adapter_config_test, reset_fails_when_a_table_cannot_be_read)
{
    const reset_failure_case cases[] = {
        {"address table", iphelper_function::get_unicast_ip_address_table, false, false},
        {"route table", iphelper_function::get_ip_forward_table2, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        simhost::host::instance().reset();
        const auto a = add_ip_adapter(1);
        network().add_address(a.guid, "10.8.0.2", 24);
        network().add_route(a.guid, "10.0.0.0/8");
        const auto record = record_of(a);
        network().fail_next(c.function, ERROR_NOT_ENOUGH_MEMORY);
        ::SetLastError(0);
        EXPECT_FALSE(iphelper::reset_adapter_config(record));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        const auto state = network().snapshot();
        EXPECT_EQ(state.addresses.empty(), c.addresses_removed);
        EXPECT_EQ(state.routes.size(), 1u);
        EXPECT_EQ(network().call_count(iphelper_function::get_ip_forward_table2),
                  c.routes_read ? 1u : 0u);
    }
}

// Like Windows, the table read answers ERROR_NOT_FOUND (1168) when the host holds no row
// of that kind at all; the reset reports that as a failure.
TEST_F(adapter_config_test, reset_on_a_host_without_any_route)
{
    const auto a = add_ip_adapter(1);
    network().add_address(a.guid, "10.8.0.2", 24);
    const auto record = record_of(a);
    EXPECT_FALSE(iphelper::reset_adapter_config(record));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_TRUE(network().snapshot().addresses.empty()) << "the addresses were removed first";
}

iphelper::adapter_info with_addresses(std::vector<SOCKADDR_STORAGE> addresses)
{
    iphelper::adapter_info info;
    info.unicast_addresses = std::move(addresses);
    return info;
}

SOCKADDR_STORAGE address(const char* text, unsigned short port = 0, ULONG scope = 0)
{
    SOCKADDR_STORAGE storage = test_support::storage_of(text);
    if (storage.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in&>(storage).sin_port = htons(port);
    else {
        reinterpret_cast<sockaddr_in6&>(storage).sin6_port = htons(port);
        reinterpret_cast<sockaddr_in6&>(storage).sin6_scope_id = scope;
    }
    return storage;
}

SOCKADDR_STORAGE unspecified_family(const char* text)
{
    SOCKADDR_STORAGE storage = test_support::storage_of(text);
    storage.ss_family = AF_UNSPEC;
    return storage;
}

struct same_case {
    const char* name;
    std::vector<SOCKADDR_STORAGE> a;
    std::vector<SOCKADDR_STORAGE> b;
    bool same;
};

TEST_F(adapter_config_test, same_unicast_addresses_cases)
{
    const same_case cases[] = {
        {"both empty", {}, {}, true},
        {"one empty", {address("10.0.0.1")}, {}, false},
        {"other empty", {}, {address("10.0.0.1")}, false},
        {"same list",
         {address("10.0.0.1"), address("fe80::1")},
         {address("10.0.0.1"), address("fe80::1")},
         true},
        {"other order",
         {address("10.0.0.1"), address("fe80::1")},
         {address("fe80::1"), address("10.0.0.1")},
         true},
        {"address added", {address("10.0.0.1")}, {address("10.0.0.1"), address("10.0.0.2")}, false},
        {"address removed",
         {address("10.0.0.1"), address("10.0.0.2")},
         {address("10.0.0.1")},
         false},
        {"IPv4 address changed", {address("10.0.0.1")}, {address("10.0.0.2")}, false},
        {"IPv6 address changed", {address("2001:db8::1")}, {address("2001:db8::2")}, false},
        {"last IPv6 byte", {address("2001:db8::100")}, {address("2001:db8::101")}, false},
        {"port and scope are not compared",
         {address("10.0.0.1", 53), address("fe80::1", 0, 4)},
         {address("10.0.0.1", 80), address("fe80::1", 9, 7)},
         true},
        {"IPv4 bytes under another family", {address("10.0.0.1")}, {address("::a00:1")}, false},
        {"unknown family never matches",
         {unspecified_family("10.0.0.1")},
         {unspecified_family("10.0.0.1")},
         false},
        // Every address of b is in a: a second copy of one address in b matches too.
        {"b repeats an address of a",
         {address("10.0.0.1"), address("10.0.0.2")},
         {address("10.0.0.1"), address("10.0.0.1")},
         true},
        {"a repeats an address",
         {address("10.0.0.1"), address("10.0.0.1")},
         {address("10.0.0.1"), address("10.0.0.2")},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(iphelper::same_unicast_addresses(with_addresses(c.a), with_addresses(c.b)),
                  c.same);
    }
}

// The records of the host's interface before and after an address change.
TEST_F(adapter_config_test, same_unicast_addresses_on_queried_records)
{
    const auto a = add_ip_adapter(1);
    network().add_address(a.guid, "192.168.1.20", 24);
    network().add_address(a.guid, "fe80::20", 64);
    const auto before = record_of(a);
    EXPECT_TRUE(iphelper::same_unicast_addresses(before, record_of(a)));
    network().add_address(a.guid, "2001:db8::20", 64);
    const auto after = record_of(a);
    EXPECT_FALSE(iphelper::same_unicast_addresses(before, after));
    EXPECT_FALSE(iphelper::same_unicast_addresses(after, before));
}
} // namespace
