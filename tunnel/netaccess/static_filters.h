#pragma once
// The static filter table that the packet filter driver applies to every frame before
// it decides whether to hand the frame to the program: DHCP, DHCPv6, ARP and RARP
// frames pass through the driver untouched, every other frame goes to the program.
//
// The table is a driver format (little-endian, packed). It is sent with I/O control
// rimcap::ioctl::set_static_filters, input static_filter_table_size bytes, no output.
#include <array>
#include <cstddef>
#include <cstdint>

namespace rimcap
{
#pragma pack(push, 1)

// One row of the table (184 bytes). Bytes the system does not fill stay zero.
struct static_filter_row {
    std::uint64_t adapter_handle; // 0: every adapter
    std::uint32_t direction;      // 1 sent by the stack, 2 received, 3 both
    std::uint32_t action;         // filter_action_*
    std::uint32_t valid_layers;   // filter_layer_* bits
    std::uint8_t reserved_20[36];
    // Data-link part.
    std::uint32_t data_link_selector;     // 1: Ethernet
    std::uint32_t data_link_valid_fields; // 4: Ethernet type
    std::uint8_t reserved_64[12];
    std::uint16_t ether_type; // host byte order
    std::uint8_t reserved_78[2];
    // Network part.
    std::uint32_t network_selector;     // 1: IPv4, 2: IPv6
    std::uint32_t network_valid_fields; // 4: protocol
    std::uint8_t reserved_88[24];
    std::uint8_t protocol;
    std::uint8_t reserved_113[51];
    // Transport part.
    std::uint32_t transport_selector;     // 1: TCP/UDP ports
    std::uint32_t transport_valid_fields; // 1: source port range, 2: destination port range
    std::uint16_t source_port_first;      // host byte order
    std::uint16_t source_port_last;
    std::uint16_t destination_port_first;
    std::uint16_t destination_port_last;
    std::uint8_t reserved_180[4];
};

inline constexpr std::size_t static_filter_row_count = 7;

// The whole table (1296 bytes).
struct static_filter_table {
    std::uint32_t row_count;
    std::uint32_t reserved;
    static_filter_row rows[static_filter_row_count];
};

#pragma pack(pop)

static_assert(sizeof(static_filter_row) == 184);
static_assert(offsetof(static_filter_row, direction) == 8);
static_assert(offsetof(static_filter_row, action) == 12);
static_assert(offsetof(static_filter_row, valid_layers) == 16);
static_assert(offsetof(static_filter_row, data_link_selector) == 56);
static_assert(offsetof(static_filter_row, data_link_valid_fields) == 60);
static_assert(offsetof(static_filter_row, ether_type) == 76);
static_assert(offsetof(static_filter_row, network_selector) == 80);
static_assert(offsetof(static_filter_row, network_valid_fields) == 84);
static_assert(offsetof(static_filter_row, protocol) == 112);
static_assert(offsetof(static_filter_row, transport_selector) == 164);
static_assert(offsetof(static_filter_row, transport_valid_fields) == 168);
static_assert(offsetof(static_filter_row, source_port_first) == 172);
static_assert(offsetof(static_filter_row, destination_port_first) == 176);
static_assert(offsetof(static_filter_table, rows) == 8);
static_assert(sizeof(static_filter_table) == 1296);

inline constexpr std::size_t static_filter_table_size = sizeof(static_filter_table);

inline constexpr std::uint32_t filter_direction_sent = 1;
inline constexpr std::uint32_t filter_direction_received = 2;
inline constexpr std::uint32_t filter_direction_both = 3;
inline constexpr std::uint32_t filter_action_pass = 1;    // through the driver, not to the program
inline constexpr std::uint32_t filter_action_redirect = 3; // to the program's filter
inline constexpr std::uint32_t filter_layer_data_link = 1;
inline constexpr std::uint32_t filter_layer_network = 2;
inline constexpr std::uint32_t filter_layer_transport = 4;

// The system's seven-row table, as the bytes that go to the driver.
std::array<std::uint8_t, static_filter_table_size> build_static_filter_table() noexcept;
} // namespace rimcap
