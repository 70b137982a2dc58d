#pragma once
// The cookie reply of a server under load, made as the server makes it: the cookie
// sealed with XChaCha20-Poly1305 under HASH("cookie--" || the server's public key),
// with the answered initiation's mac1 as additional data.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "wgengine/crypto.h"
#include "wgengine/handshake.h"
#include "wgengine/key_text.h"
#include "wgengine/messages.h"

namespace tunnel_test
{
inline std::vector<std::uint8_t> cookie_reply_to(std::span<const std::uint8_t> initiation,
                                                 const std::string& server_public_text,
                                                 const wireguard::engine::cookie& cookie)
{
    namespace wg = wireguard::engine;
    const auto server_public = wg::decode_key(server_public_text).value();
    std::vector<std::uint8_t> reply(wg::cookie_reply::size);
    reply[0] = static_cast<std::uint8_t>(wg::message_type::cookie_reply);
    std::copy_n(initiation.begin() + wg::initiation::sender, 4, reply.begin() + wg::cookie_reply::receiver);
    for (std::size_t i = 0; i < wg::crypto::extended_nonce_size; ++i)
        reply[wg::cookie_reply::nonce + i] = static_cast<std::uint8_t>(0xC0 + i);
    static constexpr std::uint8_t label[] = {'c', 'o', 'o', 'k', 'i', 'e', '-', '-'};
    std::uint8_t key[wg::crypto::hash_size];
    wg::crypto::hash(key, {label, server_public});
    wg::crypto::xaead_seal(reply.data() + wg::cookie_reply::encrypted_cookie, key, reply.data() + wg::cookie_reply::nonce,
                           cookie, initiation.subspan(wg::initiation::mac1, wg::crypto::mac_size));
    return reply;
}
} // namespace tunnel_test
