// The platform boundary bound to the simulated host.
#include "packet_driver.h"
#include "platform.h"

namespace netaccess::platform
{
HANDLE open_device(const wchar_t* path)
{
    return simhost::packet_driver::instance().open(path);
}

BOOL device_io_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out,
                       DWORD out_size, DWORD* bytes_returned, OVERLAPPED* overlapped)
{
    return simhost::packet_driver::instance().io_control(device, code, in, in_size, out, out_size,
                                                         bytes_returned, overlapped);
}

BOOL close_device(HANDLE device)
{
    return simhost::packet_driver::instance().close(device);
}
} // namespace netaccess::platform
