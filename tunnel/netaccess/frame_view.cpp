// Bounds-checked access to the Ethernet frame of a packet filter record.
#include "frame_view.h"

namespace rimcap
{
frame_check frame_view::check() noexcept
{
    length_ = 0;
    ether_type_ = 0;
    ip_header_length_ = 0;
    ip_length_ = 0;

    const std::uint32_t n = record_->length;
    if (n < ethernet_header_size || n > max_frame_size)
        return status_ = frame_check::bad_frame_length;
    length_ = static_cast<std::uint16_t>(n);
    ether_type_ = u16(12);

    const std::size_t ip_room = n - ip_header_offset;
    if (ether_type_ == ether_type_ipv4) {
        if (ip_room < min_ipv4_header_size)
            return status_ = frame_check::short_ip_header;
        const std::uint8_t first = frame()[ip_header_offset];
        if (first >> 4 != 4)
            return status_ = frame_check::bad_ip_version;
        const std::size_t header = (first & 0x0Fu) * 4u;
        if (header < min_ipv4_header_size)
            return status_ = frame_check::bad_ip_header_length;
        if (header > ip_room)
            return status_ = frame_check::short_ip_header;
        const std::size_t total = u16(ip_header_offset + 2);
        if (total < header || total > ip_room)
            return status_ = frame_check::bad_ip_length;
        ip_header_length_ = static_cast<std::uint16_t>(header);
        ip_length_ = static_cast<std::uint16_t>(total);
    } else if (ether_type_ == ether_type_ipv6) {
        if (ip_room < ipv6_header_size)
            return status_ = frame_check::short_ip_header;
        if (frame()[ip_header_offset] >> 4 != 6)
            return status_ = frame_check::bad_ip_version;
        const std::size_t total = ipv6_header_size + u16(ip_header_offset + 4);
        if (total > ip_room)
            return status_ = frame_check::bad_ip_length;
        ip_header_length_ = static_cast<std::uint16_t>(ipv6_header_size);
        ip_length_ = static_cast<std::uint16_t>(total);
    }
    return status_ = frame_check::ok;
}

bool frame_view::set_length(std::size_t n) noexcept
{
    if (n < ethernet_header_size || n > max_frame_size)
        return false;
    record_->length = static_cast<std::uint32_t>(n);
    check();
    return true;
}

bool frame_view::fill(std::size_t offset, std::uint8_t value, std::size_t n) noexcept
{
    if (!fits(offset, n))
        return false;
    if (n)
        std::memset(frame() + offset, value, n);
    return true;
}

bool frame_view::move(std::size_t to, std::size_t from, std::size_t n) noexcept
{
    if (!has(from, n) || !fits(to, n))
        return false;
    if (n)
        std::memmove(frame() + to, frame() + from, n);
    return true;
}

bool frame_view::swap(std::size_t a, std::size_t b, std::size_t n) noexcept
{
    if (!has(a, n) || !has(b, n))
        return false;
    if ((a < b ? b - a : a - b) < n)
        return false; // overlapping ranges
    std::uint8_t* p = frame() + a;
    std::uint8_t* q = frame() + b;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t x = p[i];
        p[i] = q[i];
        q[i] = x;
    }
    return true;
}
} // namespace rimcap
