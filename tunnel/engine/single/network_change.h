#pragma once
// Reaction of the single-adapter tunnels to network changes: the library-wide lock of
// interface-change handling and the test of whether the default interface changed.
#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "win32.h"

namespace wireguard
{
// One lock for the whole library, built on first use and destroyed at unload. It
// serialises the interface-change callbacks of all single-adapter tunnels, the
// restarts, and the starts that the manager makes, so that a callback never looks at
// a tunnel's default interface while a start on another thread detects it afresh.
// Recursive: a callback that decides to restart takes it again inside internal_restart.
std::recursive_mutex& interface_change_mutex();

// The tunnel's own addresses, which address switching may have put on the adapter
// (network order; zero: none).
struct own_addresses {
    std::uint32_t ipv4 = 0;
    std::array<std::uint8_t, 16> ipv6{};
};

// Whether the default adapter kept its addresses: the lists have the same length and
// every address of the stored list (IPv4 by its 4 bytes, IPv6 by its 16 bytes) is in
// the new list. The tunnel's own addresses are left out of both lists first: address
// switching adds them to the adapter after it was detected, and they must not make
// every later notification look like a change.
bool same_unicast_addresses(const std::vector<SOCKADDR_STORAGE>& stored, const std::vector<SOCKADDR_STORAGE>& found,
                            const own_addresses& own = {});
} // namespace wireguard
