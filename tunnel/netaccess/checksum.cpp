// Internet checksums of IPv4 frames.
#include "checksum.h"

#include <bit>
#include <cstring>

namespace rimcap
{
std::uint64_t checksum_add(std::uint64_t sum, std::span<const std::uint8_t> bytes) noexcept
{
    // Eight bytes at a time: the 64-bit words are loaded in the machine's (little-endian)
    // order and their 32-bit halves summed in two accumulators. One's complement sums
    // do not depend on byte order except for a swap of the two bytes of the folded
    // result, so the folded little-endian sum, swapped, is the big-endian word sum.
    static_assert(std::endian::native == std::endian::little);
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    std::uint64_t a = 0, b = 0;
    for (; n >= 16; p += 16, n -= 16) {
        std::uint64_t x, y;
        std::memcpy(&x, p, 8);
        std::memcpy(&y, p + 8, 8);
        a += (x & 0xFFFFFFFFu) + (x >> 32);
        b += (y & 0xFFFFFFFFu) + (y >> 32);
    }
    a += b;
    for (; n >= 2; p += 2, n -= 2)
        a += std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8;
    if (n)
        a += p[0];
    const std::uint16_t folded = checksum_fold(a);
    return sum + static_cast<std::uint16_t>(folded << 8 | folded >> 8);
}

std::uint16_t checksum_adjust(std::uint16_t checksum, std::span<const std::uint8_t> old_bytes,
                              std::span<const std::uint8_t> new_bytes) noexcept
{
    if (old_bytes.size() != new_bytes.size())
        return checksum;
    std::uint64_t sum = static_cast<std::uint16_t>(~checksum);
    for (std::size_t i = 0; i < old_bytes.size(); i += 2) {
        const bool pair = i + 1 < old_bytes.size();
        const std::uint16_t m = static_cast<std::uint16_t>(old_bytes[i] << 8 | (pair ? old_bytes[i + 1] : 0));
        const std::uint16_t m2 = static_cast<std::uint16_t>(new_bytes[i] << 8 | (pair ? new_bytes[i + 1] : 0));
        sum += static_cast<std::uint16_t>(~m);
        sum += m2;
    }
    return static_cast<std::uint16_t>(~checksum_fold(sum));
}

bool recalculate_ip_checksum(frame_view& frame) noexcept
{
    if (!frame.is_ipv4())
        return false;
    const std::size_t field = ip_header_offset + 10;
    frame.set_u16(field, 0);
    const std::uint64_t sum = checksum_add(0, frame.bytes(ip_header_offset, frame.ip_header_length()));
    frame.set_u16(field, static_cast<std::uint16_t>(~checksum_fold(sum)));
    return true;
}

namespace
{
// ICMP, TCP or UDP checksum of an unfragmented IPv4 packet. field is the checksum's
// position in the transport header.
bool recalculate_transport_checksum(frame_view& frame, std::uint8_t protocol, std::size_t field,
                                    bool pseudo_header) noexcept
{
    if (!frame.is_ipv4() || frame.ip_protocol() != protocol || frame.is_fragment())
        return false;
    const auto t = frame.ipv4_transport();
    if (!t || !frame.header_complete(*t))
        return false;

    const std::size_t size = t->length;
    if (size & 1)
        frame.set_u8(t->offset + size, 0); // pad byte, when the frame area has room
    frame.set_u16(t->offset + field, 0);

    std::uint64_t sum = checksum_add(0, frame.bytes(t->offset, size));
    if (pseudo_header) {
        sum = checksum_add(sum, frame.bytes(ip_header_offset + 12, 8)); // source, destination
        sum += size;
        sum += protocol;
    }
    std::uint16_t checksum = static_cast<std::uint16_t>(~checksum_fold(sum));
    // A UDP checksum field of 0 means "no checksum" (RFC 768): a computed 0 is sent as
    // its other form, all ones, so that the receiver still checks the datagram.
    if (protocol == ip_protocol_udp && checksum == 0)
        checksum = 0xFFFF;
    frame.set_u16(t->offset + field, checksum);
    return true;
}
} // namespace

bool recalculate_icmp_checksum(frame_view& frame) noexcept
{
    return recalculate_transport_checksum(frame, ip_protocol_icmp, 2, false);
}

bool recalculate_tcp_checksum(frame_view& frame) noexcept
{
    return recalculate_transport_checksum(frame, ip_protocol_tcp, 16, true);
}

bool recalculate_udp_checksum(frame_view& frame) noexcept
{
    return recalculate_transport_checksum(frame, ip_protocol_udp, 6, true);
}

bool recalculate_ip_checksum(_INTERMEDIATE_BUFFER& record) noexcept
{
    frame_view frame(record);
    return recalculate_ip_checksum(frame);
}

bool recalculate_icmp_checksum(_INTERMEDIATE_BUFFER& record) noexcept
{
    frame_view frame(record);
    return recalculate_icmp_checksum(frame);
}

bool recalculate_tcp_checksum(_INTERMEDIATE_BUFFER& record) noexcept
{
    frame_view frame(record);
    return recalculate_tcp_checksum(frame);
}

bool recalculate_udp_checksum(_INTERMEDIATE_BUFFER& record) noexcept
{
    frame_view frame(record);
    return recalculate_udp_checksum(frame);
}
} // namespace rimcap
