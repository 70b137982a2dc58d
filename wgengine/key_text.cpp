#include "key_text.h"

#include "crypto.h"

namespace wireguard::engine {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::array<std::uint8_t, 32>> decode_base64_key(std::string_view text)
{
    if (text.size() == 44) {
        if (text[43] != '=')
            return std::nullopt;
        text.remove_suffix(1);
    }
    if (text.size() != 43)
        return std::nullopt;
    std::array<std::uint8_t, 32> key{};
    std::uint32_t accumulator = 0;
    int bits = 0;
    std::size_t at = 0;
    for (char c : text) {
        const int v = base64_value(c);
        if (v < 0) {
            crypto::secure_wipe(key.data(), key.size());
            return std::nullopt;
        }
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            key[at++] = static_cast<std::uint8_t>(accumulator >> bits);
            accumulator &= (1u << bits) - 1;
        }
    }
    // 43 characters carry 258 bits: the last two must be zero.
    if (at != 32 || accumulator != 0) {
        crypto::secure_wipe(key.data(), key.size());
        return std::nullopt;
    }
    return key;
}

std::optional<std::array<std::uint8_t, 32>> decode_hex_key(std::string_view text)
{
    if (text.size() != 64)
        return std::nullopt;
    std::array<std::uint8_t, 32> key{};
    for (std::size_t i = 0; i < 32; ++i) {
        const int high = hex_value(text[2 * i]);
        const int low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            crypto::secure_wipe(key.data(), key.size());
            return std::nullopt;
        }
        key[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return key;
}

std::optional<std::array<std::uint8_t, 32>> decode_key(std::string_view text)
{
    if (auto key = decode_base64_key(text))
        return key;
    return decode_hex_key(text);
}

std::string encode_base64_key(const std::array<std::uint8_t, 32>& key)
{
    std::string text;
    text.reserve(44);
    std::uint32_t accumulator = 0;
    int bits = 0;
    for (std::uint8_t byte : key) {
        accumulator = (accumulator << 8) | byte;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            text.push_back(alphabet[(accumulator >> bits) & 63]);
        }
        accumulator &= (1u << bits) - 1;
    }
    text.push_back(alphabet[(accumulator << (6 - bits)) & 63]);
    text.push_back('=');
    return text;
}

std::string encode_hex_key(const std::array<std::uint8_t, 32>& key)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (std::uint8_t byte : key) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}

}  // namespace wireguard::engine
