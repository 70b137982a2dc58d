#pragma once
// The platform boundary: the only way the library reaches the kernel drivers (and,
// as they are added, IP Helper, the socket-owner tables and the DHCP notification).
//
// The shipped library binds these functions to Windows (platform_windows.cpp). Under
// Wine the drivers do not exist and much of IP Helper aborts the process, so test
// programs link the simulated host in their place. The signatures mirror the Windows
// functions they stand for, so callers keep Windows' error conventions: a failure
// leaves its code in the thread's last error.
#include "win32.h"

namespace netaccess::platform
{
// CreateFileW (path, access 0, share read and write, no security attributes,
// OPEN_EXISTING, FILE_FLAG_OVERLAPPED, no template): INVALID_HANDLE_VALUE on failure.
HANDLE open_device(const wchar_t* path);

// DeviceIoControl on a handle returned by open_device.
BOOL device_io_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out,
                       DWORD out_size, DWORD* bytes_returned, OVERLAPPED* overlapped);

// CloseHandle of a handle returned by open_device.
BOOL close_device(HANDLE device);
} // namespace netaccess::platform
