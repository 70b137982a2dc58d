// Helpers shared by the engine's tests: hex data, a clock the test drives, and
// a pair of tunnels that talk to each other.
#pragma once

#include "wgengine/engine_clock.h"
#include "wgengine/wireguard_engine.h"

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace wgtest {

using bytes = std::vector<std::uint8_t>;

inline bytes from_hex(std::string_view hex)
{
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("not hex");
    };
    bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(digit(hex[i]) << 4 | digit(hex[i + 1])));
    return out;
}

inline std::string to_hex(const std::uint8_t* data, std::size_t size)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < size; ++i) {
        s.push_back(digits[data[i] >> 4]);
        s.push_back(digits[data[i] & 15]);
    }
    return s;
}

inline std::string to_hex(const bytes& b) { return to_hex(b.data(), b.size()); }

inline bytes from_text(std::string_view s) { return bytes(s.begin(), s.end()); }

// A clock that only moves when the test moves it. Install it before creating tunnels.
class test_clock {
public:
    test_clock() { wireguard::engine::set_clock_source(&read); }
    ~test_clock() { wireguard::engine::set_clock_source(nullptr); }
    test_clock(const test_clock&) = delete;
    test_clock& operator=(const test_clock&) = delete;

    static void advance_ms(std::uint64_t ms) { time_ns += ms * 1000000u; }
    static void advance_s(std::uint64_t s) { time_ns += s * 1000000000u; }
    static std::uint64_t now() { return time_ns; }

private:
    static std::uint64_t read() { return time_ns.load(); }
    static inline std::atomic<std::uint64_t> time_ns{1000000000000u};
};

// Keys as texts, made by the engine's own helpers.
struct key_pair {
    std::string private_text;
    std::string public_text;
    x25519_key private_key{};
    x25519_key public_key{};

    key_pair()
    {
        private_key = x25519_secret_key();
        public_key = x25519_public_key(private_key);
        const char* p = x25519_key_to_base64(private_key);
        const char* q = x25519_key_to_base64(public_key);
        private_text = p;
        public_text = q;
        x25519_key_to_str_free(p);
        x25519_key_to_str_free(q);
    }
};

// Result of one call, with the bytes written.
struct output {
    int op = 0;
    std::size_t size = 0;
    bytes data;
};

inline output result_of(wireguard_result r, const std::uint8_t* dst)
{
    output o;
    o.op = r.op;
    o.size = r.size;
    if ((r.op == WRITE_TO_NETWORK || r.op == WRITE_TO_TUNNEL_IPV4 || r.op == WRITE_TO_TUNNEL_IPV6) && dst)
        o.data.assign(dst, dst + r.size);
    return o;
}

inline output write(const wireguard_tunnel* t, const bytes& src, std::uint32_t capacity = 2048)
{
    bytes dst(capacity);
    return result_of(wireguard_write(t, src.data(), static_cast<std::uint32_t>(src.size()), dst.data(), capacity),
                     dst.data());
}

inline output read(const wireguard_tunnel* t, const bytes& src, std::uint32_t capacity = 2048)
{
    bytes dst(capacity);
    return result_of(wireguard_read(t, src.empty() ? nullptr : src.data(), static_cast<std::uint32_t>(src.size()),
                                    dst.data(), capacity),
                     dst.data());
}

inline output tick(const wireguard_tunnel* t, std::uint32_t capacity = 2048)
{
    bytes dst(capacity);
    return result_of(wireguard_tick(t, dst.data(), capacity), dst.data());
}

inline output force_handshake(const wireguard_tunnel* t, std::uint32_t capacity = 2048)
{
    bytes dst(capacity);
    return result_of(wireguard_force_handshake(t, dst.data(), capacity), dst.data());
}

// An IPv4 packet of `size` bytes (at least 20) with a valid header.
inline bytes ipv4_packet(std::size_t size, std::uint8_t fill = 0x5a)
{
    bytes p(size, fill);
    p[0] = 0x45;
    p[1] = 0;
    p[2] = static_cast<std::uint8_t>(size >> 8);
    p[3] = static_cast<std::uint8_t>(size);
    p[8] = 64;
    p[9] = 17;
    return p;
}

// An IPv6 packet of `size` bytes (at least 40).
inline bytes ipv6_packet(std::size_t size, std::uint8_t fill = 0x6b)
{
    bytes p(size, fill);
    p[0] = 0x60;
    p[1] = p[2] = p[3] = 0;
    p[4] = static_cast<std::uint8_t>((size - 40) >> 8);
    p[5] = static_cast<std::uint8_t>(size - 40);
    p[6] = 17;
    p[7] = 64;
    return p;
}

}  // namespace wgtest

namespace wgtest {

// Two tunnels configured as each other's peer.
struct tunnel_pair {
    key_pair a_keys;
    key_pair b_keys;
    wireguard_tunnel* a = nullptr;
    wireguard_tunnel* b = nullptr;

    explicit tunnel_pair(const char* psk = nullptr, std::uint16_t keep_alive_a = 0, std::uint16_t keep_alive_b = 0,
                         std::uint32_t index_a = 0xa1, std::uint32_t index_b = 0xb2)
    {
        a = new_tunnel(a_keys.private_text.c_str(), b_keys.public_text.c_str(), psk, keep_alive_a, index_a);
        b = new_tunnel(b_keys.private_text.c_str(), a_keys.public_text.c_str(), psk, keep_alive_b, index_b);
    }
    ~tunnel_pair()
    {
        tunnel_free(a);
        tunnel_free(b);
    }
    tunnel_pair(const tunnel_pair&) = delete;
    tunnel_pair& operator=(const tunnel_pair&) = delete;
};

inline std::uint32_t le32_at(const bytes& b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8
        | static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

inline std::uint64_t le64_at(const bytes& b, std::size_t at)
{
    return static_cast<std::uint64_t>(le32_at(b, at)) | static_cast<std::uint64_t>(le32_at(b, at + 4)) << 32;
}

}  // namespace wgtest
