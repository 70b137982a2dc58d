// WAN adapter kinds and connection names, on the side of the Windows 10 version test
// that this executable's manifest puts it on (the same source is built twice).
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "network_adapter.h"
#include "rimcap.h"
#include "test_support.h"
#include "wan_adapters.h"

#ifndef LORRIVAN_WINDOWS_10_MANIFEST
#error "LORRIVAN_WINDOWS_10_MANIFEST must say which side of the version test this build is on"
#endif

// Deletes the key of an open handle (with DELETE access) in one call.
extern "C" LONG NTAPI NtDeleteKey(HANDLE key);

namespace
{
using test_support::adapter_class_entry;
using test_support::connection_name_key;
using test_support::unique_guid;

constexpr bool windows_10 = LORRIVAN_WINDOWS_10_MANIFEST != 0;

TEST(windows_version, matches_the_executable_manifest)
{
    EXPECT_EQ(is_windows_version_or_greater(10, 0), windows_10);
    EXPECT_TRUE(is_windows_version_or_greater(5, 1));
    EXPECT_TRUE(is_windows_version_or_greater(6, 1));
    EXPECT_FALSE(is_windows_version_or_greater(99, 0));
}

std::optional<std::string> connection_name(const std::string& internal_name)
{
    char buffer[1040];
    std::memset(buffer, '#', sizeof(buffer));
    if (!CRimCap::get_connection_name(internal_name.c_str(), buffer, sizeof(buffer)))
        return std::nullopt;
    EXPECT_NE(std::memchr(buffer, '\0', sizeof(buffer)), nullptr) << "name not terminated";
    return std::string(buffer);
}

struct fixed_name_case {
    const char* internal_name;
    std::uint32_t kind_before_10;
    const char* name_before_10;
};

// The fixed device names count only before Windows 10.
TEST(wan_adapters, fixed_device_names_count_only_before_windows_10)
{
    const fixed_name_case cases[] = {
        {"\\DEVICE\\NDISWANIP", rimcap::wan_kind_ip, "WAN Network Interface (IP)"},
        {"\\device\\ndiswanip", rimcap::wan_kind_ip, "WAN Network Interface (IP)"},
        {"\\DEVICE\\NDISWANIPV6", rimcap::wan_kind_ipv6, "WAN Network Interface (IPv6)"},
        {"\\Device\\NdisWanIpv6", rimcap::wan_kind_ipv6, "WAN Network Interface (IPv6)"},
        {"\\DEVICE\\NDISWANBH", rimcap::wan_kind_monitor, "WAN Network Interface (BH)"},
        {"\\DEVICE\\NDISWANIPX", rimcap::wan_kind_none, nullptr},
        {"\\DEVICE\\NDISWAN", rimcap::wan_kind_none, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.internal_name);
        EXPECT_EQ(rimcap::wan_kind_of(c.internal_name),
                  windows_10 ? rimcap::wan_kind_none : c.kind_before_10);
        const auto name = connection_name(c.internal_name);
        if (!windows_10 && c.name_before_10 != nullptr) {
            ASSERT_TRUE(name.has_value());
            EXPECT_EQ(*name, c.name_before_10);
        } else {
            EXPECT_FALSE(name.has_value()) << "no Connection key exists for it";
        }
    }
}

struct component_case {
    const char* component_id;
    std::uint32_t kind;
    const char* name;
};

// An adapter class entry with a WAN component id that exports the name makes it a WAN
// adapter on every version (ids and names compared without case).
TEST(wan_adapters, component_registration_counts_on_every_version)
{
    const component_case cases[] = {
        {"ms_ndiswanip", rimcap::wan_kind_ip, "WAN Network Interface (IP)"},
        {"MS_NdisWanIpv6", rimcap::wan_kind_ipv6, "WAN Network Interface (IPv6)"},
        {"ms_ndiswanbh", rimcap::wan_kind_monitor, "WAN Network Interface (BH)"},
        {"ms_ndiswanipx", rimcap::wan_kind_none, nullptr},
    };
    std::uint32_t number = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.component_id);
        const std::string internal_name = "\\DEVICE\\" + unique_guid(number);
        // The entry exports the name in other letter case.
        std::string exported = internal_name;
        for (char& ch : exported)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        adapter_class_entry entry(number++, c.component_id, exported);

