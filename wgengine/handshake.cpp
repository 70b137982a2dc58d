#include "handshake.h"

#include <cstring>

namespace wireguard::engine {
namespace {

using crypto::bytes;

constexpr char construction[] = "Noise_IKpsk2_25519_ChaChaPoly_BLAKE2s";
constexpr char identifier[] = "WireGuard v1 zx2c4 Jason@zx2c4.com";
constexpr char label_mac1[] = "mac1----";
constexpr char label_cookie[] = "cookie--";

bytes text(const char* s, std::size_t n) { return bytes(reinterpret_cast<const std::uint8_t*>(s), n); }
bytes of(const key32& k) { return bytes(k.data(), k.size()); }

// h := HASH(h || data)
void mix_hash(key32& h, bytes data) { crypto::hash(h.data(), {of(h), data}); }

// ck := KDF1(ck, input)
void mix_key1(secret32& ck, bytes input)
{
    secret32 next;
    crypto::kdf(of(ck), input, {next.data()});
    ck = next;
}

// (ck, k) := KDF2(ck, input)
void mix_key2(secret32& ck, secret32& k, bytes input)
{
    secret32 next;
    crypto::kdf(of(ck), input, {next.data(), k.data()});
    ck = next;
}

// (ck, tau, k) := KDF3(ck, input)
void mix_key3(secret32& ck, secret32& tau, secret32& k, bytes input)
{
    secret32 next;
    crypto::kdf(of(ck), input, {next.data(), tau.data(), k.data()});
    ck = next;
}

// An ephemeral public key enters the hash and the chaining key.
void mix_ephemeral(key32& h, secret32& ck, const std::uint8_t* e_pub)
{
    mix_hash(h, bytes(e_pub, 32));
    mix_key1(ck, bytes(e_pub, 32));
}

// The MAC of the message up to `at` with `key`, against the 16 bytes at `at`.
bool mac_matches(bytes key, std::span<const std::uint8_t> message, std::size_t at)
{
    std::uint8_t expected[16];
    crypto::mac(expected, key, {bytes(message.data(), at)});
    return crypto::equal_constant_time(expected, message.data() + at, 16);
}

bool dh(secret32& out, const std::uint8_t* scalar, const std::uint8_t* point)
{
    return crypto::x25519(out.data(), scalar, point);
}

}  // namespace

const key32& construction_hash()
{
    static const key32 value = [] {
        key32 h{};
        crypto::hash(h.data(), {text(construction, sizeof construction - 1)});
        return h;
    }();
    return value;
}

const key32& identifier_hash()
{
    static const key32 value = [] {
        key32 h = construction_hash();
        mix_hash(h, text(identifier, sizeof identifier - 1));
        return h;
    }();
    return value;
}

bool make_identity(handshake_identity& out, const key32& static_private, const key32& peer_public,
                   const key32& preshared_key)
{
    out.static_private = secret32(static_private);
    out.peer_public = peer_public;
    out.preshared_key = secret32(preshared_key);
    if (!crypto::x25519_public(out.static_public.data(), static_private.data()))
        return false;
    if (!dh(out.static_static, static_private.data(), peer_public.data()))
        return false;
    out.hash_to_peer = identifier_hash();
    mix_hash(out.hash_to_peer, of(peer_public));
    out.hash_to_us = identifier_hash();
    mix_hash(out.hash_to_us, of(out.static_public));
    crypto::hash(out.mac1_key_peer.data(), {text(label_mac1, 8), of(peer_public)});
    crypto::hash(out.mac1_key_us.data(), {text(label_mac1, 8), of(out.static_public)});
    crypto::hash(out.cookie_key_peer.data(), {text(label_cookie, 8), of(peer_public)});
    return true;
}

tai64n make_tai64n(std::uint64_t unix_nanoseconds)
{
    const std::uint64_t seconds = (std::uint64_t{1} << 62) + unix_nanoseconds / 1000000000u;
    const auto nanoseconds = static_cast<std::uint32_t>(unix_nanoseconds % 1000000000u);
    tai64n t{};
    for (int i = 0; i < 8; ++i)
        t[i] = static_cast<std::uint8_t>(seconds >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i)
        t[8 + i] = static_cast<std::uint8_t>(nanoseconds >> (24 - 8 * i));
    return t;
}

bool write_initiation(const handshake_identity& id, const key32& ephemeral_private, const tai64n& timestamp,
                      std::uint32_t sender_index, std::span<std::uint8_t, initiation::size> message,
                      initiator_state& state)
{
    std::uint8_t* m = message.data();
    std::memset(m, 0, initiation::size);
    store_le32(m, static_cast<std::uint32_t>(message_type::initiation));
    store_le32(m + initiation::sender, sender_index);

    secret32 ck(construction_hash());
    key32 h = id.hash_to_peer;
    secret32 k;
    secret32 shared;

    std::uint8_t* e_pub = m + initiation::ephemeral;
    if (!crypto::x25519_public(e_pub, ephemeral_private.data()))
        return false;
    mix_ephemeral(h, ck, e_pub);

    if (!dh(shared, ephemeral_private.data(), id.peer_public.data()))
        return false;
    mix_key2(ck, k, of(shared));
    std::uint8_t* s_enc = m + initiation::encrypted_static;
    if (!crypto::aead_seal(s_enc, k.data(), 0, of(id.static_public), of(h)))
        return false;
    mix_hash(h, bytes(s_enc, 48));

    mix_key2(ck, k, of(id.static_static));
    std::uint8_t* t_enc = m + initiation::encrypted_timestamp;
    if (!crypto::aead_seal(t_enc, k.data(), 0, bytes(timestamp.data(), timestamp.size()), of(h)))
        return false;
    mix_hash(h, bytes(t_enc, 28));

    state.sender_index = sender_index;
    state.ephemeral_private = secret32(ephemeral_private);
    state.chaining_key = ck;
    state.hash = h;
    return true;
}

std::optional<error> read_initiation(const handshake_identity& id,
                                     std::span<const std::uint8_t, initiation::size> message,
                                     responder_state& state)
{
    const std::uint8_t* m = message.data();
    secret32 ck(construction_hash());
    key32 h = id.hash_to_us;
    secret32 k;
    secret32 shared;

    const std::uint8_t* e_pub = m + initiation::ephemeral;
    mix_ephemeral(h, ck, e_pub);
    if (!dh(shared, id.static_private.data(), e_pub))
        return error::wrong_key;
    mix_key2(ck, k, of(shared));

    const std::uint8_t* s_enc = m + initiation::encrypted_static;
    key32 peer_static{};
    if (!crypto::aead_open(peer_static.data(), k.data(), 0, bytes(s_enc, 48), of(h)))
        return error::invalid_aead_tag;
    mix_hash(h, bytes(s_enc, 48));
    if (!crypto::equal_constant_time(peer_static.data(), id.peer_public.data(), 32))
        return error::wrong_key;

    mix_key2(ck, k, of(id.static_static));
    const std::uint8_t* t_enc = m + initiation::encrypted_timestamp;
    tai64n timestamp{};
    if (!crypto::aead_open(timestamp.data(), k.data(), 0, bytes(t_enc, 28), of(h)))
        return error::invalid_aead_tag;
    mix_hash(h, bytes(t_enc, 28));

    state.peer_index = load_le32(m + initiation::sender);
    std::memcpy(state.peer_ephemeral.data(), e_pub, 32);
    state.timestamp = timestamp;
    state.chaining_key = ck;
    state.hash = h;
    return std::nullopt;
}

bool write_response(const handshake_identity& id, const responder_state& initiation,
                    const key32& ephemeral_private, std::uint32_t sender_index,
                    std::span<std::uint8_t, response::size> message, session_keys& keys)
{
    std::uint8_t* m = message.data();
    std::memset(m, 0, response::size);
    store_le32(m, static_cast<std::uint32_t>(message_type::response));
    store_le32(m + response::sender, sender_index);
    store_le32(m + response::receiver, initiation.peer_index);

    secret32 ck = initiation.chaining_key;
    key32 h = initiation.hash;
    secret32 shared;

    std::uint8_t* e_pub = m + response::ephemeral;
    if (!crypto::x25519_public(e_pub, ephemeral_private.data()))
        return false;
    mix_ephemeral(h, ck, e_pub);
    if (!dh(shared, ephemeral_private.data(), initiation.peer_ephemeral.data()))
        return false;
    mix_key1(ck, of(shared));
    if (!dh(shared, ephemeral_private.data(), id.peer_public.data()))
        return false;
    mix_key1(ck, of(shared));

    secret32 tau;
    secret32 k;
    mix_key3(ck, tau, k, of(id.preshared_key));
    mix_hash(h, of(tau));
    std::uint8_t* empty = m + response::encrypted_nothing;
    if (!crypto::aead_seal(empty, k.data(), 0, {}, of(h)))
        return false;
    mix_hash(h, bytes(empty, 16));

    // The initiator sends with the first key; the responder receives with it.
    crypto::kdf(of(ck), {}, {keys.receiving.data(), keys.sending.data()});
    keys.hash = h;
    return true;
}

std::optional<error> read_response(const handshake_identity& id, const initiator_state& state,
                                   std::span<const std::uint8_t, response::size> message, session_keys& keys)
{
    const std::uint8_t* m = message.data();
    secret32 ck = state.chaining_key;
    key32 h = state.hash;
    secret32 shared;

    const std::uint8_t* e_pub = m + response::ephemeral;
    mix_ephemeral(h, ck, e_pub);
    if (!dh(shared, state.ephemeral_private.data(), e_pub))
        return error::wrong_key;
    mix_key1(ck, of(shared));
    if (!dh(shared, id.static_private.data(), e_pub))
        return error::wrong_key;
    mix_key1(ck, of(shared));

    secret32 tau;
    secret32 k;
    mix_key3(ck, tau, k, of(id.preshared_key));
    mix_hash(h, of(tau));
    const std::uint8_t* empty = m + response::encrypted_nothing;
    std::uint8_t nothing[1];
    if (!crypto::aead_open(nothing, k.data(), 0, bytes(empty, 16), of(h)))
        return error::invalid_aead_tag;
    mix_hash(h, bytes(empty, 16));

    crypto::kdf(of(ck), {}, {keys.sending.data(), keys.receiving.data()});
    keys.hash = h;
    return std::nullopt;
}

void write_mac1(const key32& mac1_key, std::span<std::uint8_t> message)
{
    const std::size_t at = message.size() - 32;
    crypto::mac(message.data() + at, of(mac1_key), {bytes(message.data(), at)});
}

void write_mac2(const cookie& value, std::span<std::uint8_t> message)
{
    const std::size_t at = message.size() - 16;
    crypto::mac(message.data() + at, bytes(value.data(), value.size()), {bytes(message.data(), at)});
}

bool check_mac1(const key32& mac1_key, std::span<const std::uint8_t> message)
{
    return mac_matches(of(mac1_key), message, message.size() - 32);
}

bool check_mac2(const cookie& value, std::span<const std::uint8_t> message)
{
    return mac_matches(bytes(value.data(), value.size()), message, message.size() - 16);
}

bool open_cookie_reply(const key32& cookie_key, const cookie& last_mac1,
                       std::span<const std::uint8_t, cookie_reply::size> message, cookie& out)
{
    return crypto::xaead_open(out.data(), cookie_key.data(), message.data() + cookie_reply::nonce,
                              bytes(message.data() + cookie_reply::encrypted_cookie, 32),
                              bytes(last_mac1.data(), last_mac1.size()));
}

}  // namespace wireguard::engine
