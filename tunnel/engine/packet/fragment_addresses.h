#pragma once
// The later fragments of a decrypted datagram whose first fragment the DNS steps
// readdressed (an answer's source given back as the address the application asked,
// its destination switched back to the physical adapter's address). They carry no UDP
// header to find their query by, so they take the first fragment's addresses, and its
// stack, from here: the stack puts the datagram together only from fragments of one
// source and destination.
//
// Keyed by the datagram's fragment key as it came out of the tunnel, before any
// rewrite; 256 datagrams (fragment_memory). Used by the one thread that decrypts.
#include <array>
#include <cstdint>
#include <optional>

#include "fragment_decisions.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
class fragment_addresses
{
public:
    // After the rewrites of a decrypted packet whose place (fragment_place_of) was
    // taken before them: a first fragment that was `readdressed` is remembered with the
    // addresses it has now and whether it goes up the other stack; a later fragment of
    // a remembered datagram gets those addresses (and its IPv4 header checksum). The
    // remembered stack for such a later fragment; none for every other packet.
    std::optional<bool> follow(const fragment_place& place, rimcap::frame_view& frame, bool readdressed,
                               bool other_stack) noexcept;

private:
    struct addresses {
        std::array<std::uint8_t, 16> source{};      // IPv4: the first 4 bytes
        std::array<std::uint8_t, 16> destination{}; // IPv4: the first 4 bytes
        bool other_stack = false;
    };
    fragment_memory<addresses> memory_;
};
} // namespace wireguard
