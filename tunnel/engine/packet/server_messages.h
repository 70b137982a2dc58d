#pragma once
// The WireGuard messages that the server sends to the tunnel, by the type in their
// first byte, and the cookie reply's way to the engine.
//
// A server under load answers a handshake initiation with a cookie reply and accepts
// only initiations whose mac2 is keyed with that cookie: the engine opens the reply
// and keys the mac2 of its next handshake messages with the cookie. The frame itself
// goes no further (nothing above the filter reads the server's datagrams).
#include <array>
#include <cstdint>
#include <span>

#include "wgengine/wireguard_engine.h"

namespace wireguard
{
inline constexpr std::uint8_t message_handshake_response = 2;
inline constexpr std::uint8_t message_cookie_reply = 3;
inline constexpr std::uint8_t message_transport_data = 4;

// The engine answers a cookie reply with nothing; it keeps the cookie or refuses the
// message (wrong size, index or tag) without a change.
inline wireguard_result take_cookie_reply(const wireguard_tunnel* engine, std::span<const std::uint8_t> message) noexcept
{
    std::array<std::uint8_t, 148> unused; // room for an answer the engine never gives
    return wireguard_read(engine, message.data(), static_cast<std::uint32_t>(message.size()), unused.data(),
                          static_cast<std::uint32_t>(unused.size()));
}
} // namespace wireguard
