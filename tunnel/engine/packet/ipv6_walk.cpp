// The IPv6 extension-header walk and the IPv6 upper-layer checksum.
#include "ipv6_walk.h"

#include "netaccess/checksum.h"

namespace wireguard
{
namespace
{
constexpr std::uint8_t next_hop_by_hop = 0;
constexpr std::uint8_t next_routing = 43;
constexpr std::uint8_t next_fragment = 44;
constexpr std::uint8_t next_destination_options = 60;
constexpr std::size_t fragment_header_size = 8;
constexpr std::size_t min_upper_layer_bytes = 4;

rimcap::transport_header upper_layer_at(std::uint8_t protocol, std::size_t position, std::size_t end)
{
    rimcap::transport_header t;
    t.protocol = protocol;
    t.offset = static_cast<std::uint16_t>(position);
    t.length = static_cast<std::uint16_t>(end - position);
    return t;
}
} // namespace

ipv6_upper_layer_info ipv6_upper_layer(const rimcap::frame_view& frame) noexcept
{
    ipv6_upper_layer_info info;
    if (!frame.is_ipv6())
        return info;
    const std::size_t end = frame.ip_end();
    std::uint8_t next = frame.u8(rimcap::ip_header_offset + 6);
    std::size_t position = rimcap::ip_header_offset + rimcap::ipv6_header_size;
    // Each extension header moves the position on by at least 8 bytes, so the walk
    // ends after at most 1500 / 8 headers.
    for (;;) {
        info.protocol = next;
        if (position + min_upper_layer_bytes > end)
            return info;
        switch (next) {
        case next_hop_by_hop:
        case next_routing:
        case next_destination_options:
            next = frame.u8(position);
            position += (std::size_t{frame.u8(position + 1)} + 1) * 8;
            continue;
        case next_fragment: {
            if (position + fragment_header_size > end)
                return info;
            info.protocol = frame.u8(position);
            const std::uint16_t offset_flags = frame.u16(position + 2);
            info.fragment = ipv6_upper_layer_info::fragment_header{
                frame.u32(position + 4), static_cast<std::uint16_t>(offset_flags >> 3), (offset_flags & 1) != 0};
            if ((offset_flags >> 3) != 0)
                return info; // a later fragment: no upper-layer header in it
            position += fragment_header_size;
            if (position + min_upper_layer_bytes > end)
                return info;
            info.first_fragment = (offset_flags & 1) != 0;
            info.header = upper_layer_at(info.protocol, position, end);
            return info;
        }
        default:
            info.header = upper_layer_at(next, position, end);
            return info;
        }
    }
}

ipv6_upper_layer_info ipv6_upper_layer(_INTERMEDIATE_BUFFER& record) noexcept
{
    return ipv6_upper_layer(rimcap::frame_view(record));
}

bool recalculate_ipv6_checksum(rimcap::frame_view& frame) noexcept
{
    if (!frame.is_ipv6())
        return false;
    const ipv6_upper_layer_info info = ipv6_upper_layer(frame);
    if (!info.header || info.first_fragment || !frame.header_complete(*info.header))
        return false;
    std::size_t field;
    switch (info.protocol) {
    case rimcap::ip_protocol_tcp:
        field = 16;
        break;
    case rimcap::ip_protocol_udp:
        field = 6;
        break;
    case rimcap::ip_protocol_icmpv6:
        field = 2;
        break;
    default:
        return false;
    }
    const rimcap::transport_header& t = *info.header;
    const std::size_t at = t.offset + field;

    // Pseudo-header: source and destination, upper-layer length, next header. Then the
    // upper layer as if its checksum field were 0 (the field is left out).
    std::uint64_t sum = rimcap::checksum_add(0, frame.bytes(rimcap::ip_header_offset + 8, 32));
    sum += t.length;
    sum += info.protocol;
    sum = rimcap::checksum_add(sum, frame.bytes(t.offset, field));
    sum = rimcap::checksum_add(sum, frame.bytes(at + 2, t.length - field - 2));

    std::uint16_t checksum = static_cast<std::uint16_t>(~rimcap::checksum_fold(sum));
    if (checksum == 0 && info.protocol == rimcap::ip_protocol_udp)
        checksum = 0xFFFF; // zero means "no checksum", which IPv6 does not allow for UDP
    frame.set_u16(at, checksum);
    return true;
}

bool recalculate_ipv6_checksum(_INTERMEDIATE_BUFFER& record) noexcept
{
    rimcap::frame_view frame(record);
    return recalculate_ipv6_checksum(frame);
}
} // namespace wireguard
