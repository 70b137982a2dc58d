// The simulated owner tables as the platform boundary shows them: Windows' row layouts
// and buffer protocols, failures, counting and hooks.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host.h"
#include "platform.h"
#include "socket_owners.h"

namespace
{
using simhost::owner_function;
namespace platform = netaccess::platform;

class socket_owners_model : public ::testing::Test
{
protected:
    void SetUp() override { simhost::host::instance().reset(); }
    void TearDown() override
    {
        for (const auto& text : owners().violations())
            ADD_FAILURE() << "owner table rule broken: " << text;
        simhost::host::instance().reset();
    }
    static simhost::socket_owners& owners() { return simhost::socket_owners::instance(); }

    // Reads a whole table through the size protocol.
    template <class Read>
    static std::vector<std::uint8_t> read_table(Read read)
    {
        DWORD size = 0;
        EXPECT_EQ(read(nullptr, &size), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<std::uint8_t> buffer(size);
        DWORD length = size;
        EXPECT_EQ(read(buffer.data(), &length), static_cast<DWORD>(NO_ERROR));
        return buffer;
    }
    static std::vector<std::uint8_t> tcp_table(ULONG family, TCP_TABLE_CLASS table_class = TCP_TABLE_OWNER_MODULE_CONNECTIONS)
    {
        return read_table([&](void* t, DWORD* s) {
            return platform::get_extended_tcp_table(t, s, FALSE, family, table_class, 0);
        });
    }
    static std::vector<std::uint8_t> udp_table(ULONG family)
    {
        return read_table([&](void* t, DWORD* s) {
            return platform::get_extended_udp_table(t, s, FALSE, family, UDP_TABLE_OWNER_MODULE, 0);
        });
    }
};

std::uint32_t ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}

TEST_F(socket_owners_model, tcp_table_follows_the_size_protocol_and_windows_row_layout)
{
    owners().add_tcp_connection("192.0.2.10", 50000, "198.51.100.7", 443, 100);
    owners().add_tcp_connection("192.0.2.10", 50001, "198.51.100.7", 80, 200, MIB_TCP_STATE_SYN_SENT);
    owners().add_tcp_connection("0.0.0.0", 8080, "0.0.0.0", 0, 300, MIB_TCP_STATE_LISTEN);
    owners().add_tcp_connection("2001:db8::1", 50000, "2001:db8::2", 443, 100);

    DWORD size = 0;
    ASSERT_EQ(platform::get_extended_tcp_table(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_MODULE_CONNECTIONS, 0),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, offsetof(MIB_TCPTABLE_OWNER_MODULE, table) + 2 * sizeof(MIB_TCPROW_OWNER_MODULE));
    // One byte short is still too small, and the required size comes back again.
    std::vector<std::uint8_t> buffer(size);
    DWORD short_size = size - 1;
    EXPECT_EQ(platform::get_extended_tcp_table(buffer.data(), &short_size, FALSE, AF_INET,
                                               TCP_TABLE_OWNER_MODULE_CONNECTIONS, 0),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(short_size, size);

    const auto bytes = tcp_table(AF_INET);
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_MODULE*>(bytes.data());
    ASSERT_EQ(table->dwNumEntries, 2u); // the listener is not a connection
    const MIB_TCPROW_OWNER_MODULE& row = table->table[0];
    EXPECT_EQ(row.dwLocalAddr, ipv4(192, 0, 2, 10));
    EXPECT_EQ(row.dwRemoteAddr, ipv4(198, 51, 100, 7));
    // Ports in network order in the low 16 bits; the upper bits are not defined.
    EXPECT_EQ(::ntohs(static_cast<u_short>(row.dwLocalPort)), 50000);
    EXPECT_EQ(::ntohs(static_cast<u_short>(row.dwRemotePort)), 443);
    EXPECT_NE(row.dwLocalPort >> 16, 0u);
    EXPECT_EQ(row.dwOwningPid, 100u);
    EXPECT_EQ(row.dwState, static_cast<DWORD>(MIB_TCP_STATE_ESTAB));
    EXPECT_EQ(table->table[1].dwState, static_cast<DWORD>(MIB_TCP_STATE_SYN_SENT));

    const auto listeners = tcp_table(AF_INET, TCP_TABLE_OWNER_MODULE_LISTENER);
    EXPECT_EQ(reinterpret_cast<const MIB_TCPTABLE_OWNER_MODULE*>(listeners.data())->dwNumEntries, 1u);
    const auto all = tcp_table(AF_INET, TCP_TABLE_OWNER_MODULE_ALL);
    EXPECT_EQ(reinterpret_cast<const MIB_TCPTABLE_OWNER_MODULE*>(all.data())->dwNumEntries, 3u);

    const auto bytes6 = tcp_table(AF_INET6);
    const auto* table6 = reinterpret_cast<const MIB_TCP6TABLE_OWNER_MODULE*>(bytes6.data());
    ASSERT_EQ(table6->dwNumEntries, 1u);
    const std::uint8_t local6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(std::memcmp(table6->table[0].ucLocalAddr, local6, 16), 0);
    EXPECT_EQ(table6->table[0].ucRemoteAddr[15], 2);
    EXPECT_EQ(::ntohs(static_cast<u_short>(table6->table[0].dwRemotePort)), 443);
}

TEST_F(socket_owners_model, udp_table_lists_wildcard_and_specific_sockets_per_family)
{
    owners().add_udp_socket("0.0.0.0", 5353, 300);
    owners().add_udp_socket("192.0.2.10", 40000, 100);
    owners().add_udp_socket("::", 5353, 300);

    const auto bytes = udp_table(AF_INET);
    const auto* table = reinterpret_cast<const MIB_UDPTABLE_OWNER_MODULE*>(bytes.data());
    ASSERT_EQ(table->dwNumEntries, 2u);
    EXPECT_EQ(table->table[0].dwLocalAddr, 0u);
    EXPECT_EQ(::ntohs(static_cast<u_short>(table->table[0].dwLocalPort)), 5353);
    EXPECT_EQ(table->table[1].dwLocalAddr, ipv4(192, 0, 2, 10));
    EXPECT_EQ(table->table[1].dwOwningPid, 100u);

    const auto bytes6 = udp_table(AF_INET6);
    const auto* table6 = reinterpret_cast<const MIB_UDP6TABLE_OWNER_MODULE*>(bytes6.data());
    ASSERT_EQ(table6->dwNumEntries, 1u);
    EXPECT_EQ(table6->table[0].dwOwningPid, 300u);

    EXPECT_TRUE(owners().remove_udp_socket("192.0.2.10", 40000));
    EXPECT_FALSE(owners().remove_udp_socket("192.0.2.10", 40000));
    const auto after = udp_table(AF_INET);
    EXPECT_EQ(reinterpret_cast<const MIB_UDPTABLE_OWNER_MODULE*>(after.data())->dwNumEntries, 1u);
}

TEST_F(socket_owners_model, owner_module_reports_name_and_path_inside_the_buffer)
{
    owners().add_program(100, L"chrome.exe", L"C:\\Program Files\\Google\\Chrome\\chrome.exe");
    MIB_TCPROW_OWNER_MODULE row{};
    row.dwOwningPid = 100;

    DWORD size = 0;
    ASSERT_EQ(platform::get_owner_module_from_tcp_entry(&row, TCPIP_OWNER_MODULE_INFO_BASIC, nullptr, &size),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const std::size_t expected = sizeof(TCPIP_OWNER_MODULE_BASIC_INFO) + (11 + 42) * sizeof(wchar_t);
    EXPECT_EQ(size, expected);
    std::vector<std::uint8_t> buffer(size);
    DWORD short_size = size - 2;
    EXPECT_EQ(platform::get_owner_module_from_tcp_entry(&row, TCPIP_OWNER_MODULE_INFO_BASIC, buffer.data(),
                                                        &short_size),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_EQ(platform::get_owner_module_from_tcp_entry(&row, TCPIP_OWNER_MODULE_INFO_BASIC, buffer.data(), &size),
              static_cast<DWORD>(NO_ERROR));
    const auto* info = reinterpret_cast<const TCPIP_OWNER_MODULE_BASIC_INFO*>(buffer.data());
    EXPECT_EQ(std::wstring(info->pModuleName), L"chrome.exe");
    EXPECT_EQ(std::wstring(info->pModulePath), L"C:\\Program Files\\Google\\Chrome\\chrome.exe");
    const auto* begin = reinterpret_cast<const wchar_t*>(buffer.data());
    const auto* end = reinterpret_cast<const wchar_t*>(buffer.data() + buffer.size());
    EXPECT_TRUE(info->pModuleName > begin && info->pModuleName < end);
    EXPECT_TRUE(info->pModulePath > begin && info->pModulePath < end);
}

TEST_F(socket_owners_model, owner_module_of_every_row_kind)
{
    owners().add_program(7, L"a.exe", L"C:\\a.exe");
    MIB_TCP6ROW_OWNER_MODULE tcp6{};
    MIB_UDPROW_OWNER_MODULE udp{};
    MIB_UDP6ROW_OWNER_MODULE udp6{};
    tcp6.dwOwningPid = udp.dwOwningPid = udp6.dwOwningPid = 7;
    DWORD size = 0;
    EXPECT_EQ(platform::get_owner_module_from_tcp6_entry(&tcp6, TCPIP_OWNER_MODULE_INFO_BASIC, nullptr, &size),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    size = 0;
    EXPECT_EQ(platform::get_owner_module_from_udp_entry(&udp, TCPIP_OWNER_MODULE_INFO_BASIC, nullptr, &size),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    size = 0;
    EXPECT_EQ(platform::get_owner_module_from_udp6_entry(&udp6, TCPIP_OWNER_MODULE_INFO_BASIC, nullptr, &size),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(owners().call_count(owner_function::get_owner_module_from_tcp6_entry), 1u);
    EXPECT_EQ(owners().call_count(owner_function::get_owner_module_from_udp_entry), 1u);
    EXPECT_EQ(owners().call_count(owner_function::get_owner_module_from_udp6_entry), 1u);
}

TEST_F(socket_owners_model, missing_programs_names_and_paths)
{
    owners().add_program(simhost::program{5, std::nullopt, std::wstring(L"C:\\x.exe")});
    owners().add_program(simhost::program{6, std::wstring(L"y.exe"), std::nullopt});
    MIB_UDPROW_OWNER_MODULE row{};

    row.dwOwningPid = 4; // no such program
    DWORD size = 0;
    EXPECT_EQ(platform::get_owner_module_from_udp_entry(&row, TCPIP_OWNER_MODULE_INFO_BASIC, nullptr, &size),
              static_cast<DWORD>(ERROR_NOT_FOUND));

    for (std::uint32_t pid : {5u, 6u}) {
        row.dwOwningPid = pid;
        size = 0;
        ASSERT_EQ(platform::get_owner_module_from_udp_entry(&row, TCPIP_OWNER_MODULE_INFO_BASIC, nullptr, &size),
                  static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<std::uint8_t> buffer(size);
        ASSERT_EQ(platform::get_owner_module_from_udp_entry(&row, TCPIP_OWNER_MODULE_INFO_BASIC, buffer.data(), &size),
                  static_cast<DWORD>(NO_ERROR));
        const auto* info = reinterpret_cast<const TCPIP_OWNER_MODULE_BASIC_INFO*>(buffer.data());
        EXPECT_EQ(info->pModuleName == nullptr, pid == 5);
        EXPECT_EQ(info->pModulePath == nullptr, pid == 6);
    }

    owners().add_program(9, L"z.exe", L"C:\\z.exe");
    EXPECT_TRUE(owners().remove_program(9));
    row.dwOwningPid = 9;
    size = 0;
    EXPECT_EQ(platform::get_owner_module_from_udp_entry(&row, TCPIP_OWNER_MODULE_INFO_BASIC, nullptr, &size),
              static_cast<DWORD>(ERROR_NOT_FOUND));
}

TEST_F(socket_owners_model, injected_failures_counts_and_hooks)
{
    owners().fail_next(owner_function::get_extended_tcp_table, ERROR_ACCESS_DENIED, 2);
    unsigned hooked = 0;
    owners().set_call_hook(owner_function::get_extended_tcp_table, [&](unsigned n) { hooked = n; });
    DWORD size = 0;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(platform::get_extended_tcp_table(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_MODULE_CONNECTIONS, 0),
                  static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(size, 0u); // a failure leaves the size alone
    EXPECT_EQ(platform::get_extended_tcp_table(nullptr, &size, FALSE, AF_INET6, TCP_TABLE_OWNER_MODULE_CONNECTIONS, 0),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(hooked, 3u);
    EXPECT_EQ(owners().call_count(owner_function::get_extended_tcp_table), 3u);
    EXPECT_EQ(owners().call_count(owner_function::get_extended_tcp_table, AF_INET), 2u);
    EXPECT_EQ(owners().call_count(owner_function::get_extended_tcp_table, AF_INET6), 1u);
    EXPECT_EQ(owners().call_count(owner_function::get_extended_udp_table), 0u);

    owners().fail_always(owner_function::get_extended_udp_table, ERROR_NOT_ENOUGH_MEMORY);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(platform::get_extended_udp_table(nullptr, &size, FALSE, AF_INET, UDP_TABLE_OWNER_MODULE, 0),
                  static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    owners().fail_always(owner_function::get_extended_udp_table, 0);
    EXPECT_EQ(platform::get_extended_udp_table(nullptr, &size, FALSE, AF_INET, UDP_TABLE_OWNER_MODULE, 0),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    const auto calls = owners().calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().number, 1u);
    EXPECT_EQ(calls.front().result, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    owners().clear_calls();
    EXPECT_TRUE(owners().calls().empty());
}

TEST_F(socket_owners_model, unsupported_arguments_are_refused_and_recorded)
{
    DWORD size = 0;
    EXPECT_EQ(platform::get_extended_tcp_table(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0),
              static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(platform::get_extended_udp_table(nullptr, &size, FALSE, AF_UNSPEC, UDP_TABLE_OWNER_MODULE, 0),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(platform::get_extended_udp_table(nullptr, nullptr, FALSE, AF_INET, UDP_TABLE_OWNER_MODULE, 0),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(owners().take_violations().size(), 3u);
}

TEST_F(socket_owners_model, reset_forgets_everything)
{
    owners().add_program(1, L"a", L"b");
    owners().add_udp_socket("0.0.0.0", 1, 1);
    owners().fail_always(owner_function::get_extended_udp_table, ERROR_ACCESS_DENIED);
    simhost::host::instance().reset();
    const auto bytes = udp_table(AF_INET);
    EXPECT_EQ(reinterpret_cast<const MIB_UDPTABLE_OWNER_MODULE*>(bytes.data())->dwNumEntries, 0u);
    EXPECT_THROW(owners().add_tcp_connection("192.0.2.1", 1, "2001:db8::1", 2, 1), std::invalid_argument);
    EXPECT_THROW(owners().add_udp_socket("not an address", 1, 1), std::invalid_argument);
}
} // namespace
