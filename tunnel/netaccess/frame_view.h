#pragma once
// Bounds-checked access to the Ethernet frame of a packet filter record.
//
// All packet code reads and rewrites frames through a frame_view. Frames come from
// the network and from local programs, so nothing in them is trusted: the view checks
// the frame length and the IP header against each other once, and every field access
// is checked against the record.
//
//   rimcap::frame_view f(record);
//   if (!f.is_ipv4()) ...                       // checks passed, EtherType 0x0800
//   auto t = f.ipv4_transport();                // none for a non-first fragment
//   if (t && t->protocol == rimcap::ip_protocol_tcp && f.header_complete(*t))
//       f.set_u16(t->offset + 2, 443);          // big-endian field write
//
// Bounds:
// - reads (u8/u16/u32, read, equal, bytes, and the source of move) lie within the
//   frame's valid bytes, [0, length());
// - writes (set_*, write, fill, area, and the destination of move) lie within the
//   1514-byte frame area, so a frame can be built past its current end and then
//   given its new length with set_length(), which checks the frame again.
// A read outside its bounds yields 0 (or false); a write outside its bounds writes
// nothing and returns false. Positions are frame offsets: byte 0 is the first byte
// of the Ethernet header, the IP header starts at byte 14.
//
// Checks (check(), run by the constructor and by set_length()):
// - the frame length field lies within 14..1514;
// - EtherType 0x0800: version 4, IHL at least 5, the IHL x 4 header bytes within the
//   frame, total length at least the header length and within the frame;
// - EtherType 0x86DD: version 6, the 40-byte header and the payload length within the
//   frame;
// - any other EtherType: only the frame length.
// Bytes after the IP packet (Ethernet padding) are allowed; the IP packet ends at
// ip_end(). Code that rewrites a frame calls check() (or set_length()) afterwards and
// works on the frame only while it passes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "driver_records.h"

namespace rimcap
{
inline constexpr std::uint16_t ether_type_ipv4 = 0x0800;
inline constexpr std::uint16_t ether_type_ipv6 = 0x86DD;

inline constexpr std::size_t ip_header_offset = ethernet_header_size; // 14
inline constexpr std::size_t min_ipv4_header_size = 20;
inline constexpr std::size_t ipv6_header_size = 40;

inline constexpr std::uint8_t ip_protocol_icmp = 1;
inline constexpr std::uint8_t ip_protocol_tcp = 6;
inline constexpr std::uint8_t ip_protocol_udp = 17;
inline constexpr std::uint8_t ip_protocol_icmpv6 = 58;

inline constexpr std::size_t tcp_min_header_size = 20;
inline constexpr std::size_t udp_header_size = 8;
inline constexpr std::size_t icmp_header_size = 8; // ICMP and ICMPv6

// Result of the frame checks.
enum class frame_check : std::uint8_t {
    ok,
    bad_frame_length,     // frame length outside 14..1514
    short_ip_header,      // the IPv4 or IPv6 header does not fit in the frame
    bad_ip_version,       // version nibble does not match the EtherType
    bad_ip_header_length, // IPv4 IHL below 5
    bad_ip_length,        // IPv4 total length below the header or past the frame;
                          // IPv6 payload past the frame
};

// Where a transport (upper-layer) header starts. length counts the bytes from the
// header to the end of the IP packet, so the header and its data lie within
// [offset, offset + length).
struct transport_header {
    std::uint8_t protocol = 0;
    std::uint16_t offset = 0;
    std::uint16_t length = 0;
};

class frame_view
{
public:
    explicit frame_view(_INTERMEDIATE_BUFFER& record) noexcept : record_(&record) { check(); }

    // The record itself (for capture writers and whole-record copies).
    _INTERMEDIATE_BUFFER& record() const noexcept { return *record_; }

    // Runs the checks again (after rewriting headers) and returns the result.
    frame_check check() noexcept;
    frame_check status() const noexcept { return status_; }
    bool ok() const noexcept { return status_ == frame_check::ok; }

    // Valid frame bytes; 0 when the frame length field is out of range.
    std::size_t length() const noexcept { return length_; }
    // Sets the record's frame length and checks the frame again. Returns false and
    // changes nothing when n lies outside 14..1514.
    bool set_length(std::size_t n) noexcept;

    // EtherType, 0 when the frame length is out of range.
    std::uint16_t ether_type() const noexcept { return ether_type_; }
    bool is_ipv4() const noexcept { return ok() && ether_type_ == ether_type_ipv4; }
    bool is_ipv6() const noexcept { return ok() && ether_type_ == ether_type_ipv6; }

