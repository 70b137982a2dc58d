#pragma once
// Owners of Windows handles: each closes its handle when it goes.
#include "win32.h"

#include <utility>

// Kernel object handles (events, mutexes, threads, processes). Null and
// INVALID_HANDLE_VALUE both mean "none".
class unique_handle
{
public:
    unique_handle() = default;
    explicit unique_handle(HANDLE handle) : handle_(handle) {}
    unique_handle(unique_handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    unique_handle& operator=(unique_handle&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    ~unique_handle() { reset(); }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle = nullptr)
    {
        if (*this)
            ::CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// Handles of the service control manager and of services.
class service_handle
{
public:
    service_handle() = default;
    explicit service_handle(SC_HANDLE handle) : handle_(handle) {}
    service_handle(service_handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    service_handle& operator=(service_handle&& other) noexcept
    {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    service_handle(const service_handle&) = delete;
    service_handle& operator=(const service_handle&) = delete;
    ~service_handle() { reset(); }

    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset()
    {
        if (handle_)
            ::CloseServiceHandle(handle_);
        handle_ = nullptr;
    }

private:
    SC_HANDLE handle_ = nullptr;
};
