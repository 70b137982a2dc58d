#include "simulated_device.h"

#include <algorithm>
#include <cwctype>

namespace simhost
{
std::string size_text(const char* what, DWORD size, DWORD expected)
{
    return std::string(what) + " length " + std::to_string(size) + ", expected " + std::to_string(expected);
}

std::string check_sizes(DWORD in_size, DWORD expected_in, DWORD out_size, DWORD expected_out)
{
    if (in_size != expected_in)
        return size_text("input", in_size, expected_in);
    if (out_size != expected_out)
        return size_text("output", out_size, expected_out);
    return {};
}

bool simulated_device::is_device_path(const wchar_t* path) const
{
    if (path == nullptr)
        return false;
    std::size_t i = 0;
    for (; path_[i] != L'\0'; ++i)
        if (static_cast<wchar_t>(std::towupper(path[i])) != path_[i])
            return false;
    return path[i] == L'\0';
}

HANDLE simulated_device::open(const wchar_t* path)
{
    std::lock_guard lock(mutex_);
    if (!present() || !is_device_path(path)) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE device = reinterpret_cast<HANDLE>(handle_base_ + 4 * ++next_);
    open_.push_back(device);
    return device;
}

bool simulated_device::owns(HANDLE device) const
{
    std::lock_guard lock(mutex_);
    return std::find(open_.begin(), open_.end(), device) != open_.end();
}

BOOL simulated_device::close(HANDLE device)
{
    std::lock_guard lock(mutex_);
    const auto found = std::find(open_.begin(), open_.end(), device);
    if (found == open_.end()) {
        record_violation("close of a handle that is not an open device");
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    open_.erase(found);
    return TRUE;
}

std::size_t simulated_device::open_device_count() const
{
    std::lock_guard lock(mutex_);
    return open_.size();
}

void simulated_device::fail_next(DWORD code, DWORD error, unsigned times)
{
    std::lock_guard lock(mutex_);
    failures_[code] = {error, times};
}

DWORD simulated_device::check_request(HANDLE device, const void* in, DWORD in_size, const void* out, DWORD out_size,
                                      const OVERLAPPED* overlapped, std::string& violation) const
{
    if (std::find(open_.begin(), open_.end(), device) == open_.end()) {
        violation = "I/O control on a handle that is not an open device";
        return ERROR_INVALID_HANDLE;
    }
    if (overlapped == nullptr)
        violation = "no OVERLAPPED record for the overlapped device";
    else if ((in_size != 0 && in == nullptr) || (out_size != 0 && out == nullptr))
        violation = "null buffer with a non-zero length";
    return violation.empty() ? NO_ERROR : ERROR_INVALID_PARAMETER;
}

std::optional<DWORD> simulated_device::injected_failure(DWORD code)
{
    auto found = failures_.find(code);
    if (found == failures_.end() || found->second.second == 0)
        return std::nullopt;
    const DWORD error = found->second.first;
    if (--found->second.second == 0)
        failures_.erase(found);
    return error;
}

void simulated_device::reset_device()
{
    open_.clear();
    stale_.clear();
    failures_.clear();
}

void simulated_device::make_open_handles_stale()
{
    stale_.insert(stale_.end(), open_.begin(), open_.end());
}

bool simulated_device::stale(HANDLE device) const
{
    return std::find(stale_.begin(), stale_.end(), device) != stale_.end();
}
} // namespace simhost
