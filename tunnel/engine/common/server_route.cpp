#include "server_route.h"

#include <cstring>
#include <vector>

#include "netaccess/platform.h"

namespace wireguard
{
int server_socket_address(const ip_endpoint& server, SOCKADDR_STORAGE& out) noexcept
{
    std::memset(&out, 0, sizeof(out));
    if (server.family == family_ipv6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(out);
        a.sin6_family = AF_INET6;
        a.sin6_port = ::htons(server.port);
        std::memcpy(&a.sin6_addr, server.address.data(), 16);
        return sizeof(sockaddr_in6);
    }
    auto& a = reinterpret_cast<sockaddr_in&>(out);
    a.sin_family = AF_INET;
    a.sin_port = ::htons(server.port);
    std::memcpy(&a.sin_addr, server.address.data(), 4);
    return sizeof(sockaddr_in);
}

bool unspecified_address(const ip_address& address) noexcept
{
    const std::size_t size = address.family == family_ipv6 ? 16 : 4;
    for (std::size_t i = 0; i < size; ++i)
        if (address.address[i] != 0)
            return false;
    return true;
}

bool send_to_server(SOCKET socket, WSABUF& descriptor, std::span<std::uint8_t> buffer, std::size_t size) noexcept
{
    if (size > buffer.size()) {
        ::WSASetLastError(WSAEMSGSIZE);
        return false;
    }
    descriptor.len = static_cast<ULONG>(size);
    descriptor.buf = reinterpret_cast<char*>(buffer.data());
    DWORD sent = 0;
    return ::WSASend(socket, &descriptor, 1, &sent, 0, nullptr, nullptr) != SOCKET_ERROR ||
           ::WSAGetLastError() == WSA_IO_PENDING;
}

std::optional<iphelper::adapter_info> best_interface_toward(const ip_address& destination, DWORD& result)
{
    ip_endpoint endpoint;
    static_cast<ip_address&>(endpoint) = destination;
    SOCKADDR_STORAGE address{};
    server_socket_address(endpoint, address); // port 0
    const bool ipv6 = destination.family == family_ipv6;

    std::vector<iphelper::adapter_info> adapters = iphelper::get_ip_adapters();
    DWORD index = 0;
    result = netaccess::platform::get_best_interface_ex(reinterpret_cast<sockaddr*>(&address), &index);
    if (result != NO_ERROR) {
        ::SetLastError(result);
        return std::nullopt;
    }
    for (auto& adapter : adapters)
        if ((ipv6 ? adapter.ipv6_if_index : adapter.if_index) == index)
            return std::move(adapter);
    return std::nullopt;
}
} // namespace wireguard
