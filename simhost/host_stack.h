#pragma once
// The simulated host's protocol stack as its applications use it.
//
// Sending: the host network's routes (host_network::choose_route) pick the adapter, the
// source address and the next hop's MAC address, and the packet enters the packet filter
// driver as an outgoing frame (direction 1) of that adapter, the way the stack hands
// its frames to the driver: Ethernet from the adapter's MAC to the next hop's (zero when
// it is not known), IP from the adapter's first address of the family, lengths and
// checksums valid. An application bound to one of the host's addresses sends from it
// through the adapter that holds it, whatever the routes say.
//
// Receiving: what comes up an adapter's stack (every frame that the packet filter
// driver delivered to the stack, whether a filter sent it there or the driver passed
// it on) reaches the applications; a bound application sees only what is addressed to
// its address.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "frames.h"
#include "win32.h"

namespace simhost
{
// A packet that an application sent.
struct sent_packet {
    std::string guid;    // the adapter that it left through
    frame_bytes frame;   // as the driver got it
    std::string refused; // why it could not be sent ("no route", ...); empty when sent
    explicit operator bool() const { return refused.empty(); }
};

class application
{
public:
    // Sends from the address that the routes choose.
    application();
    // Bound to one of the host's addresses.
    explicit application(std::string_view bound_address);

    // The transport part (header and data) of a packet of that protocol to the
    // destination; its checksum is filled in (frames.h).
    sent_packet send(std::string_view destination, std::uint8_t protocol,
                     std::span<const std::uint8_t> transport);
    sent_packet send_udp(std::string_view destination, std::uint16_t source_port,
                         std::uint16_t destination_port, std::span<const std::uint8_t> payload);
    sent_packet send_echo(std::string_view destination, std::uint16_t id, std::uint16_t sequence,
                          std::span<const std::uint8_t> data);

    // The next frame for this application that `match` accepts among those that came up
    // the stack since it was made (or since the last frame received); empty when none
    // came within the time.
    std::optional<frame_bytes> receive(const std::function<bool(const frame_bytes&)>& match,
                                       std::chrono::milliseconds timeout);
    // An echo reply (ICMP type 0 or ICMPv6 type 129) with that id and sequence.
    std::optional<frame_bytes> receive_echo_reply(std::uint16_t id, std::uint16_t sequence,
                                                  std::chrono::milliseconds timeout);

private:
    bool addressed_to_me(const frame_bytes& frame) const;

    std::optional<SOCKADDR_INET> bound_;
    std::uint64_t seen_ = 0; // the last delivery looked at (packet_driver's sequence)
};
} // namespace simhost
