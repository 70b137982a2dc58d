#include "static_filter_rules.h"

#include <cstring>

namespace simhost
{
namespace
{
template <class T> T read_le(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

std::uint16_t read_be16(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

constexpr std::uint16_t ether_type_ipv4 = 0x0800;
constexpr std::uint16_t ether_type_ipv6 = 0x86DD;
constexpr std::size_t ethernet_header = 14;

// Where the IP header's protocol and transport header are, when the frame has them.
struct ip_view {
    bool valid = false;
    std::uint32_t selector = 0; // 1 IPv4, 2 IPv6
    std::uint8_t protocol = 0;
    std::size_t transport_offset = 0;
};

ip_view view_ip(std::span<const std::uint8_t> frame)
{
    ip_view view;
    if (frame.size() < ethernet_header)
        return view;
    const std::uint16_t ether_type = read_be16(frame, 12);
    if (ether_type == ether_type_ipv4) {
        if (frame.size() < ethernet_header + 20 || (frame[14] >> 4) != 4)
            return view;
        const std::size_t header_length = static_cast<std::size_t>(frame[14] & 0x0F) * 4;
        if (header_length < 20 || ethernet_header + header_length > frame.size())
            return view;
        view = {true, 1, frame[ethernet_header + 9], ethernet_header + header_length};
    } else if (ether_type == ether_type_ipv6) {
        if (frame.size() < ethernet_header + 40 || (frame[14] >> 4) != 6)
            return view;
        view = {true, 2, frame[ethernet_header + 6], ethernet_header + 40};
    }
    return view;
}

bool row_matches(const static_filter_row& row, std::uint64_t adapter_handle,
                 std::uint32_t direction, std::span<const std::uint8_t> frame)
{
    if (row.adapter_handle != 0 && row.adapter_handle != adapter_handle)
        return false;
    if ((row.direction & direction) == 0)
        return false;
    if ((row.valid_layers & 1) && row.match_ether_type &&
        (frame.size() < ethernet_header || read_be16(frame, 12) != row.ether_type))
        return false;
    if ((row.valid_layers & 6) == 0)
        return true;

    const ip_view ip = view_ip(frame);
    if (!ip.valid)
        return false;
    if ((row.valid_layers & 2) &&
        (ip.selector != row.network_selector || (row.match_protocol && ip.protocol != row.protocol)))
        return false;
    if (row.valid_layers & 4) {
        if ((ip.protocol != 6 && ip.protocol != 17) || ip.transport_offset + 4 > frame.size())
            return false;
        const std::uint16_t source = read_be16(frame, ip.transport_offset);
        const std::uint16_t destination = read_be16(frame, ip.transport_offset + 2);
        if (row.match_source_ports && (source < row.source_first || source > row.source_last))
            return false;
        if (row.match_destination_ports &&
            (destination < row.destination_first || destination > row.destination_last))
            return false;
    }
    return true;
}
} // namespace

std::optional<std::string> parse_static_filter_table(std::span<const std::uint8_t> table,
                                                     std::vector<static_filter_row>& rows)
{
    if (table.size() < static_filter_header_size)
        return "static filter table shorter than its 8-byte header";
    const auto count = read_le<std::uint32_t>(table, 0);
    if (count > (table.size() - static_filter_header_size) / static_filter_row_size ||
        table.size() != static_filter_header_size + std::size_t{count} * static_filter_row_size)
        return "static filter table of " + std::to_string(table.size()) + " bytes for " +
               std::to_string(count) + " rows";

    std::vector<static_filter_row> parsed;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto raw = table.subspan(static_filter_header_size + i * static_filter_row_size,
                                       static_filter_row_size);
        const std::string where = "static filter row " + std::to_string(i) + ": ";
        static_filter_row row;
        row.adapter_handle = read_le<std::uint64_t>(raw, 0);
        row.direction = read_le<std::uint32_t>(raw, 8);
        row.action = read_le<std::uint32_t>(raw, 12);
        row.valid_layers = read_le<std::uint32_t>(raw, 16);
        if (row.direction < 1 || row.direction > 3)
            return where + "direction " + std::to_string(row.direction);
        if (row.action != filter_action_pass && row.action != filter_action_redirect)
            return where + "action " + std::to_string(row.action);
        if (row.valid_layers & ~7u)
            return where + "valid layers " + std::to_string(row.valid_layers);

        if (row.valid_layers & 1) {
            const auto selector = read_le<std::uint32_t>(raw, 56);
            const auto fields = read_le<std::uint32_t>(raw, 60);
            if (selector != 1 || (fields & ~4u))
                return where + "data-link part";
            row.match_ether_type = (fields & 4) != 0;
            row.ether_type = read_le<std::uint16_t>(raw, 76);
        }
        if (row.valid_layers & 2) {
            row.network_selector = read_le<std::uint32_t>(raw, 80);
            const auto fields = read_le<std::uint32_t>(raw, 84);
            if ((row.network_selector != 1 && row.network_selector != 2) || (fields & ~4u))
                return where + "network part";
            row.match_protocol = (fields & 4) != 0;
            row.protocol = raw[112];
        }
        if (row.valid_layers & 4) {
            const auto selector = read_le<std::uint32_t>(raw, 164);
            const auto fields = read_le<std::uint32_t>(raw, 168);
            if (selector != 1 || (fields & ~3u))
                return where + "transport part";
            row.match_source_ports = (fields & 1) != 0;
            row.match_destination_ports = (fields & 2) != 0;
            row.source_first = read_le<std::uint16_t>(raw, 172);
            row.source_last = read_le<std::uint16_t>(raw, 174);
            row.destination_first = read_le<std::uint16_t>(raw, 176);
            row.destination_last = read_le<std::uint16_t>(raw, 178);
            if ((row.match_source_ports && row.source_first > row.source_last) ||
                (row.match_destination_ports && row.destination_first > row.destination_last))
                return where + "port range";
        }
        parsed.push_back(row);
    }
    rows = std::move(parsed);
    return std::nullopt;
}

std::uint32_t static_filter_action(const std::vector<static_filter_row>& rows,
                                   std::uint64_t adapter_handle, std::uint32_t direction,
                                   std::span<const std::uint8_t> frame)
{
    for (const auto& row : rows)
        if (row_matches(row, adapter_handle, direction, frame))
            return row.action;
    return 0;
}
} // namespace simhost
