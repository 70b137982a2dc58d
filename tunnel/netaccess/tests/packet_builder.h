#pragma once
// Test helpers: hand-built frames, records with a canary behind them, and an
// independent checksum verifier (byte pairs summed one by one, pseudo-headers built
// from the packet's own fields).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "driver_records.h"

namespace testpkt
{
using bytes = std::vector<std::uint8_t>;
using ipv4_address = std::array<std::uint8_t, 4>;
using ipv6_address = std::array<std::uint8_t, 16>;

inline constexpr ipv4_address ipv4_a = {192, 0, 2, 10};
inline constexpr ipv4_address ipv4_b = {198, 51, 100, 7};
inline constexpr ipv6_address ipv6_a = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
inline constexpr ipv6_address ipv6_b = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

inline void put16(bytes& b, std::size_t at, std::uint16_t v)
{
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

inline std::uint16_t get16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

inline bytes concat(const bytes& a, const bytes& b)
{
    bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

inline bytes pattern(std::size_t n, std::uint8_t seed = 1)
{
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

// TCP segment with option_words 32-bit words of options (MSS first when there is
// room, the rest no-operations) and a wrong checksum.
inline bytes tcp(std::uint16_t sport, std::uint16_t dport, const bytes& payload, std::uint8_t flags = 0x18,
                 std::size_t option_words = 0)
{
    bytes b(20 + option_words * 4, 0);
    put16(b, 0, sport);
    put16(b, 2, dport);
    b[4] = 0x11; // sequence
    b[8] = 0x22; // acknowledgment
    b[12] = static_cast<std::uint8_t>((5 + option_words) << 4);
    b[13] = flags;
    put16(b, 14, 64240);
    put16(b, 16, 0xBEEF);
    for (std::size_t i = 20; i < b.size(); ++i)
        b[i] = 1; // no-operation
    if (option_words >= 1) {
        b[20] = 2;
        b[21] = 4;
        put16(b, 22, 1460);
    }
    return concat(b, payload);
}

inline bytes udp(std::uint16_t sport, std::uint16_t dport, const bytes& payload)
{
    bytes b(8, 0);
    put16(b, 0, sport);
    put16(b, 2, dport);
    put16(b, 4, static_cast<std::uint16_t>(8 + payload.size()));
    put16(b, 6, 0xBEEF);
    return concat(b, payload);
}

// ICMP echo request (type 8) or ICMPv6 echo request (type 128).
inline bytes echo(std::uint8_t type, const bytes& payload)
{
    bytes b(8, 0);
    b[0] = type;
    put16(b, 2, 0xBEEF);
    put16(b, 4, 0x4242);
    put16(b, 6, 1);
    return concat(b, payload);
}

// IPv4 packet with ihl header words (options: no-operations) around a transport part.
inline bytes ipv4(std::uint8_t protocol, const bytes& transport, int ihl = 5, std::uint16_t flags_offset = 0x4000,
                  ipv4_address src = ipv4_a, ipv4_address dst = ipv4_b)
{
    bytes b(static_cast<std::size_t>(ihl) * 4, 1);
    b[0] = static_cast<std::uint8_t>(0x40 | ihl);
    b[1] = 0;
    put16(b, 2, static_cast<std::uint16_t>(b.size() + transport.size()));
    put16(b, 4, 0x1234);
    put16(b, 6, flags_offset);
    b[8] = 64;
    b[9] = protocol;
    put16(b, 10, 0xBEEF);
    std::copy(src.begin(), src.end(), b.begin() + 12);
    std::copy(dst.begin(), dst.end(), b.begin() + 16);
    return concat(b, transport);
}

// IPv6 packet; payload holds the extension headers and the upper-layer part.
inline bytes ipv6(std::uint8_t next, const bytes& payload, ipv6_address src = ipv6_a, ipv6_address dst = ipv6_b)
{
    bytes b(40, 0);
    b[0] = 0x60;
    b[1] = 0x01;
    b[2] = 0x23;
    b[3] = 0x45;
    put16(b, 4, static_cast<std::uint16_t>(payload.size()));
    b[6] = next;
    b[7] = 64;
    std::copy(src.begin(), src.end(), b.begin() + 8);
    std::copy(dst.begin(), dst.end(), b.begin() + 24);
    return concat(b, payload);
}

// Hop-by-hop or destination options header of (length + 1) x 8 bytes, padded with
// one PadN option.
inline bytes options_header(std::uint8_t next, std::uint8_t length = 0)
{
    bytes b((length + 1u) * 8u, 0);
    b[0] = next;
    b[1] = length;
    b[2] = 1; // PadN
    b[3] = static_cast<std::uint8_t>(b.size() - 4);
    return b;
}

// Routing header (type 0 style, segments left 0) of (length + 1) x 8 bytes.
inline bytes routing_header(std::uint8_t next, std::uint8_t length = 0)
{
    bytes b((length + 1u) * 8u, 0);
    b[0] = next;
    b[1] = length;
    b[2] = 4; // routing type
    return b;
}

inline bytes fragment_header(std::uint8_t next, std::uint16_t offset_units, bool more, std::uint32_t id = 0x1001)
{
    bytes b(8, 0);
    b[0] = next;
    put16(b, 2, static_cast<std::uint16_t>(offset_units << 3 | (more ? 1 : 0)));
    b[4] = static_cast<std::uint8_t>(id >> 24);
    b[5] = static_cast<std::uint8_t>(id >> 16);
    b[6] = static_cast<std::uint8_t>(id >> 8);
    b[7] = static_cast<std::uint8_t>(id);
    return b;
}

inline constexpr std::size_t canary_size = 64;
inline constexpr std::uint8_t canary_byte = 0xA5;

// A record followed directly by canary bytes that no packet code may touch.
struct guarded_record {
    _INTERMEDIATE_BUFFER record;
    std::uint8_t canary[canary_size];

    guarded_record()
    {
        std::memset(&record, 0x5A, sizeof record);
        std::memset(canary, canary_byte, sizeof canary);
    }
    bool canary_intact() const
    {
        return std::all_of(std::begin(canary), std::end(canary), [](std::uint8_t c) { return c == canary_byte; });
    }
};
static_assert(sizeof(guarded_record) == sizeof(_INTERMEDIATE_BUFFER) + canary_size);

// Random damage for the hostile-frame runs of the packet handlers.
class frame_mutator
{
public:
    explicit frame_mutator(std::uint32_t seed) : random_(seed) {}

    int byte() { return byte_(random_); }
    // True about `in_256` times in 256.
    bool chance(int in_256) { return byte() < in_256; }
    // 1 to 3 of the first 64 bytes of a packet overwritten.
    void damage_packet(bytes& packet)
    {
        for (int k = 1 + byte() % 3; k > 0; --k)
            packet[static_cast<std::size_t>(byte()) % std::min<std::size_t>(packet.size(), 64)] =
                static_cast<std::uint8_t>(byte());
    }
    // 1 to 4 bytes of a frame of `size` valid bytes overwritten, mostly within the
    // headers (the first 80 bytes), sometimes anywhere; now and then a frame length of
    // 0 to 2040.
    void damage_frame(_INTERMEDIATE_BUFFER& r, std::size_t size)
    {
        for (int k = 1 + byte() % 4; k > 0; --k) {
            const std::size_t limit = byte() < 200 ? std::min<std::size_t>(size, 80) : size;
            r.frame[static_cast<std::size_t>(byte() << 8 | byte()) % limit] = static_cast<std::uint8_t>(byte());
        }
        if (byte() < 20)
            r.length = static_cast<std::uint32_t>(byte() << 3);
    }
    // The whole frame area random; then call random_length().
    void random_bytes(_INTERMEDIATE_BUFFER& r)
    {
        for (auto& b : r.frame)
            b = static_cast<std::uint8_t>(byte());
    }
    std::uint32_t random_length() { return length_(random_); }

private:
    std::mt19937 random_;
    std::uniform_int_distribution<int> byte_{0, 255};
    std::uniform_int_distribution<std::uint32_t> length_{0, 1600};
};

// Fills the frame: MACs, EtherType, the IP packet; frame length = 14 + ip size +
// extra (bytes left behind the packet, as Ethernet padding).
inline void load(_INTERMEDIATE_BUFFER& r, std::uint16_t ether_type, const bytes& ip, std::size_t extra = 0)
{
    static constexpr std::uint8_t macs[12] = {0x02, 0, 0, 0, 0, 0xBB, 0x02, 0, 0, 0, 0, 0xAA};
    std::memcpy(r.frame, macs, 12);
    r.frame[12] = static_cast<std::uint8_t>(ether_type >> 8);
    r.frame[13] = static_cast<std::uint8_t>(ether_type);
    if (!ip.empty())
        std::memcpy(r.frame + 14, ip.data(), std::min(ip.size(), rimcap::max_frame_size - 14));
    r.direction = rimcap::direction_outgoing;
    r.length = static_cast<std::uint32_t>(14 + ip.size() + extra);
}

// One's complement sum of byte pairs, an odd last byte padded with zero.
inline std::uint32_t reference_sum(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0)
{
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += get16(p + i);
    if (n & 1)
        sum += static_cast<std::uint32_t>(p[n - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

// The IPv4 header verifies: its sum with the stored checksum is 0xFFFF.
inline bool ipv4_header_verifies(const _INTERMEDIATE_BUFFER& r)
{
    const std::uint8_t* ip = r.frame + 14;
    return reference_sum(ip, (ip[0] & 0x0F) * 4u) == 0xFFFF;
}

// The ICMP, TCP or UDP part of an IPv4 packet verifies (with the pseudo-header for
// TCP and UDP).
inline bool ipv4_transport_verifies(const _INTERMEDIATE_BUFFER& r)
{
    const std::uint8_t* ip = r.frame + 14;
    const std::size_t header = (ip[0] & 0x0F) * 4u;
    const std::size_t size = get16(ip + 2) - header;
    std::uint32_t sum = 0;
    if (ip[9] != 1) {
        sum = reference_sum(ip + 12, 8);
        sum += static_cast<std::uint32_t>(size);
        sum += ip[9];
    }
    return reference_sum(ip + header, size, sum) == 0xFFFF;
}

// The upper-layer part of an IPv6 packet at frame offset upper verifies.
inline bool ipv6_upper_verifies(const _INTERMEDIATE_BUFFER& r, std::size_t upper, std::uint8_t protocol)
{
    const std::uint8_t* ip = r.frame + 14;
    const std::size_t end = 14 + 40 + get16(ip + 4);
    const std::size_t size = end - upper;
    std::uint32_t sum = reference_sum(ip + 8, 32);
    sum += static_cast<std::uint32_t>(size >> 16) + static_cast<std::uint32_t>(size & 0xFFFF);
    sum += protocol;
    return reference_sum(r.frame + upper, size, sum) == 0xFFFF;
}

// Two bytes at an even position of the checksummed data (pseudo-header included)
// that make the sum fold to exactly 0xFFFF with a zero checksum field; sum is the
// folded sum of everything else.
inline std::uint16_t complement_to_ffff(std::uint32_t sum)
{
    return static_cast<std::uint16_t>(0xFFFF - sum);
}
} // namespace testpkt
