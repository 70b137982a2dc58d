#pragma once
// Frames of the simulated host's network: Ethernet frames that carry an IPv4 or IPv6
// packet with valid lengths and checksums, built here without help from the system
// under test (the wire and the host's applications build theirs with these).
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
    SOCKADDR_INET source{};       // both addresses of one family
    SOCKADDR_INET destination{};
    std::uint8_t protocol = 0;
    std::uint16_t identification = 0; // IPv4
};

// The frame of an IP packet around the transport part (header and data): IPv4 with a
// 20-byte header, don't-fragment set, TTL 128 and its header checksum; IPv6 with traffic
// class and flow label 0 and hop limit 128. The transport checksum of ICMP (1), TCP (6),
// UDP (17) and ICMPv6 (58) is computed into the transport part (a UDP sum of 0 is sent as
// 0xFFFF); other protocols are left as they are. Throws std::invalid_argument for
// addresses of two families or of another family, or a frame above 1514 bytes.
frame_bytes build_ip_frame(const ip_packet_spec& spec, std::span<const std::uint8_t> transport);

// A UDP header (checksum left 0) followed by the payload; ports in host order.
frame_bytes udp_datagram(std::uint16_t source_port, std::uint16_t destination_port,
                         std::span<const std::uint8_t> payload);

// An echo request of the family (ICMP type 8, ICMPv6 type 128; checksum left 0).
frame_bytes echo_request(ADDRESS_FAMILY family, std::uint16_t id, std::uint16_t sequence,
                         std::span<const std::uint8_t> data);
} // namespace simhost
