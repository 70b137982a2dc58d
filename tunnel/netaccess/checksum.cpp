// Internet checksums of IPv4 frames.
#include "checksum.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace rimcap
{
namespace
{
// One's complement sums do not depend on byte order except for a swap of the two bytes
// of the folded result: the bytes are summed as little-endian words, the folded sum is
// swapped at the end, and that is the sum of the big-endian words.
static_assert(std::endian::native == std::endian::little);

// Packet code writes header fields one at a time and then sums the header. A load
// wider than the stores that wrote its bytes waits for them to reach the cache (no
// store forwarding), so spans of header size are summed from their bytes; only spans
// of at least this many bytes (payloads) go through the vector loops.
constexpr std::size_t vector_span = 64;

// Little-endian word sum of the bytes that the vector loops leave (fewer than 16), from
// their bytes; an odd last byte counts as a word of its own.
std::uint64_t tail_sum(const std::uint8_t* p, std::size_t n) noexcept
{
    std::uint64_t a = 0;
    for (; n >= 2; p += 2, n -= 2)
        a += std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8;
    if (n)
        a += p[0];
    return a;
}

#if defined(__SSE2__)
// The vector loops add 16-bit words with a multiply-add against ones, which takes its
// words as signed: each word is first moved down by 0x8000 (its top bit flipped), and
// 0x8000 per word is added back at the end. A 32-bit lane then gains at most 2 x 0x8000
// per vector in either direction, so a round of 8192 vectors cannot overflow it, and
// the lanes are added into 64 bits after each round.
constexpr std::size_t vectors_per_round = 8192;

std::int64_t lanes_sum(__m128i lanes) noexcept
{
    alignas(16) std::int32_t v[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(v), lanes);
    return std::int64_t{v[0]} + v[1] + v[2] + v[3];
}

// Little-endian word sum of the whole 16-byte vectors of n bytes, 16 bytes at a time;
// with Copy, the bytes are also stored at dst. Returns the bytes done.
template <bool Copy>
std::size_t sum_sse2(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, std::uint64_t& sum) noexcept
{
    const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
    const __m128i ones = _mm_set1_epi16(1);
    const std::size_t vectors = n / 16;
    std::int64_t total = 0;
    for (std::size_t done = 0; done < vectors;) {
        const std::size_t round = std::min(vectors - done, vectors_per_round);
        __m128i a = _mm_setzero_si128();
        for (std::size_t i = 0; i < round; ++i) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 * (done + i)));
            if constexpr (Copy)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * (done + i)), x);
            a = _mm_add_epi32(a, _mm_madd_epi16(_mm_xor_si128(x, flip), ones));
        }
        total += lanes_sum(a);
        done += round;
    }
    sum += static_cast<std::uint64_t>(total + std::int64_t{0x8000} * static_cast<std::int64_t>(vectors * 8));
    return vectors * 16;
}

#if defined(__GNUC__)
#define LORRIVAN_CHECKSUM_AVX2 1
// The same 32 bytes at a time, on processors with AVX2 (checked at run time). All
// vectors stay in registers: nothing 32-byte wide goes through the stack.
template <bool Copy>
__attribute__((target("avx2"))) std::size_t sum_avx2(std::uint8_t* dst, const std::uint8_t* src, std::size_t n,
                                                     std::uint64_t& sum) noexcept
{
    const __m256i flip = _mm256_set1_epi16(static_cast<short>(0x8000));
    const __m256i ones = _mm256_set1_epi16(1);
    const std::size_t vectors = n / 32;
    std::int64_t total = 0;
    for (std::size_t done = 0; done < vectors;) {
        const std::size_t round = std::min(vectors - done, vectors_per_round);
        __m256i a = _mm256_setzero_si256();
        __m256i b = _mm256_setzero_si256();
        std::size_t i = 0;
        for (; i + 2 <= round; i += 2) {
            const std::uint8_t* from = src + 32 * (done + i);
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
            const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32));
            if constexpr (Copy) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32 * (done + i)), x);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32 * (done + i) + 32), y);
            }
            a = _mm256_add_epi32(a, _mm256_madd_epi16(_mm256_xor_si256(x, flip), ones));
            b = _mm256_add_epi32(b, _mm256_madd_epi16(_mm256_xor_si256(y, flip), ones));
        }
        if (i < round) {
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 32 * (done + i)));
            if constexpr (Copy)
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32 * (done + i)), x);
            a = _mm256_add_epi32(a, _mm256_madd_epi16(_mm256_xor_si256(x, flip), ones));
        }
        // Eight 32-bit lanes of each accumulator, widened to 64 bits before they are added.
        const __m256i wide = _mm256_add_epi64(
            _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(a)),
                             _mm256_cvtepi32_epi64(_mm256_extracti128_si256(a, 1))),
            _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(b)),
                             _mm256_cvtepi32_epi64(_mm256_extracti128_si256(b, 1))));
        const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(wide), _mm256_extracti128_si256(wide, 1));
        total += _mm_cvtsi128_si64(half) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(half, half));
        done += round;
    }
    sum += static_cast<std::uint64_t>(total + std::int64_t{0x8000} * static_cast<std::int64_t>(vectors * 16));
    return vectors * 32;
}

// The processor has AVX2 and the system saves its registers (the check includes both).
bool avx2_available() noexcept
{
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return available;
}
#endif

