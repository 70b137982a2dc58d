#pragma once
// UDP sockets on 127.0.0.1 for the test servers and sinks.
#include <cstdint>

#include "win32.h"

namespace tunnel_test
{
// Winsock for the test's own sockets, started once for the test program (the tunnel
// alone does not start it; the manager does).
inline void start_winsock()
{
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

// A UDP socket bound to 127.0.0.1 on a port of the system's choice, which goes to port.
inline SOCKET bind_loopback_udp(std::uint16_t& port)
{
    start_winsock();
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int size = sizeof(a);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
    port = ::ntohs(a.sin_port);
    return s;
}

// True when a datagram can be read within 10 ms, so that a receiving loop sees its stop flag.
inline bool readable_soon(SOCKET s)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval t{0, 10000};
    return ::select(0, &set, nullptr, nullptr, &t) == 1;
}
} // namespace tunnel_test
