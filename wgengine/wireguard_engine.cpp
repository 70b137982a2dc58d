// The C interface over wireguard::engine::tunnel. Nothing leaves these functions as
// an exception, and no input makes them abort.
#include "wireguard_engine.h"

#include "crypto.h"
#include "key_text.h"
#include "tunnel.h"

#include <cstring>
#include <new>
#include <string>
#include <system_error>

using namespace wireguard::engine;

struct wireguard_tunnel {
    std::unique_ptr<tunnel> engine;
};

namespace {

wireguard_result to_c(result r)
{
    return {static_cast<result_type>(r.operation), r.size};
}

wireguard_result lock_failed()
{
    return to_c(result::failed(error::lock_failed));
}

// The engine keeps its state behind the lock; the interface hands out const handles.
tunnel* engine_of(const wireguard_tunnel* t)
{
    return t ? t->engine.get() : nullptr;
}

std::span<const std::uint8_t> source(const std::uint8_t* src, std::uint32_t src_size)
{
    return src ? std::span<const std::uint8_t>(src, src_size) : std::span<const std::uint8_t>();
}

std::span<std::uint8_t> destination(std::uint8_t* dst, std::uint32_t dst_size)
{
    return dst ? std::span<std::uint8_t>(dst, dst_size) : std::span<std::uint8_t>();
}

// `call` on the handle's engine, with no exception leaving.
template <typename Call>
wireguard_result on_engine(const wireguard_tunnel* t, Call&& call)
{
    tunnel* engine = engine_of(t);
    if (!engine)
        return lock_failed();
    try {
        return to_c(call(*engine));
    } catch (const std::system_error&) {
        return lock_failed();
    } catch (...) {
        return to_c(result::failed(error::invalid_packet));
    }
}

std::optional<std::array<std::uint8_t, 32>> key_from_text(const char* text)
{
    if (!text)
        return std::nullopt;
    return decode_key(std::string_view(text, strnlen(text, 65)));
}

// Wipes a decoded key when the scope ends, whichever way it ends.
class wiped_on_exit {
public:
    explicit wiped_on_exit(std::optional<std::array<std::uint8_t, 32>>& key) : key_(key) {}
    wiped_on_exit(const wiped_on_exit&) = delete;
    wiped_on_exit& operator=(const wiped_on_exit&) = delete;
    ~wiped_on_exit()
    {
        if (key_)
            crypto::secure_wipe(key_->data(), key_->size());
    }

private:
    std::optional<std::array<std::uint8_t, 32>>& key_;
};

const char* copy_text(const std::string& s)
{
    char* out = new (std::nothrow) char[s.size() + 1];
    if (out)
        std::memcpy(out, s.c_str(), s.size() + 1);
    return out;
}

// The key as text by `encode`, for x25519_key_to_str_free to release; every copy of the
// key is wiped. Null when it fails.
const char* key_to_text(x25519_key& key, std::string (*encode)(const std::array<std::uint8_t, 32>&))
{
    try {
        std::array<std::uint8_t, 32> k;
        std::memcpy(k.data(), key.key, 32);
        std::string text = encode(k);
        const char* out = copy_text(text);
        crypto::secure_wipe(text.data(), text.size());
        crypto::secure_wipe(k.data(), k.size());
        crypto::secure_wipe(key.key, sizeof key.key);
        return out;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

extern "C" {

wireguard_tunnel* new_tunnel(const char* static_private, const char* server_static_public,
                             const char* preshared_key, uint16_t keep_alive, uint32_t index)
{
    try {
        std::optional<std::array<std::uint8_t, 32>> private_key;
        std::optional<std::array<std::uint8_t, 32>> psk;
        const wiped_on_exit wipe_private(private_key);
        const wiped_on_exit wipe_psk(psk);
        private_key = key_from_text(static_private);
        const auto peer_key = key_from_text(server_static_public);
        if (preshared_key) {
            psk = key_from_text(preshared_key);
            if (!psk)
                return nullptr;
        }
        if (!private_key || !peer_key)
            return nullptr;
        auto engine = tunnel::create(*private_key, *peer_key, psk, keep_alive, index);
        if (!engine)
            return nullptr;
        return new wireguard_tunnel{std::move(engine)};
    } catch (...) {
        return nullptr;
    }
}

void tunnel_free(wireguard_tunnel* tunnel)
{
    delete tunnel;
}

wireguard_result wireguard_write(const wireguard_tunnel* t, const uint8_t* src, uint32_t src_size, uint8_t* dst,
                                 uint32_t dst_size)
{
    return on_engine(t, [&](tunnel& engine) {
        if (!src && src_size)
            return result::failed(error::invalid_packet);
        return engine.write(source(src, src_size), destination(dst, dst_size));
    });
}

wireguard_result wireguard_read(const wireguard_tunnel* t, const uint8_t* src, uint32_t src_size, uint8_t* dst,
                                uint32_t dst_size)
{
    return on_engine(t, [&](tunnel& engine) {
        if (!src && src_size)
            return result::failed(error::invalid_packet);
        return engine.read(source(src, src_size), destination(dst, dst_size));
    });
}

wireguard_result wireguard_tick(const wireguard_tunnel* t, uint8_t* dst, uint32_t dst_size)
{
    return on_engine(t, [&](tunnel& engine) { return engine.tick(destination(dst, dst_size)); });
}

wireguard_result wireguard_force_handshake(const wireguard_tunnel* t, uint8_t* dst, uint32_t dst_size)
{
    return on_engine(t, [&](tunnel& engine) { return engine.force_handshake(destination(dst, dst_size)); });
}

stats wireguard_stats(const wireguard_tunnel* t)
{
    stats out;
    std::memset(&out, 0, sizeof out);
    out.time_since_last_handshake = -1;
    out.estimated_rtt = -1;
    tunnel* engine = engine_of(t);
    if (!engine)
        return out;
    try {
        const tunnel_statistics s = engine->statistics();
        out.time_since_last_handshake = s.time_since_last_handshake;
        out.tx_bytes = static_cast<size_t>(s.tx_bytes);
        out.rx_bytes = static_cast<size_t>(s.rx_bytes);
        out.estimated_loss = s.estimated_loss;
        out.estimated_rtt = s.estimated_rtt;
    } catch (...) {
    }
    return out;
}

x25519_key x25519_secret_key(void)
{
    x25519_key key{};
    crypto::x25519_generate(key.key);
    return key;
}

x25519_key x25519_public_key(x25519_key private_key)
{
    x25519_key key{};
    crypto::x25519_public(key.key, private_key.key);
    crypto::secure_wipe(private_key.key, sizeof private_key.key);
    return key;
}

const char* x25519_key_to_base64(x25519_key key)
{
    return key_to_text(key, encode_base64_key);
}

const char* x25519_key_to_hex(x25519_key key)
{
    return key_to_text(key, encode_hex_key);
}

void x25519_key_to_str_free(const char* stringified_key)
{
    if (!stringified_key)
        return;
    char* text = const_cast<char*>(stringified_key);
    crypto::secure_wipe(text, std::strlen(text));
    delete[] text;
}

int32_t check_base64_encoded_x25519_key(const char* key)
{
    if (!key)
        return 0;
    try {
        auto decoded = decode_base64_key(std::string_view(key, strnlen(key, 45)));
        if (!decoded)
            return 0;
        crypto::secure_wipe(decoded->data(), decoded->size());
        return 1;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
