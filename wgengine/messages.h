// WireGuard message layouts (all integers little-endian) and the result codes of
// the C interface.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wireguard::engine {

enum class message_type : std::uint32_t {
    initiation = 1,
    response = 2,
    cookie_reply = 3,
    transport = 4,
};

// Handshake initiation, 148 bytes.
namespace initiation {
constexpr std::size_t size = 148;
constexpr std::size_t sender = 4;
constexpr std::size_t ephemeral = 8;
constexpr std::size_t encrypted_static = 40;   // 32 + 16
constexpr std::size_t encrypted_timestamp = 88; // 12 + 16
constexpr std::size_t mac1 = 116;
constexpr std::size_t mac2 = 132;
}  // namespace initiation

// Handshake response, 92 bytes.
namespace response {
constexpr std::size_t size = 92;
constexpr std::size_t sender = 4;
constexpr std::size_t receiver = 8;
constexpr std::size_t ephemeral = 12;
constexpr std::size_t encrypted_nothing = 44;  // 0 + 16
constexpr std::size_t mac1 = 60;
constexpr std::size_t mac2 = 76;
}  // namespace response

// Cookie reply, 64 bytes.
namespace cookie_reply {
constexpr std::size_t size = 64;
constexpr std::size_t receiver = 4;
constexpr std::size_t nonce = 8;               // 24
constexpr std::size_t encrypted_cookie = 32;   // 16 + 16
}  // namespace cookie_reply

// Transport data, 32 bytes and more.
namespace transport {
constexpr std::size_t header_size = 16;
constexpr std::size_t receiver = 4;
constexpr std::size_t counter = 8;
constexpr std::size_t overhead = 32;  // header + tag
}  // namespace transport

constexpr std::size_t timestamp_size = 12;

// Operations of a result.
enum class op : std::int32_t {
    done = 0,
    write_to_network = 1,
    error = 2,
    write_to_tunnel_ipv4 = 4,
    write_to_tunnel_ipv6 = 6,
};

// Error codes (the size of an op::error result).
enum class error : std::uint32_t {
    destination_too_small = 0,
    incorrect_packet_length = 1,
    unexpected_packet = 2,
    wrong_packet_type = 3,
    wrong_index = 4,
    wrong_key = 5,
    invalid_tai64n = 6,
    wrong_tai64n = 7,
    invalid_mac = 8,
    invalid_aead_tag = 9,
    invalid_counter = 10,
    duplicate_counter = 11,
    invalid_packet = 12,
    no_current_session = 13,
    lock_failed = 14,
    connection_expired = 15,
    under_load = 16,
};

struct result {
    op operation;
    std::size_t size;

    static result done() { return {op::done, 0}; }
    static result failed(error e) { return {op::error, static_cast<std::size_t>(e)}; }
    static result network(std::size_t n) { return {op::write_to_network, n}; }
};

inline std::uint32_t load_le32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8
        | static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint64_t load_le64(const std::uint8_t* p)
{
    return static_cast<std::uint64_t>(load_le32(p)) | static_cast<std::uint64_t>(load_le32(p + 4)) << 32;
}

inline void store_le32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void store_le64(std::uint8_t* p, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace wireguard::engine
