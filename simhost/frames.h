#pragma once
// Frames of the simulated host's network: Ethernet frames that carry an IPv4 packet with
// valid lengths and checksums, built here without help from the system under test (the
// wire and the host's applications build theirs with these).
#include <cstdint>
#include <span>

#include "host.h"
#include "packet_driver.h"
#include "win32.h"

namespace simhost
{
inline constexpr std::size_t ethernet_header_size = 14;
inline constexpr std::size_t max_frame_size = 1514;

struct ip_packet_spec {
    mac_address destination_mac{};
    mac_address source_mac{};
    SOCKADDR_INET source{}; // IPv4
    SOCKADDR_INET destination{};
    std::uint8_t protocol = 0;
    std::uint16_t identification = 0;
};

// The frame of an IPv4 packet around the transport part (header and data): a 20-byte
// header, don't-fragment set, TTL 128 and its header checksum. The transport checksum of
// ICMP (1) and UDP (17) is computed into the transport part (a UDP sum of 0 is sent as
// 0xFFFF); other protocols are left as they are. Throws std::invalid_argument for
// addresses other than IPv4, or a frame above 1514 bytes.
frame_bytes build_ip_frame(const ip_packet_spec& spec, std::span<const std::uint8_t> transport);

// A UDP header (checksum left 0) followed by the payload; ports in host order.
frame_bytes udp_datagram(std::uint16_t source_port, std::uint16_t destination_port,
                         std::span<const std::uint8_t> payload);

// An ICMP echo request (type 8; checksum left 0).
frame_bytes echo_request(std::uint16_t id, std::uint16_t sequence, std::span<const std::uint8_t> data);
} // namespace simhost
