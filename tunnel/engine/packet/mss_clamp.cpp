// TCP MSS clamping of connection-opening segments.
#include "mss_clamp.h"

#include <algorithm>
#include <array>
#include <optional>

#include "ipv6_walk.h"
#include "netaccess/checksum.h"

namespace wireguard
{
namespace
{
constexpr std::uint8_t option_end = 0;
constexpr std::uint8_t option_no_operation = 1;
constexpr std::uint8_t option_mss = 2;
constexpr std::size_t mss_option_size = 4;
constexpr std::size_t max_tcp_header_size = 60;
constexpr std::size_t tcp_checksum_field = 16;
constexpr std::size_t tcp_data_offset_field = 12;

// Room that the outer headers take from the MTU: IP and TCP headers of the family.
constexpr int header_room(clamp_family family) noexcept
{
    return family == clamp_family::ipv4 ? 40 : 60;
}

// The TCP header of a segment that may be clamped.
struct tcp_segment {
    rimcap::transport_header header;
    std::size_t header_length = 0; // data offset x 4, 20..60
    bool first_fragment = false;   // more of the datagram follows in other fragments
};

std::optional<tcp_segment> find_tcp(clamp_family family, const rimcap::frame_view& frame) noexcept
{
    tcp_segment s;
    if (family == clamp_family::ipv4) {
        const auto t = frame.ipv4_transport(); // none unless IPv4; none for a later fragment
        if (!t)
            return std::nullopt;
        s.header = *t;
        s.first_fragment = frame.more_fragments();
    } else {
        if (!frame.is_ipv6())
            return std::nullopt;
        const ipv6_upper_layer_info info = ipv6_upper_layer(frame);
        if (!info.header)
            return std::nullopt;
        s.header = *info.header;
        s.first_fragment = info.first_fragment;
    }
    if (s.header.protocol != rimcap::ip_protocol_tcp)
        return std::nullopt;
    s.header_length = frame.tcp_header_length(s.header); // 0 unless the header is there in full
    if (s.header_length == 0)
        return std::nullopt;
    return s;
}

enum class walk_result {
    found,     // an MSS option of length 4 at `at`
    absent,    // the options ended without one
    malformed, // the list is broken before an MSS option was seen
};

struct walk {
    walk_result result;
    std::size_t at = 0; // frame offset of the MSS option
};

// Walks the options at frame offsets [start, start + length). Every step moves on by
// at least one byte, so the walk ends within `length` steps.
walk find_mss_option(const rimcap::frame_view& frame, std::size_t start, std::size_t length) noexcept
{
    std::size_t p = 0;
    while (p < length) {
        const std::uint8_t kind = frame.u8(start + p);
        if (kind == option_end)
            return {walk_result::absent};
        if (kind == option_no_operation) {
            ++p;
            continue;
        }
        if (length - p < 2)
            return {walk_result::malformed}; // the length byte lies past the header
        const std::size_t size = frame.u8(start + p + 1);
        if (size < 2 || size > length - p)
            return {walk_result::malformed}; // would stand still, or runs past the header
        if (kind == option_mss) {
            if (size != mss_option_size)
                return {walk_result::malformed};
            return {walk_result::found, start + p};
        }
        p += size;
    }
    return {walk_result::absent};
}

// Stores new_value into the 16-bit field at frame offset field (inside the TCP header
// at tcp) and updates the TCP checksum for the change. A field at an odd distance
// from the header's start is covered by the aligned 4 bytes around it, which lie in
// the header because the field ends an MSS option whose end is then not the header's.
void set_tcp_field(rimcap::frame_view& frame, std::size_t tcp, std::size_t field, std::uint16_t new_value) noexcept
{
    const bool odd = ((field - tcp) & 1) != 0;
    const std::size_t window = odd ? field - 1 : field;
    const std::size_t window_size = odd ? 4 : 2;
    std::array<std::uint8_t, 4> before{};
    std::array<std::uint8_t, 4> after{};
    if (!frame.read(window, before.data(), window_size))
        return;
    frame.set_u16(field, new_value);
    frame.read(window, after.data(), window_size);
    const std::uint16_t checksum = frame.u16(tcp + tcp_checksum_field);
    frame.set_u16(tcp + tcp_checksum_field,
                  rimcap::checksum_adjust(checksum, std::span(before.data(), window_size),
                                          std::span(after.data(), window_size)));
}

std::array<std::uint8_t, 2> be16(std::uint16_t v) noexcept
{
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// Inserts the option (kind 2, length 4, value) in front of the options.
mss_change insert_mss_option(clamp_family family, rimcap::frame_view& frame, const tcp_segment& s,
                             std::uint16_t value) noexcept
{
    const std::size_t tcp = s.header.offset;
    const std::size_t options = tcp + rimcap::tcp_min_header_size;
    const std::size_t end = frame.ip_end();
    // The options already fill 40 bytes, or the packet would leave the frame area.
    if (s.header_length + mss_option_size > max_tcp_header_size || !rimcap::frame_view::fits(end, mss_option_size))
        return mss_change::none;

    const std::uint16_t old_offset_word = frame.u16(tcp + tcp_data_offset_field);
    const std::uint16_t new_offset_word = static_cast<std::uint16_t>(old_offset_word + 0x1000);
    const std::uint16_t old_segment_length = s.header.length;
    const std::uint16_t new_segment_length = static_cast<std::uint16_t>(s.header.length + mss_option_size);
    const std::size_t length_field =
        family == clamp_family::ipv4 ? rimcap::ip_header_offset + 2 : rimcap::ip_header_offset + 4;
    const std::uint16_t old_ip_length = frame.u16(length_field);
    const std::uint16_t new_ip_length = static_cast<std::uint16_t>(old_ip_length + mss_option_size);

    // Options and payload move on; the areas overlap.
    if (!frame.move(options + mss_option_size, options, end - options))
        return mss_change::none;
    frame.set_u8(options, option_mss);
    frame.set_u8(options + 1, static_cast<std::uint8_t>(mss_option_size));
    frame.set_u16(options + 2, value);
    frame.set_u16(tcp + tcp_data_offset_field, new_offset_word);
    frame.set_u16(length_field, new_ip_length);

    // The TCP sum gains the option's two words; the options and the payload keep their
    // word alignment. The data offset word and the pseudo-header's length change.
    const auto ow = be16(old_offset_word), nw = be16(new_offset_word);
    const auto ol = be16(old_segment_length), nl = be16(new_segment_length);
    const auto v = be16(value);
    const std::array<std::uint8_t, 8> before = {ow[0], ow[1], ol[0], ol[1], 0, 0, 0, 0};
    const std::array<std::uint8_t, 8> after = {nw[0], nw[1], nl[0], nl[1], option_mss,
                                               static_cast<std::uint8_t>(mss_option_size), v[0], v[1]};
    frame.set_u16(tcp + tcp_checksum_field,
                  rimcap::checksum_adjust(frame.u16(tcp + tcp_checksum_field), before, after));
    if (family == clamp_family::ipv4) {
        const std::size_t field = rimcap::ip_header_offset + 10;
        frame.set_u16(field, rimcap::checksum_adjust(frame.u16(field), be16(old_ip_length), be16(new_ip_length)));
    }
    frame.set_length(end + mss_option_size);
    return mss_change::inserted;
}

// The value rules. Each takes the family's header room; results of 0 or less stand
// for "no value".
struct single_rule {
    tunnel_mtu mtu;
    int inserted(clamp_family family) const noexcept { return mtu.mtu - header_room(family); }
    int rewritten(clamp_family, int old) const noexcept
    {
        return mtu.configured ? old + (mtu.mtu - 1500) : old - 80;
    }
};

struct dual_rule {
    std::uint16_t mtu;
    int inserted(clamp_family family) const noexcept { return mtu - header_room(family); }
    int rewritten(clamp_family family, int old) const noexcept
    {
        const int by_mtu = mtu - header_room(family);
        const int by_old = old - 80;
        if (by_mtu < 1)
            return by_old;
        if (by_old < 1)
            return by_mtu;
        return std::min(by_mtu, by_old);
    }
};

template <class Rule>
mss_change clamp(clamp_family family, rimcap::frame_view& frame, const Rule& rule) noexcept
{
    const std::optional<tcp_segment> s = find_tcp(family, frame);
    if (!s)
        return mss_change::none;
    const std::size_t tcp = s->header.offset;
    const walk w = find_mss_option(frame, tcp + rimcap::tcp_min_header_size,
                                   s->header_length - rimcap::tcp_min_header_size);
    switch (w.result) {
    case walk_result::found: {
        const std::uint16_t old = frame.u16(w.at + 2);
        const int target = rule.rewritten(family, old);
        if (target < 1 || target >= old)
            return mss_change::none;
        set_tcp_field(frame, tcp, w.at + 2, static_cast<std::uint16_t>(target));
        return mss_change::rewritten;
    }
    case walk_result::absent: {
        const int value = rule.inserted(family);
        if (value < 1 || s->first_fragment)
            return mss_change::none;
        return insert_mss_option(family, frame, *s, static_cast<std::uint16_t>(value));
    }
    case walk_result::malformed:
        break;
    }
    return mss_change::none;
}
} // namespace

mss_change clamp_tcp_mss(clamp_family family, rimcap::frame_view& frame, tunnel_mtu mtu) noexcept
{
    return clamp(family, frame, single_rule{mtu});
}

mss_change clamp_tcp_mss(clamp_family family, _INTERMEDIATE_BUFFER& record, tunnel_mtu mtu) noexcept
{
    rimcap::frame_view frame(record);
    return clamp_tcp_mss(family, frame, mtu);
}

mss_change clamp_tcp_mss(clamp_family family, rimcap::frame_view& frame, std::uint16_t mtu) noexcept
{
    return clamp(family, frame, dual_rule{mtu});
}

mss_change clamp_tcp_mss(clamp_family family, _INTERMEDIATE_BUFFER& record, std::uint16_t mtu) noexcept
{
    rimcap::frame_view frame(record);
    return clamp_tcp_mss(family, frame, mtu);
}
} // namespace wireguard