        EXPECT_EQ(rimcap::wan_kind_of(internal_name.c_str()), c.kind);
        const auto name = connection_name(internal_name);
        if (c.name != nullptr) {
            ASSERT_TRUE(name.has_value());
            EXPECT_EQ(*name, c.name);
        } else {
            EXPECT_FALSE(name.has_value());
        }
    }
}

TEST(wan_adapters, only_the_first_exported_name_counts)
{
    const std::string first = "\\DEVICE\\" + unique_guid(20);
    adapter_class_entry entry(20, "ms_ndiswanip", first);
    EXPECT_TRUE(CRimCap::is_adapter_of_component(first.c_str(), "ms_ndiswanip"));
    EXPECT_FALSE(CRimCap::is_adapter_of_component("\\DEVICE\\SECOND", "ms_ndiswanip"));
    EXPECT_FALSE(CRimCap::is_adapter_of_component(first.c_str(), "ms_ndiswanipv6"));
}

// A search whose adapter class key is deleted under it ends (enumerating a deleted key
// fails the same way for every index) with the error as the last error. The deletion
// has to fall between two steps of the search: the rounds start it ever later, with one
// call per key, until one round did.
TEST(wan_adapters, a_class_key_deleted_during_the_search_ends_it)
{
    if (windows_10)
        GTEST_SKIP() << "the same search runs in the other build";
    struct search_result {
        std::atomic<int> step{0}; // 1: the search thread runs; 2: it may begin
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        DWORD error = 0;
    };
    const std::string entry_path = std::string(test_support::adapter_class_key) + "\\lorrivan-test-" +
                                   std::to_string(::GetCurrentProcessId()) + "-60";
    bool deleted_under_search = false;
    for (int round = 0; round < 2000 && !deleted_under_search; ++round) {
        test_support::scoped_registry_key entry(entry_path);
        entry.set_string("", "ComponentId", "ms_other");
        HKEY keys[2] = {};
        ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, entry_path.c_str(), 0, DELETE, &keys[0]), ERROR_SUCCESS);
        ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, test_support::adapter_class_key, 0, DELETE, &keys[1]),
                  ERROR_SUCCESS);

        auto result = std::make_shared<search_result>();
        std::thread([result] {
            result->step = 1;
            while (result->step != 2)
                ;
            ::SetLastError(0);
            CRimCap::is_adapter_of_component("\\DEVICE\\NONE", "ms_other");
            std::lock_guard lock(result->mutex);
            result->error = ::GetLastError();
            result->finished = true;
            result->done.notify_all();
        }).detach();
        while (result->step != 1)
            ;
        result->step = 2;
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < std::chrono::microseconds(round % 50 * 4))
            ;
        for (HKEY key : keys) {
            NtDeleteKey(key);
            ::RegCloseKey(key);
        }
        std::unique_lock lock(result->mutex);
        ASSERT_TRUE(result->done.wait_for(lock, std::chrono::seconds(10), [&] { return result->finished; }))
            << "the search went on after its key was deleted (round " << round << ")";
        deleted_under_search = result->error == ERROR_KEY_DELETED;
    }
    EXPECT_TRUE(deleted_under_search) << "no round deleted the key during the search";
}

// On Windows 10 the IPv6 WAN adapter's fixed name counts once the registry says so.
TEST(wan_adapters, ipv6_wan_name_with_its_component)
{
    adapter_class_entry entry(30, "ms_ndiswanipv6", "\\DEVICE\\NDISWANIPV6");
    EXPECT_EQ(rimcap::wan_kind_of("\\DEVICE\\NDISWANIPV6"), rimcap::wan_kind_ipv6);
    EXPECT_EQ(connection_name("\\DEVICE\\NDISWANIPV6").value_or(""), "WAN Network Interface (IPv6)");
}

