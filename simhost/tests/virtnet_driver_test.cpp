// The simulated virtual adapter driver, as far as the product tests rely on it to catch
// records of the wrong size: every length and the adapter id of its I/O controls are
// checked exactly. (What it does with the records is seen through the library's virtual
// adapter tests.)
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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

struct rule_case {
    DWORD code;
    DWORD in_size;
    DWORD out_size;
    std::uint32_t id; // in the input
    DWORD error;
};

TEST(virtnet_driver, every_length_and_the_adapter_id_are_checked_exactly)
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
    auto& virtnet = simhost::virtnet_driver::instance();
    simhost::host::instance().reset();
    virtnet.load();
    const HANDLE device = platform::open_device(L"\\\\.\\LORRIVAN");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << std::dec << " in " << c.in_size << " out "
                                        << c.out_size << " id " << c.id);
        std::vector<std::uint8_t> in(64, 0), out(8192, 0);
        std::memcpy(in.data(), &c.id, 4);
        const std::size_t errors = virtnet.errors().size();
        DWORD returned = 0;
        EXPECT_FALSE(platform::device_io_control(device, c.code, c.in_size ? in.data() : nullptr, c.in_size,
                                                 c.out_size ? out.data() : nullptr, c.out_size, &returned, &overlapped));
        EXPECT_EQ(::GetLastError(), c.error);
        EXPECT_EQ(virtnet.errors().size(), errors + 1) << "recorded as a broken rule";
    }
    EXPECT_FALSE(virtnet.activated());
    EXPECT_TRUE(virtnet.statistics().empty());
    std::vector<std::uint8_t> list(4100);
    EXPECT_FALSE(platform::device_io_control(device, list_code, nullptr, 0, list.data(), 4100, nullptr, nullptr))
        << "an overlapped device needs the OVERLAPPED record";
    EXPECT_TRUE(platform::close_device(device));
    simhost::host::instance().reset();
}
} // namespace
