#pragma once
// A Winsock socket with a single owner: closed exactly once, by the owner's
// destructor or reset().
#include <utility>

#include "win32.h"

namespace wireguard
{
class unique_socket
{
public:
    unique_socket() noexcept = default;
    explicit unique_socket(SOCKET s) noexcept : socket_(s) {}
    unique_socket(unique_socket&& other) noexcept : socket_(other.release()) {}
    unique_socket& operator=(unique_socket&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_socket(const unique_socket&) = delete;
    unique_socket& operator=(const unique_socket&) = delete;
    ~unique_socket() { reset(); }

    SOCKET get() const noexcept { return socket_; }
    explicit operator bool() const noexcept { return socket_ != INVALID_SOCKET; }

    // Gives the socket up without closing it.
    SOCKET release() noexcept { return std::exchange(socket_, INVALID_SOCKET); }

    // Closes the socket held (if any) and takes s.
    void reset(SOCKET s = INVALID_SOCKET) noexcept
    {
        const SOCKET old = std::exchange(socket_, s);
        if (old != INVALID_SOCKET)
            ::closesocket(old);
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
};
} // namespace wireguard
