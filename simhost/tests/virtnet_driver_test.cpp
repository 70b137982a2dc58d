// The simulated virtual adapter driver: absent until loaded; its adapter in the packet
// filter driver, in IP Helper (down until activated) and in the registry; the exact
// lengths and adapter id of its I/O controls. (Its records and the rest of its
// behaviour are seen through the library's virtual adapter tests.)
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host.h"
#include "host_network.h"
#include "packet_driver.h"
#include "platform.h"
#include "virtnet_driver.h"

namespace
{
namespace platform = netaccess::platform;

constexpr DWORD list_code = 0x830020C0;
constexpr DWORD activate_code = 0x830020C4;
constexpr DWORD deactivate_code = 0x830020C8;
constexpr DWORD statistics_code = 0x830020CC;

// The interface's OperStatus as GetAdaptersAddresses shows it; empty when not listed.
std::optional<ULONG> shown(const std::string& guid)
{
    ULONG size = 0;
    platform::get_adapters_addresses(AF_UNSPEC, 0, nullptr, nullptr, &size);
    std::vector<std::uint64_t> memory(size / 8 + 1);
    auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(memory.data());
    if (platform::get_adapters_addresses(AF_UNSPEC, 0, nullptr, list, &size) != NO_ERROR)
        return std::nullopt;
    for (auto* a = list; a != nullptr; a = a->Next)
        if (guid == a->AdapterName)
            return static_cast<ULONG>(a->OperStatus);
    return std::nullopt;
}

bool key_exists(const std::string& path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

std::vector<std::string> adapter_key_paths(const std::string& guid)
{
    return {simhost::connection_key_path(guid),
            "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" + guid,
            "SYSTEM\\CurrentControlSet\\Services\\Tcpip6\\Parameters\\Interfaces\\" + guid};
}

class virtnet_driver_test : public ::testing::Test
{
protected:
    void SetUp() override { simhost::host::instance().reset(); }
    void TearDown() override
    {
        if (device_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(platform::close_device(device_));
        }
        simhost::host::instance().reset();
    }
    static simhost::virtnet_driver& virtnet() { return simhost::virtnet_driver::instance(); }

    simhost::adapter load(simhost::virtnet_options options = {})
    {
        const simhost::adapter a = virtnet().load(std::move(options));
        device_ = platform::open_device(L"\\\\.\\LORRIVAN");
        EXPECT_NE(device_, INVALID_HANDLE_VALUE);
        return a;
    }

    // The I/O control as the library issues it; FALSE leaves the error in error_.
    BOOL call(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size)
    {
        DWORD returned = 0;
        const BOOL ok = platform::device_io_control(device_, code, in, in_size, out, out_size, &returned,
                                                    &overlapped_);
        error_ = ok ? 0 : ::GetLastError();
        return ok;
    }
    BOOL call_with_id(DWORD code, std::uint32_t id) { return call(code, &id, sizeof(id), nullptr, 0); }

    HANDLE device_ = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped_{};
    DWORD error_ = 0;
};

TEST_F(virtnet_driver_test, the_device_exists_only_while_the_driver_is_loaded)
{
    EXPECT_EQ(platform::open_device(L"\\\\.\\LORRIVAN"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const simhost::adapter a = load();
    EXPECT_EQ(virtnet().open_device_count(), 1u);
    EXPECT_EQ(a.driver_name, "\\DEVICE\\" + a.guid) << "the packet filter driver lists it by its GUID";
    virtnet().unload();
    EXPECT_EQ(platform::open_device(L"\\\\.\\LORRIVAN"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    std::uint8_t list[4100];
    EXPECT_FALSE(call(list_code, nullptr, 0, list, sizeof(list))) << "the adapter went with the driver";
}

struct state_case {
    const char* name;
    std::uint8_t flags;
    std::vector<DWORD> calls; // activate and deactivate, in order
    bool activated;
    ULONG oper_status;
};

TEST_F(virtnet_driver_test, ip_helper_shows_the_interface_up_only_while_it_is_activated)
{
    const state_case cases[] = {
        {"loaded", 0, {}, false, 2},
        {"activated", 0, {activate_code}, true, 1},
        {"deactivated again", 0, {activate_code, deactivate_code}, false, 2},
        {"deactivated without activation", 0, {deactivate_code}, false, 2},
        {"needs no activation", 0x10, {}, false, 1},
        {"needs no activation, deactivated", 0x10, {deactivate_code}, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        simhost::host::instance().reset();
        device_ = INVALID_HANDLE_VALUE;
        simhost::virtnet_options options;
        options.flags = c.flags;
        const simhost::adapter a = load(options);
        for (DWORD code : c.calls)
            EXPECT_TRUE(call_with_id(code, options.adapter_id)) << error_;
        EXPECT_EQ(virtnet().activated(), c.activated);
        EXPECT_EQ(shown(a.guid), c.oper_status) << "listed whatever its state";
        EXPECT_TRUE(simhost::host::instance().find_adapter(a.guid)) << "and the packet filter driver lists it";
        EXPECT_TRUE(platform::close_device(device_));
        device_ = INVALID_HANDLE_VALUE;
    }
}

TEST_F(virtnet_driver_test, loading_makes_the_adapters_keys_and_unloading_deletes_them)
{
    simhost::virtnet_options options;
    options.guid = simhost::host::random_guid();
    EXPECT_NE(options.guid, simhost::host::random_guid());
    load(options);
    for (const auto& path : adapter_key_paths(options.guid))
        EXPECT_TRUE(key_exists(path)) << path;
    EXPECT_TRUE(platform::close_device(device_));
    device_ = INVALID_HANDLE_VALUE;
    virtnet().unload();
    for (const auto& path : adapter_key_paths(options.guid))
        EXPECT_FALSE(key_exists(path)) << path;
    EXPECT_FALSE(simhost::host::instance().find_adapter(options.guid));
    EXPECT_FALSE(shown(options.guid));
}

struct rule_case {
    const char* name;
    DWORD code;
    DWORD in_size;
    DWORD out_size;
    std::uint32_t id_offset; // added to the adapter id in the input
    DWORD error;
};

TEST_F(virtnet_driver_test, every_length_and_the_adapter_id_are_checked_exactly)
{
    const rule_case cases[] = {
        {"list with an input", list_code, 4, 4100, 0, ERROR_INVALID_PARAMETER},
        {"list into 4099 bytes", list_code, 0, 4099, 0, ERROR_INVALID_PARAMETER},
        {"list into 4101 bytes", list_code, 0, 4101, 0, ERROR_INVALID_PARAMETER},
        {"activation without the id", activate_code, 0, 0, 0, ERROR_INVALID_PARAMETER},
        {"activation with 8 bytes", activate_code, 8, 0, 0, ERROR_INVALID_PARAMETER},
        {"activation with an output", activate_code, 4, 4, 0, ERROR_INVALID_PARAMETER},
        {"activation of another adapter", activate_code, 4, 0, 1, ERROR_INVALID_PARAMETER},
        {"deactivation of another adapter", deactivate_code, 4, 0, 1, ERROR_INVALID_PARAMETER},
        {"statistics of 35 bytes", statistics_code, 35, 0, 0, ERROR_INVALID_PARAMETER},
        {"statistics of 40 bytes", statistics_code, 40, 0, 0, ERROR_INVALID_PARAMETER},
        {"statistics of another adapter", statistics_code, 36, 0, 1, ERROR_INVALID_PARAMETER},
        {"an unknown code", 0x830020D0, 0, 0, 0, ERROR_INVALID_FUNCTION},
    };
    const simhost::virtnet_options options;
    load(options);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> in(64, 0), out(8192, 0);
        const std::uint32_t id = options.adapter_id + c.id_offset;
        std::memcpy(in.data(), &id, 4);
        const std::size_t errors = virtnet().errors().size();
        EXPECT_FALSE(call(c.code, c.in_size ? in.data() : nullptr, c.in_size, c.out_size ? out.data() : nullptr,
                          c.out_size));
        EXPECT_EQ(error_, c.error);
        EXPECT_EQ(virtnet().errors().size(), errors + 1) << "recorded as a broken rule";
    }
    EXPECT_FALSE(virtnet().activated());
    EXPECT_TRUE(virtnet().statistics().empty());
    std::vector<std::uint8_t> list(4100);
    EXPECT_FALSE(platform::device_io_control(device_, list_code, nullptr, 0, list.data(), 4100, nullptr, nullptr))
        << "an overlapped device needs the OVERLAPPED record";
}

} // namespace
