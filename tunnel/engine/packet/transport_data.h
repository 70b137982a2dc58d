#pragma once
// Opening the server's transport data into the frame that brought it: the engine
// decrypts the message into a buffer of its own, and the packet then replaces the
// datagram behind the frame's Ethernet header.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "netaccess/frame_view.h"
#include "wgengine/wireguard_engine.h"

namespace wireguard
{
// Room for the decrypted packet: the frame area behind the Ethernet header.
inline constexpr std::size_t max_inner_packet = rimcap::max_frame_size - rimcap::ip_header_offset; // 1500

enum class opened_transport : std::uint8_t {
    delivered, // the frame holds the packet and passes the frame checks
    refused,   // the engine gave no IP packet; `result` holds its answer
    unusable,  // the packet does not pass the frame checks as a packet of its version
};

inline opened_transport open_transport_data(const wireguard_tunnel* engine, std::span<const std::uint8_t> message,
                                            rimcap::frame_view& frame, wireguard_result& result) noexcept
{
    std::array<std::uint8_t, max_inner_packet> plain; // written by the engine before use
    result = wireguard_read(engine, message.data(), static_cast<std::uint32_t>(message.size()), plain.data(),
                            static_cast<std::uint32_t>(plain.size()));
    const bool ipv4 = result.op == WRITE_TO_TUNNEL_IPV4;
    if ((!ipv4 && result.op != WRITE_TO_TUNNEL_IPV6) || result.size > plain.size())
        return opened_transport::refused;
    if (!frame.write(rimcap::ip_header_offset, plain.data(), result.size) ||
        !frame.set_u16(12, ipv4 ? rimcap::ether_type_ipv4 : rimcap::ether_type_ipv6) ||
        !frame.set_length(rimcap::ip_header_offset + result.size) || !frame.ok())
        return opened_transport::unusable;
    return opened_transport::delivered;
}
} // namespace wireguard