    // IP header length (IPv4: IHL x 4; IPv6: 40) and IP packet length (IPv4: total
    // length; IPv6: 40 + payload length); 0 unless is_ipv4() or is_ipv6().
    std::size_t ip_header_length() const noexcept { return ip_header_length_; }
    std::size_t ip_length() const noexcept { return ip_length_; }
    // Frame offset just past the IP packet; 0 unless is_ipv4() or is_ipv6().
    std::size_t ip_end() const noexcept { return ip_length_ ? ip_header_offset + ip_length_ : 0; }
    // The IP packet's bytes (header and payload), empty unless is_ipv4() or is_ipv6().
    std::span<std::uint8_t> ip_packet() noexcept { return bytes(ip_header_offset, ip_length_); }
    // IPv4 protocol field, or the next header of the fixed IPv6 header; 0 otherwise.
    std::uint8_t ip_protocol() const noexcept;

    // IPv4 fragment information; false or 0 unless is_ipv4().
    bool dont_fragment() const noexcept { return is_ipv4() && (u16(20) & 0x4000) != 0; }
    bool more_fragments() const noexcept { return is_ipv4() && (u16(20) & 0x2000) != 0; }
    // Fragment offset in bytes.
    std::size_t fragment_offset() const noexcept { return is_ipv4() ? (u16(20) & 0x1FFFu) * 8u : 0; }
    // A fragment of a split datagram: the frame does not hold the whole datagram.
    bool is_fragment() const noexcept { return more_fragments() || fragment_offset() != 0; }

    // The IPv4 transport header: behind the IHL x 4 header bytes. None unless
    // is_ipv4(), and none for a fragment other than the first (it holds no transport
    // header). Whether the header is there in full is header_complete()'s question.
    std::optional<transport_header> ipv4_transport() const noexcept;

    // True when the transport header lies in full within the IP packet: TCP at least
    // 20 bytes with a data offset of 5 or more whose header fits, UDP 8 bytes, ICMP and
    // ICMPv6 8 bytes. Other protocols: true when [offset, offset + length) lies
    // within the IP packet.
    bool header_complete(const transport_header& t) const noexcept;
    // TCP header length (data offset x 4) when header_complete(t) for TCP, else 0.
    std::size_t tcp_header_length(const transport_header& t) const noexcept;
    // UDP length field when it lies within 8..t.length and header_complete(t), else 0.
    std::size_t udp_length(const transport_header& t) const noexcept;

    // Range tests: within the valid bytes, and within the frame area.
    bool has(std::size_t offset, std::size_t n) const noexcept { return n <= length_ && offset <= length_ - n; }
    static constexpr bool fits(std::size_t offset, std::size_t n) noexcept
    {
        return n <= max_frame_size && offset <= max_frame_size - n;
    }

    // Big-endian reads within the valid bytes; 0 when the field is not there.
    std::uint8_t u8(std::size_t offset) const noexcept { return has(offset, 1) ? frame()[offset] : 0; }
    std::uint16_t u16(std::size_t offset) const noexcept;
    std::uint32_t u32(std::size_t offset) const noexcept;
    // Copies n valid bytes at offset to out; false (nothing copied) when not there.
    bool read(std::size_t offset, void* out, std::size_t n) const noexcept;
    // True when n valid bytes at offset equal the given bytes.
    bool equal(std::size_t offset, const void* data, std::size_t n) const noexcept;

    // Big-endian writes within the frame area; false when the field lies outside it.
    bool set_u8(std::size_t offset, std::uint8_t v) noexcept;
    bool set_u16(std::size_t offset, std::uint16_t v) noexcept;
    bool set_u32(std::size_t offset, std::uint32_t v) noexcept;
    bool write(std::size_t offset, const void* data, std::size_t n) noexcept;
    bool fill(std::size_t offset, std::uint8_t value, std::size_t n) noexcept;
    // Moves n bytes (the areas may overlap): the source within the valid bytes, the
    // destination within the frame area. False and nothing moved otherwise.
    bool move(std::size_t to, std::size_t from, std::size_t n) noexcept;
    // Swaps two non-overlapping ranges of n valid bytes (addresses, ports, MACs).
    bool swap(std::size_t a, std::size_t b, std::size_t n) noexcept;

    // Spans for code that needs a pointer (engine calls, checksums): n valid bytes at
    // offset, or n bytes of the frame area at offset; empty when not there.
    std::span<std::uint8_t> bytes(std::size_t offset, std::size_t n) noexcept;
    std::span<const std::uint8_t> bytes(std::size_t offset, std::size_t n) const noexcept;
    std::span<std::uint8_t> area(std::size_t offset, std::size_t n) noexcept;

private:
    std::uint8_t* frame() const noexcept { return record_->frame; }

