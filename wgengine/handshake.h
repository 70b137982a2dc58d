// The Noise_IKpsk2_25519_ChaChaPoly_BLAKE2s handshake of WireGuard: formatting and
// consuming initiations and responses, MAC1/MAC2 and cookie replies. The ephemeral
// keys, timestamps and indexes come from the caller, so the handshake is
// deterministic for given inputs.
#pragma once

#include "crypto.h"
#include "messages.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace wireguard::engine {

using crypto::key32;
using crypto::secret32;
using tai64n = std::array<std::uint8_t, timestamp_size>;
using cookie = std::array<std::uint8_t, crypto::mac_size>;

// BLAKE2s("Noise_IKpsk2_25519_ChaChaPoly_BLAKE2s") and HASH(that || identifier).
const key32& construction_hash();
const key32& identifier_hash();

// Everything about the two static identities, computed once per tunnel.
struct handshake_identity {
    secret32 static_private;
    key32 static_public{};
    key32 peer_public{};
    secret32 preshared_key;
    secret32 static_static;   // DH(static_private, peer_public)
    key32 hash_to_peer{};     // identifier hash mixed with peer_public: our initiations
    key32 hash_to_us{};       // identifier hash mixed with static_public: the peer's initiations
    key32 mac1_key_peer{};    // HASH("mac1----" || peer_public): MAC1 of what we send
    key32 mac1_key_us{};      // HASH("mac1----" || static_public): MAC1 of what we receive
    key32 cookie_key_peer{};  // HASH("cookie--" || peer_public): opens the peer's cookie replies
};

// False when a key is unusable: the public key cannot be computed or the peer's key
// gives an all-zero shared secret (a low-order point).
bool make_identity(handshake_identity& out, const key32& static_private, const key32& peer_public,
                   const key32& preshared_key);

// TAI64N of a time in nanoseconds since 1970.
tai64n make_tai64n(std::uint64_t unix_nanoseconds);

// What the initiator keeps between its initiation and the response.
struct initiator_state {
    std::uint32_t sender_index = 0;
    secret32 ephemeral_private;
    secret32 chaining_key;
    key32 hash{};
};

// An initiation that decrypted, as the responder keeps it.
struct responder_state {
    std::uint32_t peer_index = 0;
    key32 peer_ephemeral{};
    tai64n timestamp{};
    secret32 chaining_key;
    key32 hash{};
};

// The transport keys of a completed handshake and its final hash.
struct session_keys {
    secret32 sending;
    secret32 receiving;
    key32 hash{};
};

// Formats type, sender, ephemeral, static and timestamp of an initiation and zeroes
// both MACs. False when a DH gives zero (an unusable ephemeral).
bool write_initiation(const handshake_identity& id, const key32& ephemeral_private, const tai64n& timestamp,
                      std::uint32_t sender_index, std::span<std::uint8_t, initiation::size> message,
                      initiator_state& state);

// Decrypts an initiation whose length and type were checked. Errors: wrong_key (a
// low-order ephemeral, or a static key that is not the configured peer's),
// invalid_aead_tag.
std::optional<error> read_initiation(const handshake_identity& id,
                                     std::span<const std::uint8_t, initiation::size> message,
                                     responder_state& state);

// Formats a response (MACs zeroed) and the responder's transport keys.
bool write_response(const handshake_identity& id, const responder_state& initiation,
                    const key32& ephemeral_private, std::uint32_t sender_index,
                    std::span<std::uint8_t, response::size> message, session_keys& keys);

// Completes the initiator's side with a response whose length, type and receiver
// were checked. Errors: wrong_key (a low-order ephemeral), invalid_aead_tag.
std::optional<error> read_response(const handshake_identity& id, const initiator_state& state,
                                   std::span<const std::uint8_t, response::size> message, session_keys& keys);

// MAC1 and MAC2 of a handshake message (initiation or response): MAC1 covers the
// bytes before it, MAC2 the bytes before it including MAC1.
void write_mac1(const key32& mac1_key, std::span<std::uint8_t> message);
void write_mac2(const cookie& value, std::span<std::uint8_t> message);
bool check_mac1(const key32& mac1_key, std::span<const std::uint8_t> message);
bool check_mac2(const cookie& value, std::span<const std::uint8_t> message);

// Opens the cookie of a cookie reply: XChaCha20-Poly1305 with the peer's cookie key,
// the message's nonce and our last MAC1 as additional data.
bool open_cookie_reply(const key32& cookie_key, const cookie& last_mac1,
                       std::span<const std::uint8_t, cookie_reply::size> message, cookie& out);

}  // namespace wireguard::engine
