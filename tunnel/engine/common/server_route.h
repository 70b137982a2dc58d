#pragma once
// The tunnel's server as the system sees it, for both tunnel kinds: its socket address,
// whether an address is set at all, and the interface toward it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "config/ip_types.h"
#include "netaccess/adapter_info.h"
#include "win32.h"

namespace wireguard
{
// The server as a socket address of its family (port in network order; flow information
// and scope 0); the result is the address's size.
int server_socket_address(const ip_endpoint& server, SOCKADDR_STORAGE& out) noexcept;

// All of the family's address bytes are zero (4 for IPv4, 16 for IPv6).
bool unspecified_address(const ip_address& address) noexcept;

// Sends buffer[0, size) on the connected socket through the descriptor (its length and
// pointer are set here). False on a real failure, with the code in WSAGetLastError (a
// datagram larger than the buffer: WSAEMSGSIZE, nothing sent); a pending send counts as
// sent.
bool send_to_server(SOCKET socket, WSABUF& descriptor, std::span<std::uint8_t> buffer, std::size_t size) noexcept;

// The IP Helper adapter of the interface that GetBestInterfaceEx names for the address
// (matched by the interface index of the address's family). Empty when the call fails
// (its result is then in the thread's last error) or no usable adapter has that index;
// `result` receives the call's result either way.
std::optional<iphelper::adapter_info> best_interface_toward(const ip_address& destination, DWORD& result);
} // namespace wireguard