// Little-endian word sum of n bytes; with Copy, the bytes are also stored at dst.
template <bool Copy>
std::uint64_t word_sum(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept
{
    std::uint64_t sum = 0;
    std::size_t done = 0;
    if (n >= vector_span) {
#if defined(LORRIVAN_CHECKSUM_AVX2)
        if (avx2_available())
            done = sum_avx2<Copy>(dst, src, n, sum);
#endif
        done += sum_sse2<Copy>(dst + (Copy ? done : 0), src + done, n - done, sum);
    }
    if constexpr (Copy) {
        if (n > done)
            std::memcpy(dst + done, src + done, n - done);
    }
    return sum + tail_sum(src + done, n - done);
}
#else
template <bool Copy>
std::uint64_t word_sum(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept
{
    if constexpr (Copy) {
        if (n)
            std::memcpy(dst, src, n);
    }
    return tail_sum(src, n);
}
#endif

std::uint64_t add_swapped(std::uint64_t sum, std::uint64_t little_endian_sum) noexcept
{
    const std::uint16_t folded = checksum_fold(little_endian_sum);
    return sum + static_cast<std::uint16_t>(folded << 8 | folded >> 8);
}

// Big-endian word sum of a short span, from its bytes.
std::uint64_t short_sum(const std::uint8_t* p, std::size_t n) noexcept
{
    std::uint64_t a = 0;
    for (; n >= 2; p += 2, n -= 2)
        a += std::uint32_t{p[0]} << 8 | p[1];
    if (n)
        a += std::uint32_t{p[0]} << 8;
    return a;
}

// The long spans apart, so that a short span's call does not pay for the registers
// and stack that the vector loops need.
[[gnu::noinline]] std::uint64_t long_sum(std::uint64_t sum, const std::uint8_t* p, std::size_t n) noexcept
{
    return add_swapped(sum, word_sum<false>(nullptr, p, n));
}

[[gnu::noinline]] std::uint64_t long_copy(std::uint64_t sum, std::uint8_t* dst, const std::uint8_t* src,
                                          std::size_t n) noexcept
{
    return add_swapped(sum, word_sum<true>(dst, src, n));
}
} // namespace

std::uint64_t checksum_add(std::uint64_t sum, std::span<const std::uint8_t> bytes) noexcept
{
    if (bytes.size() < vector_span)
        return sum + short_sum(bytes.data(), bytes.size());
    return long_sum(sum, bytes.data(), bytes.size());
}

std::uint64_t checksum_copy(std::uint64_t sum, std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept
{
    if (n < vector_span) {
        if (n)
            std::memcpy(dst, src, n);
        return sum + short_sum(src, n);
    }
    return long_copy(sum, dst, src, n);
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
    // The header as if its checksum field were 0: the field is left out.
    const std::size_t field = ip_header_offset + 10;
    std::uint64_t sum = checksum_add(0, frame.bytes(ip_header_offset, 10));
    sum = checksum_add(sum, frame.bytes(field + 2, frame.ip_header_length() - 12));
    frame.set_u16(field, static_cast<std::uint16_t>(~checksum_fold(sum)));
    return true;
}

namespace
{
// ICMP, TCP or UDP checksum of an unfragmented IPv4 packet. field is the checksum's
// position in the transport header. from and tail: the bytes from frame offset `from`
// to the end of the packet were summed already (tail, as checksum_add gives it), and
// only those in front of `from` are read here; from 0: none were.
bool recalculate_transport_checksum(frame_view& frame, std::uint8_t protocol, std::size_t field,
                                    bool pseudo_header, std::size_t from = 0, std::uint64_t tail = 0) noexcept
{
    if (!frame.is_ipv4() || frame.ip_protocol() != protocol || frame.is_fragment())
        return false;
    const auto t = frame.ipv4_transport();
    if (!t || !frame.header_complete(*t))
        return false;

    const std::size_t size = t->length;
    const std::size_t end = t->offset + size;
    const std::size_t at = t->offset + field;
    if (from == 0) {
        from = end;
        tail = 0;
    } else if (from < t->offset || from > end || (from - t->offset) % 2 != 0) {
        return false;
    } else if (at >= from) {
        // The stored checksum is in the tail's sum: take it out again (one's complement
        // subtraction). The pseudo-header's protocol keeps the total above zero, so the
        // folded result is the one that a sum without it gives.
        tail += static_cast<std::uint16_t>(~frame.u16(at));
    }

    // The bytes as if the checksum field were 0 (it is left out), an odd last byte
    // padded with zero (checksum_add's rule, the same as the pad byte written below).
    std::uint64_t sum = tail;
    if (at < from) {
        sum = checksum_add(sum, frame.bytes(t->offset, at - t->offset));
        sum = checksum_add(sum, frame.bytes(at + 2, from - at - 2));
    } else {
        sum = checksum_add(sum, frame.bytes(t->offset, from - t->offset));
    }
    if (pseudo_header) {
        sum = checksum_add(sum, frame.bytes(ip_header_offset + 12, 8)); // source, destination
        sum += size;
        sum += protocol;
    }
    if (size & 1)
        frame.set_u8(end, 0); // pad byte, when the frame area has room
    std::uint16_t checksum = static_cast<std::uint16_t>(~checksum_fold(sum));
    // A UDP checksum field of 0 means "no checksum" (RFC 768): a computed 0 is sent as
    // its other form, all ones, so that the receiver still checks the datagram.
    if (protocol == ip_protocol_udp && checksum == 0)
        checksum = 0xFFFF;
    frame.set_u16(at, checksum);
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

bool recalculate_transport_checksum_with_sum(frame_view& frame, std::size_t from, std::uint64_t tail_sum) noexcept
{
    if (from == 0)
        return false;
    switch (frame.ip_protocol()) {
    case ip_protocol_tcp:
        return recalculate_transport_checksum(frame, ip_protocol_tcp, 16, true, from, tail_sum);
    case ip_protocol_udp:
        return recalculate_transport_checksum(frame, ip_protocol_udp, 6, true, from, tail_sum);
    default:
        return false;
    }
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
