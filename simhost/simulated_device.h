#pragma once
// What the simulated drivers share: the device that a program opens by its path, the
// checks that every I/O control of the overlapped device passes before the driver looks
// at it, the failures that a test injects, and byte access to the driver's records.
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "win32.h"

namespace simhost
{
// A value of a driver's record, which is laid out without regard to alignment.
template <class T> T load(const void* base, std::size_t offset)
{
    T value{};
    std::memcpy(&value, static_cast<const std::uint8_t*>(base) + offset, sizeof(T));
    return value;
}

template <class T> void store(void* base, std::size_t offset, T value)
{
    std::memcpy(static_cast<std::uint8_t*>(base) + offset, &value, sizeof(T));
}

std::string size_text(const char* what, DWORD size, DWORD expected);
// The exact input and output lengths of an I/O control: what is wrong, or "".
std::string check_sizes(DWORD in_size, DWORD expected_in, DWORD out_size, DWORD expected_out);

class simulated_device
{
public:
    bool is_device_path(const wchar_t* path) const; // the device's path, in any case
    // A new handle; INVALID_HANDLE_VALUE with last error 2 when the device is absent or
    // the path is another.
    HANDLE open(const wchar_t* path);
    bool owns(HANDLE device) const;
    // FALSE, with last error 6 and a broken rule, when the handle is not open.
    BOOL close(HANDLE device);
    std::size_t open_device_count() const;
    // The next `times` calls of that code fail with that error after their checks
    // passed, doing nothing.
    void fail_next(DWORD code, DWORD error, unsigned times = 1);

protected:
    // Handles are handle_base + 4, + 8, ...: values that no real handle of the process
    // takes, nor one of another simulated device.
    simulated_device(const wchar_t* path, std::uintptr_t handle_base) : path_(path), handle_base_(handle_base) {}
    ~simulated_device() = default;

    // Lock held: whether the device can be opened; a broken rule to record.
    virtual bool present() const = 0;
    virtual void record_violation(std::string text) = 0;

    // Lock held. The error of an I/O control on a handle that is not open, without an
    // OVERLAPPED record, or with a null buffer of a non-zero length, and the rule it
    // broke; 0 when the call passes.
    DWORD check_request(HANDLE device, const void* in, DWORD in_size, const void* out, DWORD out_size,
                        const OVERLAPPED* overlapped, std::string& violation) const;
    // Lock held. The error injected for this call of the code (used up), if any.
    std::optional<DWORD> injected_failure(DWORD code);
    // Lock held. Forgets the open handles and the injected failures.
    void reset_device();
    // Lock held. The handles open now lead to the device that is gone (as after an unload
    // of its driver) for as long as they stay open, whatever is loaded later.
    void make_open_handles_stale();
    bool stale(HANDLE device) const;

    mutable std::mutex mutex_;

private:
    const wchar_t* path_;
    std::uintptr_t handle_base_;
    std::uintptr_t next_ = 0;
    std::vector<HANDLE> open_;
    std::vector<HANDLE> stale_;
    std::map<DWORD, std::pair<DWORD, unsigned>> failures_;
};
} // namespace simhost
