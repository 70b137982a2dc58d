#include <gtest/gtest.h>

#include "platform.h"

TEST(platform_boundary, absent_device_fails_with_file_not_found)
{
    HANDLE h = netaccess::platform::open_device(L"\\\\.\\KESTRAL");
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}