    _INTERMEDIATE_BUFFER* record_;
    std::uint16_t length_ = 0;
    std::uint16_t ether_type_ = 0;
    std::uint16_t ip_header_length_ = 0;
    std::uint16_t ip_length_ = 0;
    frame_check status_ = frame_check::bad_frame_length;
};

inline std::uint16_t frame_view::u16(std::size_t offset) const noexcept
{
    if (!has(offset, 2))
        return 0;
    const std::uint8_t* p = frame() + offset;
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

inline std::uint32_t frame_view::u32(std::size_t offset) const noexcept
{
    if (!has(offset, 4))
        return 0;
    const std::uint8_t* p = frame() + offset;
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

inline bool frame_view::set_u8(std::size_t offset, std::uint8_t v) noexcept
{
    if (!fits(offset, 1))
        return false;
    frame()[offset] = v;
    return true;
}

inline bool frame_view::set_u16(std::size_t offset, std::uint16_t v) noexcept
{
    if (!fits(offset, 2))
        return false;
    // One store of the whole field: code that reads the field back soon after (checksums)
    // is served from the store without waiting for it to reach the cache.
    const std::uint16_t big_endian = static_cast<std::uint16_t>(v << 8 | v >> 8);
    std::memcpy(frame() + offset, &big_endian, 2);
    return true;
}

inline bool frame_view::set_u32(std::size_t offset, std::uint32_t v) noexcept
{
    if (!fits(offset, 4))
        return false;
    const std::uint32_t big_endian = v >> 24 | (v >> 8 & 0xFF00u) | (v << 8 & 0xFF0000u) | v << 24;
    std::memcpy(frame() + offset, &big_endian, 4);
    return true;
}

inline std::span<std::uint8_t> frame_view::bytes(std::size_t offset, std::size_t n) noexcept
{
    if (!has(offset, n))
        return {};
    return {frame() + offset, n};
}

inline std::span<const std::uint8_t> frame_view::bytes(std::size_t offset, std::size_t n) const noexcept
{
    if (!has(offset, n))
        return {};
    return {frame() + offset, n};
}

inline std::span<std::uint8_t> frame_view::area(std::size_t offset, std::size_t n) noexcept
{
    if (!fits(offset, n))
        return {};
    return {frame() + offset, n};
}

inline std::uint8_t frame_view::ip_protocol() const noexcept
{
    if (is_ipv4())
        return u8(ip_header_offset + 9);
    if (is_ipv6())
        return u8(ip_header_offset + 6);
    return 0;
}

inline std::optional<transport_header> frame_view::ipv4_transport() const noexcept
{
    if (!is_ipv4() || fragment_offset() != 0)
        return std::nullopt;
    transport_header t;
    t.protocol = u8(ip_header_offset + 9);
    t.offset = static_cast<std::uint16_t>(ip_header_offset + ip_header_length_);
    t.length = static_cast<std::uint16_t>(ip_length_ - ip_header_length_);
    return t;
}

inline bool frame_view::header_complete(const transport_header& t) const noexcept
{
    // The header's bytes must lie within the IP packet, which lies within the frame.
    const std::size_t end = ip_end();
    if (end == 0 || t.offset < ip_header_offset || t.offset > end || t.length > end - t.offset)
        return false;
    switch (t.protocol) {
    case ip_protocol_tcp: {
        if (t.length < tcp_min_header_size)
            return false;
        const std::size_t header = (frame()[t.offset + 12] >> 4) * 4u;
        return header >= tcp_min_header_size && header <= t.length;
    }
    case ip_protocol_udp:
        return t.length >= udp_header_size;
    case ip_protocol_icmp:
    case ip_protocol_icmpv6:
        return t.length >= icmp_header_size;
    default:
        return true;
    }
}

inline std::size_t frame_view::tcp_header_length(const transport_header& t) const noexcept
{
    if (t.protocol != ip_protocol_tcp || !header_complete(t))
        return 0;
    return (frame()[t.offset + 12] >> 4) * 4u;
}

inline std::size_t frame_view::udp_length(const transport_header& t) const noexcept
{
    if (t.protocol != ip_protocol_udp || !header_complete(t))
        return 0;
    const std::size_t n = u16(t.offset + 4u);
    return n >= udp_header_size && n <= t.length ? n : 0;
}

inline bool frame_view::read(std::size_t offset, void* out, std::size_t n) const noexcept
{
    if (!has(offset, n))
        return false;
    if (n)
        std::memcpy(out, frame() + offset, n);
    return true;
}

inline bool frame_view::equal(std::size_t offset, const void* data, std::size_t n) const noexcept
{
    return has(offset, n) && (n == 0 || std::memcmp(frame() + offset, data, n) == 0);
}

inline bool frame_view::write(std::size_t offset, const void* data, std::size_t n) noexcept
{
    if (!fits(offset, n))
        return false;
    if (n)
        std::memmove(frame() + offset, data, n);
    return true;
}
} // namespace rimcap
