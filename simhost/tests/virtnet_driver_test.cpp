// The simulated virtual adapter driver, as far as the product tests rely on it: the
// device, the adapter and its registry keys exist only while it is loaded; its interface
// is up only while it is activated (or needs no activation); every
// length and the adapter id of its I/O controls are checked exactly. (Its records are
// seen through the library's virtual adapter tests.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host_network.h"
#include "platform.h"
#include "virtnet_driver.h"

namespace
{
namespace platform = netaccess::platform;

constexpr DWORD list_code = 0x830020C0;
constexpr DWORD activate_code = 0x830020C4;
constexpr DWORD deactivate_code = 0x830020C8;
constexpr DWORD statistics_code = 0x830020CC;
constexpr std::uint32_t adapter_id = simhost::virtnet_options{}.adapter_id;

bool key_exists(const std::string& path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
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

    // The I/O control as the library issues it; the last error when it fails, else 0.
    DWORD call(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size)
    {
        DWORD returned = 0;
        return platform::device_io_control(device_, code, in, in_size, out, out_size, &returned, &overlapped_)
                   ? 0
                   : ::GetLastError();
    }

    HANDLE device_ = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped_{};
};

TEST_F(virtnet_driver_test, the_device_the_adapter_and_its_keys_exist_only_while_the_driver_is_loaded)
{
    EXPECT_EQ(platform::open_device(L"\\\\.\\LORRIVAN"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const simhost::adapter a = load();
    EXPECT_EQ(a.driver_name, "\\DEVICE\\" + a.guid) << "the packet filter driver lists it by its GUID";
    const std::vector<std::string> keys = {
        simhost::connection_key_path(a.guid),
        "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" + a.guid,
        "SYSTEM\\CurrentControlSet\\Services\\Tcpip6\\Parameters\\Interfaces\\" + a.guid};
    for (const auto& path : keys)
        EXPECT_TRUE(key_exists(path)) << path;
    virtnet().unload();
    for (const auto& path : keys)
        EXPECT_FALSE(key_exists(path)) << path;
    EXPECT_FALSE(simhost::host::instance().find_adapter(a.guid));
    EXPECT_EQ(platform::open_device(L"\\\\.\\LORRIVAN"), INVALID_HANDLE_VALUE);
    std::uint8_t list[4100];
    EXPECT_EQ(call(list_code, nullptr, 0, list, sizeof(list)), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED))
        << "the adapter went with the driver";
}

struct state_case {
    std::uint8_t flags;
    std::vector<DWORD> calls; // activate and deactivate, in order
    bool activated;
    IF_OPER_STATUS shown;
};

TEST_F(virtnet_driver_test, the_interface_is_up_only_while_it_is_activated)
{
    const state_case cases[] = {
        {0, {}, false, IfOperStatusDown},
        {0, {activate_code}, true, IfOperStatusUp},
        {0, {activate_code, deactivate_code}, false, IfOperStatusDown},
        {0x10, {}, false, IfOperStatusUp}, // needs no activation
        {0x10, {deactivate_code}, false, IfOperStatusUp},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << int(c.flags) << ", " << c.calls.size() << " calls");
        simhost::host::instance().reset();
        simhost::virtnet_options options;
        options.flags = c.flags;
        const simhost::adapter a = load(options);
        for (DWORD code : c.calls) {
            std::uint32_t id = adapter_id;
            EXPECT_EQ(call(code, &id, sizeof(id), nullptr, 0), 0u);
        }
        EXPECT_EQ(virtnet().activated(), c.activated);
        EXPECT_EQ(simhost::host_network::instance().interface_of(a.guid).settings.oper_status,
                  static_cast<std::uint32_t>(c.shown));
        EXPECT_TRUE(platform::close_device(device_));
        device_ = INVALID_HANDLE_VALUE;
    }
}

struct rule_case {
    DWORD code;
    DWORD in_size;
    DWORD out_size;
    std::uint32_t id; // in the input
    DWORD error;
};

TEST_F(virtnet_driver_test, every_length_and_the_adapter_id_are_checked_exactly)
{
    const rule_case cases[] = {
        {list_code, 4, 4100, adapter_id, ERROR_INVALID_PARAMETER},
        {list_code, 0, 4099, adapter_id, ERROR_INVALID_PARAMETER},
        {list_code, 0, 4101, adapter_id, ERROR_INVALID_PARAMETER},
        {activate_code, 0, 0, adapter_id, ERROR_INVALID_PARAMETER},
        {activate_code, 8, 0, adapter_id, ERROR_INVALID_PARAMETER},
        {activate_code, 4, 4, adapter_id, ERROR_INVALID_PARAMETER},
        {activate_code, 4, 0, adapter_id + 1, ERROR_INVALID_PARAMETER},
        {deactivate_code, 4, 0, adapter_id + 1, ERROR_INVALID_PARAMETER},
        {statistics_code, 35, 0, adapter_id, ERROR_INVALID_PARAMETER},
        {statistics_code, 40, 0, adapter_id, ERROR_INVALID_PARAMETER},
        {statistics_code, 36, 0, adapter_id + 1, ERROR_INVALID_PARAMETER},
        {0x830020D0, 0, 0, adapter_id, ERROR_INVALID_FUNCTION},
    };
    load();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << std::dec << " in " << c.in_size << " out "
                                        << c.out_size << " id " << c.id);
        std::vector<std::uint8_t> in(64, 0), out(8192, 0);
        std::memcpy(in.data(), &c.id, 4);
        const std::size_t errors = virtnet().errors().size();
        EXPECT_EQ(call(c.code, c.in_size ? in.data() : nullptr, c.in_size, c.out_size ? out.data() : nullptr, c.out_size),
                  c.error);
        EXPECT_EQ(virtnet().errors().size(), errors + 1) << "recorded as a broken rule";
    }
    EXPECT_FALSE(virtnet().activated());
    EXPECT_TRUE(virtnet().statistics().empty());
    std::vector<std::uint8_t> list(4100);
    EXPECT_FALSE(platform::device_io_control(device_, list_code, nullptr, 0, list.data(), 4100, nullptr, nullptr))
        << "an overlapped device needs the OVERLAPPED record";
}
} // namespace
