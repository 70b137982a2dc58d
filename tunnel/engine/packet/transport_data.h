#pragma once
// Opening the server's transport data into the frame that brought it: the engine
// decrypts the message into a buffer of its own, and the packet then replaces the
// datagram behind the frame's Ethernet header.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "netaccess/checksum.h"
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

// The one's complement sum of a delivered IPv4 packet's bytes behind its header, taken
// while they were copied into the frame: frame offset `from` to the packet's end
// (rimcap::recalculate_transport_checksum_with_sum finishes a checksum from it). from 0:
// nothing was summed (IPv6).
struct summed_transport {
    std::size_t from = 0;
    std::uint64_t sum = 0;
};

inline opened_transport open_transport_data(const wireguard_tunnel* engine, std::span<const std::uint8_t> message,
                                            rimcap::frame_view& frame, wireguard_result& result,
                                            summed_transport* summed = nullptr) noexcept
{
    std::array<std::uint8_t, max_inner_packet> plain; // written by the engine before use
    result = wireguard_read(engine, message.data(), static_cast<std::uint32_t>(message.size()), plain.data(),
                            static_cast<std::uint32_t>(plain.size()));
    const bool ipv4 = result.op == WRITE_TO_TUNNEL_IPV4;
    if ((!ipv4 && result.op != WRITE_TO_TUNNEL_IPV6) || result.size > plain.size())
        return opened_transport::refused;
    const std::size_t n = result.size;
    const std::span<std::uint8_t> packet = frame.area(rimcap::ip_header_offset, n);
    if (packet.size() != n || n == 0)
        return opened_transport::unusable;
    // An IPv4 packet's bytes behind its header are summed as they are copied.
    const std::size_t header = ipv4 ? std::min<std::size_t>((plain[0] & 0x0Fu) * 4u, n) : n;
    std::memcpy(packet.data(), plain.data(), header);
    const std::uint64_t sum = rimcap::checksum_copy(0, packet.data() + header, plain.data() + header, n - header);
    if (summed != nullptr)
        *summed = ipv4 ? summed_transport{rimcap::ip_header_offset + header, sum} : summed_transport{};
    if (!frame.set_u16(12, ipv4 ? rimcap::ether_type_ipv4 : rimcap::ether_type_ipv6) ||
        !frame.set_length(rimcap::ip_header_offset + n) || !frame.ok())
        return opened_transport::unusable;
    return opened_transport::delivered;
}
} // namespace wireguard
