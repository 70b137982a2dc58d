// The static filter table.
#include "static_filters.h"

#include <bit>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "the driver's table is little-endian");

namespace rimcap
{
namespace
{
// UDP between two port ranges in one direction: source ports for frames the stack
// sends, destination ports for frames it receives.
static_filter_row udp_ports_row(std::uint32_t direction, std::uint32_t network_selector, std::uint16_t first,
                                std::uint16_t last)
{
    static_filter_row row{};
    row.direction = direction;
    row.action = filter_action_pass;
    row.valid_layers = filter_layer_network | filter_layer_transport;
    row.network_selector = network_selector;
    row.network_valid_fields = 4;
    row.protocol = 17;
    row.transport_selector = 1;
    if (direction == filter_direction_sent) {
        row.transport_valid_fields = 1;
        row.source_port_first = first;
        row.source_port_last = last;
    } else {
        row.transport_valid_fields = 2;
        row.destination_port_first = first;
        row.destination_port_last = last;
    }
    return row;
}

static_filter_row ether_type_row(std::uint16_t ether_type)
{
    static_filter_row row{};
    row.direction = filter_direction_both;
    row.action = filter_action_pass;
    row.valid_layers = filter_layer_data_link;
    row.data_link_selector = 1;
    row.data_link_valid_fields = 4;
    row.ether_type = ether_type;
    return row;
}
} // namespace

std::array<std::uint8_t, static_filter_table_size> build_static_filter_table() noexcept
{
    static_filter_table table{};
    table.row_count = static_filter_row_count;
    table.rows[0] = udp_ports_row(filter_direction_sent, 1, 67, 68);      // DHCP out
    table.rows[1] = udp_ports_row(filter_direction_received, 1, 67, 68);  // DHCP in
    table.rows[2] = udp_ports_row(filter_direction_sent, 2, 546, 547);    // DHCPv6 out
    table.rows[3] = udp_ports_row(filter_direction_received, 2, 546, 547); // DHCPv6 in
    table.rows[4] = ether_type_row(0x0806);                                // ARP
    table.rows[5] = ether_type_row(0x8035);                                // RARP
    table.rows[6].direction = filter_direction_both;                      // everything else
    table.rows[6].action = filter_action_redirect;

    std::array<std::uint8_t, static_filter_table_size> bytes{};
    std::memcpy(bytes.data(), &table, sizeof table);
    return bytes;
}
} // namespace rimcap
