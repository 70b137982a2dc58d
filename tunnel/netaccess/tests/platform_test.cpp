#include <gtest/gtest.h>

#include "packet_driver.h"
#include "platform.h"
#include "test_support.h"

namespace
{
using platform_boundary = test_support::simulated_host_test;

TEST_F(platform_boundary, absent_device_fails_with_file_not_found)
{
    driver().set_present(false);
    HANDLE h = netaccess::platform::open_device(L"\\\\.\\KESTRAL");
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(platform_boundary, present_device_opens_and_closes_once)
{
    HANDLE h = netaccess::platform::open_device(L"\\\\.\\KESTRAL");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(driver().open_device_count(), 1u);
    EXPECT_TRUE(netaccess::platform::close_device(h));
    EXPECT_EQ(driver().open_device_count(), 0u);
}

TEST_F(platform_boundary, other_devices_do_not_exist)
{
    EXPECT_EQ(netaccess::platform::open_device(L"\\\\.\\LORRIVAN"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}
} // namespace
