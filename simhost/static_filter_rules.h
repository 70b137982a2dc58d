#pragma once
// The packet filter driver's static filter table as the simulated driver reads and
// applies it: rows in order, the first row that matches a frame decides.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace simhost
{
inline constexpr std::uint32_t filter_action_pass = 1;       // through the driver untouched
inline constexpr std::uint32_t filter_action_redirect = 3;   // to the program's filter

struct static_filter_row {
    std::uint64_t adapter_handle = 0; // 0: every adapter
    std::uint32_t direction = 0;      // 1 sent, 2 received, 3 both
    std::uint32_t action = 0;
    std::uint32_t valid_layers = 0;   // 1 data link, 2 network, 4 transport
    bool match_ether_type = false;
    std::uint16_t ether_type = 0;
    std::uint32_t network_selector = 0; // 1 IPv4, 2 IPv6
    bool match_protocol = false;
    std::uint8_t protocol = 0;
    bool match_source_ports = false;
    std::uint16_t source_first = 0, source_last = 0;
    bool match_destination_ports = false;
    std::uint16_t destination_first = 0, destination_last = 0;
};

inline constexpr std::size_t static_filter_header_size = 8;
inline constexpr std::size_t static_filter_row_size = 184;

// Reads a table; an error text when its length or a row is not one the driver knows.
std::optional<std::string> parse_static_filter_table(std::span<const std::uint8_t> table,
                                                     std::vector<static_filter_row>& rows);

// The action of the first row that matches, or 0 when none does.
std::uint32_t static_filter_action(const std::vector<static_filter_row>& rows,
                                   std::uint64_t adapter_handle, std::uint32_t direction,
                                   std::span<const std::uint8_t> frame);
} // namespace simhost