TEST(wan_adapters, adapter_records_carry_the_kind)
{
    adapter_class_entry entry(40, "ms_ndiswanbh", "\\DEVICE\\" + unique_guid(40));
    const std::uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    rimcap::network_adapter monitor(nullptr, 7, mac, "\\DEVICE\\" + unique_guid(40), "", 0, 1500);
    EXPECT_EQ(monitor.wan_kind(), rimcap::wan_kind_monitor);
    rimcap::network_adapter ip(nullptr, 8, mac, "\\DEVICE\\NDISWANIP", "", 0, 1500);
    EXPECT_EQ(ip.wan_kind(), windows_10 ? rimcap::wan_kind_none : rimcap::wan_kind_ip);
    rimcap::network_adapter plain(nullptr, 9, mac, "\\DEVICE\\" + unique_guid(41), "", 0, 1500);
    EXPECT_EQ(plain.wan_kind(), rimcap::wan_kind_none);
}

// Friendly names of ordinary adapters come from the registry, on both sides.
TEST(connection_names, read_from_the_connection_key)
{
    const std::string guid = unique_guid(50);
    connection_name_key key(guid, "Ethernet 2");
    EXPECT_EQ(connection_name("\\DEVICE\\" + guid).value_or("<none>"), "Ethernet 2");
}

TEST(connection_names, missing_key_fails_and_leaves_the_buffer)
{
    char buffer[32];
    std::memset(buffer, 'x', sizeof(buffer));
    const std::string name = "\\DEVICE\\" + unique_guid(51);
    EXPECT_FALSE(CRimCap::get_connection_name(name.c_str(), buffer, sizeof(buffer)));
    for (char c : buffer)
        ASSERT_EQ(c, 'x');
}

TEST(connection_names, value_without_terminator_is_terminated)
{
    const std::string guid = unique_guid(52);
    test_support::scoped_registry_key key(std::string(test_support::network_key) + "\\" + guid);
    key.set("Connection", "Name", REG_BINARY, "Wi-Fi", 5);

    char buffer[16];
    std::memset(buffer, '#', sizeof(buffer));
    ASSERT_TRUE(CRimCap::get_connection_name(("\\DEVICE\\" + guid).c_str(), buffer, sizeof(buffer)));
    EXPECT_STREQ(buffer, "Wi-Fi");

    // A value that fills the buffer exactly keeps its terminator inside the buffer.
    key.set("Connection", "Name", REG_BINARY, "ABCDEFGHIJKLMNOP", 16);
    std::memset(buffer, '#', sizeof(buffer));
    ASSERT_TRUE(CRimCap::get_connection_name(("\\DEVICE\\" + guid).c_str(), buffer, sizeof(buffer)));
    EXPECT_EQ(buffer[15], '\0');
    EXPECT_STREQ(buffer, "ABCDEFGHIJKLMNO");
}

TEST(connection_names, value_longer_than_the_buffer_fails)
{
    const std::string guid = unique_guid(53);
    connection_name_key key(guid, "A connection name that is too long");
    char buffer[8] = {};
    EXPECT_FALSE(CRimCap::get_connection_name(("\\DEVICE\\" + guid).c_str(), buffer, sizeof(buffer)));
}

TEST(connection_names, wan_names_are_bounded_by_the_buffer)
{
    if (windows_10)
        GTEST_SKIP() << "the fixed name counts only before Windows 10";
    char buffer[8];
    ASSERT_TRUE(CRimCap::get_connection_name("\\DEVICE\\NDISWANBH", buffer, sizeof(buffer)));
    EXPECT_STREQ(buffer, "WAN Net");
}
} // namespace
