// The platform boundary bound to Windows itself.
#include "platform.h"

namespace netaccess::platform
{
HANDLE open_device(const wchar_t* path)
{
    return ::CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
}

BOOL device_io_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out,
                       DWORD out_size, DWORD* bytes_returned, OVERLAPPED* overlapped)
{
    return ::DeviceIoControl(device, code, in, in_size, out, out_size, bytes_returned, overlapped);
}

BOOL close_device(HANDLE device)
{
    return ::CloseHandle(device);
}
} // namespace netaccess::platform
