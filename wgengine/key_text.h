// Key texts: 32-byte keys as base64 (43 or 44 characters) or 64 hex digits.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wireguard::engine {

// Decodes standard base64 of exactly 32 bytes: 44 characters ending in one '=', or
// the same 43 characters without it. Bits beyond the 32 bytes must be zero (one text
// per key). Anything else gives nothing.
std::optional<std::array<std::uint8_t, 32>> decode_base64_key(std::string_view text);

// Decodes 64 hex digits (either case).
std::optional<std::array<std::uint8_t, 32>> decode_hex_key(std::string_view text);

// Base64 first, then hex; nothing when the text is neither.
std::optional<std::array<std::uint8_t, 32>> decode_key(std::string_view text);

std::string encode_base64_key(const std::array<std::uint8_t, 32>& key);
std::string encode_hex_key(const std::array<std::uint8_t, 32>& key);

}  // namespace wireguard::engine
