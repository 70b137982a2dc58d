// The driver device and its I/O controls.
#include "rimcap.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "platform.h"

namespace
{
constexpr std::size_t device_path_size = 1000;
// A refused release is tried this often in all, with this pause between tries.
constexpr unsigned release_attempts = 4;
constexpr DWORD release_pause_ms = 5;
}

CRimCap::CRimCap()
{
    wchar_t path[device_path_size];
    std::swprintf(path, device_path_size, L"\\\\.\\%ls", L"KESTRAL");

    device_ = netaccess::platform::open_device(path);
    if (device_ != INVALID_HANDLE_VALUE) {
        overlapped_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (overlapped_.hEvent != nullptr)
            open_flag_ = true;
    }

    bytes_returned_ = 0;
    is_wow64_ = FALSE;
    if (is_windows_version_or_greater(5, 1)) {
        if (HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll")) {
            is_wow64_process_ = reinterpret_cast<is_wow64_process_function>(
                reinterpret_cast<void*>(::GetProcAddress(kernel32, "IsWow64Process")));
            if (is_wow64_process_ != nullptr)
                is_wow64_process_(::GetCurrentProcess(), &is_wow64_);
        }
    }

    // A 32-bit process on 64-bit Windows lists the adapters once so that the driver
    // learns the caller's pointer size. The 64-bit library never does this.
    if (is_wow64_ != FALSE) {
        auto list = std::make_unique<rimcap::filter_adapter_list>();
        get_adapter_list(*list);
    }
}

CRimCap::~CRimCap()
{
    release_refused_adapters();
    if (device_ != INVALID_HANDLE_VALUE)
        netaccess::platform::close_device(device_);
    if (overlapped_.hEvent != nullptr)
        ::CloseHandle(overlapped_.hEvent);
}

bool CRimCap::device_io_control(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size)
{
    if (device_ == INVALID_HANDLE_VALUE)
        return false;
    return netaccess::platform::device_io_control(device_, code, in, in_size, out, out_size,
                                                  &bytes_returned_, &overlapped_) != FALSE;
}

bool CRimCap::get_adapter_list(rimcap::filter_adapter_list& list)
{
    return device_io_control(rimcap::ioctl::get_adapter_list, &list, sizeof(list), &list,
                             sizeof(list));
}

bool CRimCap::set_adapter_mode(const rimcap::adapter_mode& mode)
{
    rimcap::adapter_mode request = mode;
    const bool accepted = device_io_control(rimcap::ioctl::set_adapter_mode, &request,
                                            sizeof(request), nullptr, 0);
    if (accepted)
        note_release(mode.adapter_handle, true);
    return accepted;
}

bool CRimCap::release_adapter_mode(std::uint64_t adapter_handle)
{
    for (unsigned attempt = 0; attempt < release_attempts && device_ != INVALID_HANDLE_VALUE;
         ++attempt) {
        if (attempt != 0)
            ::Sleep(release_pause_ms);
        if (set_adapter_mode({adapter_handle, 0}))
            return true;
    }
    note_release(adapter_handle, false);
    return false;
}

bool CRimCap::release_refused_adapters() noexcept
{
    std::vector<std::uint64_t> unreleased;
    {
        std::lock_guard lock(unreleased_mutex_);
        unreleased.swap(unreleased_);
    }
    bool all = true;
    for (std::uint64_t handle : unreleased) {
        if (release_adapter_mode(handle))
            flush_adapter_queue(handle);
        else
            all = false; // remembered again
    }
    return all;
}

// A refused release is remembered; any mode that the driver accepts later for that
// adapter supersedes it.
void CRimCap::note_release(std::uint64_t adapter_handle, bool released) noexcept
{
    std::lock_guard lock(unreleased_mutex_);
    auto found = std::find(unreleased_.begin(), unreleased_.end(), adapter_handle);
    if (released && found != unreleased_.end()) {
        unreleased_.erase(found);
    } else if (!released && found == unreleased_.end() && device_ != INVALID_HANDLE_VALUE) {
        try {
            unreleased_.push_back(adapter_handle);
        } catch (const std::bad_alloc&) {
            // Out of memory: the release at destruction is given up, nothing else.
        }
    }
}

bool CRimCap::get_adapter_mode(rimcap::adapter_mode& mode)
{
    return device_io_control(rimcap::ioctl::get_adapter_mode, &mode, sizeof(mode), &mode,
                             sizeof(mode));
}

bool CRimCap::flush_adapter_queue(std::uint64_t adapter_handle)
{
    return device_io_control(rimcap::ioctl::flush_adapter_queue, &adapter_handle,
                             sizeof(adapter_handle), nullptr, 0);
}

// Windows older than 5.1 wants a VxD handle for the event.
bool CRimCap::convert_event_for_driver(HANDLE& event) const
{
    if (is_windows_version_or_greater(5, 1))
        return true;

    HMODULE kernel32 = ::LoadLibraryW(L"kernel32.dll");
    if (kernel32 == nullptr)
        return false;
    using open_vxd_handle_function = HANDLE(WINAPI*)(HANDLE);
    auto open_vxd_handle = reinterpret_cast<open_vxd_handle_function>(
        reinterpret_cast<void*>(::GetProcAddress(kernel32, "OpenVxDHandle")));
    if (open_vxd_handle == nullptr) {
        ::FreeLibrary(kernel32);
        return false;
    }
    if (event != nullptr)
        event = open_vxd_handle(event);
    ::FreeLibrary(kernel32);
    return true;
}

bool CRimCap::set_packet_event(std::uint64_t adapter_handle, HANDLE event)
{
    if (device_ == INVALID_HANDLE_VALUE)
        return false;
    if (!convert_event_for_driver(event))
        return false;
    rimcap::packet_event_request request{};
    request.adapter_handle = adapter_handle;
    request.event_handle = reinterpret_cast<std::uint64_t>(event);
    return device_io_control(rimcap::ioctl::set_packet_event, &request, sizeof(request), nullptr,
                             0);
}

bool CRimCap::set_adapter_list_change_event(HANDLE event)
{
    if (device_ == INVALID_HANDLE_VALUE)
        return false;
    if (!convert_event_for_driver(event))
        return false;
    auto value = reinterpret_cast<std::uint64_t>(event);
    return device_io_control(rimcap::ioctl::set_adapter_list_change_event, &value, sizeof(value),
                             nullptr, 0);
}

bool CRimCap::read_packets(rimcap::packet_request& request)
{
    if (request.packet_count > rimcap::max_request_packets)
        return false;
    const DWORD size = rimcap::packet_request_size(request.packet_count);
    return device_io_control(rimcap::ioctl::read_packets, &request, size, &request, size);
}

bool CRimCap::send_packets_to_adapter(rimcap::packet_request& request)
{
    if (request.packet_count > rimcap::max_request_packets)
        return false;
    return device_io_control(rimcap::ioctl::send_to_adapter, &request,
                             rimcap::packet_request_size(request.packet_count), nullptr, 0);
}

bool CRimCap::send_packets_to_mstcp(rimcap::packet_request& request)
{
    if (request.packet_count > rimcap::max_request_packets)
        return false;
    return device_io_control(rimcap::ioctl::send_to_stack, &request,
                             rimcap::packet_request_size(request.packet_count), nullptr, 0);
}
