#pragma once
// Internet checksums of IPv4 frames, recomputed in place after a rewrite.
//
// The four recalculate_* functions work on the IPv4 packet of a frame through the
// frame view. They rewrite a checksum only when the frame passes the view's checks and
// the header that carries the checksum lies in full within the packet; otherwise the
// frame is left untouched and the result is false. The transport checksums are not
// recomputed for a fragment (the checksum covers the whole datagram, which one
// fragment does not hold; a later fragment holds no transport header at all): code
// that rewrites a first fragment updates its checksum with checksum_adjust.
#include <cstddef>
#include <cstdint>
#include <span>

#include "driver_records.h"
#include "frame_view.h"

namespace rimcap
{
// Adds bytes to a one's complement sum as big-endian 16-bit words; an odd last byte
// counts as the high byte of a word whose low byte is zero. In a chain of calls over
// consecutive parts of the data, only the last part may have an odd size.
std::uint64_t checksum_add(std::uint64_t sum, std::span<const std::uint8_t> bytes) noexcept;

// Copies n bytes from src to dst (ranges that do not overlap) and adds them to the sum
// as checksum_add does: one pass over bytes that are both copied and summed.
std::uint64_t checksum_copy(std::uint64_t sum, std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept;

// Folds a sum to 16 bits with end-around carry (not complemented).
constexpr std::uint16_t checksum_fold(std::uint64_t sum) noexcept
{
    // A fixed number of steps, without data-dependent branches: below 2^33 after the
    // first, 2^18 after the second, 0x10003 after the third, 0x10000 after the fourth.
    sum = (sum & 0xFFFFFFFFu) + (sum >> 32);
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

// Incremental update of a stored checksum for a field whose bytes change from
// old_bytes to new_bytes (an even number of bytes at an even distance from the start
// of the checksummed data), after RFC 1624: HC' = ~(~HC + ~m + m').
std::uint16_t checksum_adjust(std::uint16_t checksum, std::span<const std::uint8_t> old_bytes,
                              std::span<const std::uint8_t> new_bytes) noexcept;

// The IPv4 header checksum over the IHL x 4 header bytes.
bool recalculate_ip_checksum(frame_view& frame) noexcept;
// ICMP (protocol 1) checksum over the whole message.
bool recalculate_icmp_checksum(frame_view& frame) noexcept;
// TCP (protocol 6) and UDP (protocol 17) checksums over the segment or datagram
// (total length minus the header length) with the IPv4 pseudo-header. A UDP result of
// 0 is stored as 0xFFFF (0 would mean that the datagram carries no checksum). When the packet length is odd, a zero byte is written right after
// the packet if the frame area has room for it.
bool recalculate_tcp_checksum(frame_view& frame) noexcept;
bool recalculate_udp_checksum(frame_view& frame) noexcept;

// recalculate_tcp_checksum or recalculate_udp_checksum, by the packet's protocol (false
// for any other), for a packet whose bytes from frame offset `from` to the end of the
// packet were summed already: tail_sum = checksum_add(0, those bytes as they stand now),
// from checksum_copy, say. `from` lies at or behind the transport header, an even
// number of bytes behind it; only the bytes in front of it are read again. The frame
// ends as the recalculation leaves it (checksum, pad byte); false and unchanged where
// the recalculation would refuse, or when `from` lies elsewhere.
bool recalculate_transport_checksum_with_sum(frame_view& frame, std::size_t from, std::uint64_t tail_sum) noexcept;

// The same on a record (through a view of its own).
bool recalculate_ip_checksum(_INTERMEDIATE_BUFFER& record) noexcept;
bool recalculate_icmp_checksum(_INTERMEDIATE_BUFFER& record) noexcept;
bool recalculate_tcp_checksum(_INTERMEDIATE_BUFFER& record) noexcept;
bool recalculate_udp_checksum(_INTERMEDIATE_BUFFER& record) noexcept;
} // namespace rimcap
