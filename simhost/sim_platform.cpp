// The platform boundary bound to the simulated host.
#include "platform.h"

namespace netaccess::platform
{
HANDLE open_device(const wchar_t*)
{
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL device_io_control(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*, OVERLAPPED*)
{
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL close_device(HANDLE)
{
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
} // namespace netaccess::platform
