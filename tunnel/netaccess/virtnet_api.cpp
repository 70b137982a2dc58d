// The virtual adapter driver's device and its I/O controls.
#include "virtnet_api.h"

#include <cwchar>
#include <iterator>

#include "platform.h"

virtnet_api::virtnet_api()
{
    wchar_t path[MAX_PATH + 4];
    std::swprintf(path, std::size(path), L"\\\\.\\%ls", device_name_);
    virtnet_device_ = netaccess::platform::open_device(path);
    if (virtnet_device_ == INVALID_HANDLE_VALUE)
        return;
    overlapped_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped_.hEvent != nullptr)
        event_ok_ = 1;
}

virtnet_api::~virtnet_api()
{
    close_device();
    if (overlapped_.hEvent != nullptr)
        ::CloseHandle(overlapped_.hEvent);
}

void virtnet_api::close_device() noexcept
{
    if (virtnet_device_ != INVALID_HANDLE_VALUE)
        netaccess::platform::close_device(virtnet_device_);
    virtnet_device_ = INVALID_HANDLE_VALUE;
}

bool virtnet_api::io_control(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size)
{
    if (virtnet_device_ == INVALID_HANDLE_VALUE)
        return false;
    return netaccess::platform::device_io_control(virtnet_device_, code, in, in_size, out,
                                                  out_size, &bytes_returned_, &overlapped_) != FALSE;
}

bool virtnet_api::get_adapter_list(virtnet_adapter_list& list)
{
    return io_control(virtnet::ioctl::get_adapter_list, nullptr, 0, &list, sizeof(list));
}

bool virtnet_api::activate_adapter(std::uint32_t adapter_id)
{
    return io_control(virtnet::ioctl::activate_adapter, &adapter_id, sizeof(adapter_id), nullptr, 0);
}

bool virtnet_api::deactivate_adapter(std::uint32_t adapter_id)
{
    return io_control(virtnet::ioctl::deactivate_adapter, &adapter_id, sizeof(adapter_id), nullptr,
                      0);
}

bool virtnet_api::report_statistics(const virtnet_statistics& statistics)
{
    virtnet_statistics record = statistics;
    return io_control(virtnet::ioctl::report_statistics, &record, sizeof(record), nullptr, 0);
}
