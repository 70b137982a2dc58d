// Cryptographic primitives of the WireGuard engine, all on libgcrypt:
// BLAKE2s (plain and keyed), HMAC-BLAKE2s and the HKDF chain, X25519,
// ChaCha20-Poly1305, HChaCha20 and XChaCha20-Poly1305.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace wireguard::engine::crypto {

constexpr std::size_t key_size = 32;
constexpr std::size_t hash_size = 32;
constexpr std::size_t mac_size = 16;
constexpr std::size_t tag_size = 16;
constexpr std::size_t extended_nonce_size = 24;

using bytes = std::span<const std::uint8_t>;
using key32 = std::array<std::uint8_t, 32>;

// Initialises libgcrypt once per process (thread-safe). False when the library in
// use is older than the headers the engine was built with; every other function of
// this file then fails safely.
bool initialise() noexcept;

// Overwrites memory in a way the compiler may not remove.
void secure_wipe(void* data, std::size_t size) noexcept;

// Comparison whose time does not depend on where the buffers differ.
bool equal_constant_time(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) noexcept;

// Strong random bytes: the system's generator on Windows, libgcrypt's elsewhere.
void random_bytes(std::uint8_t* out, std::size_t size) noexcept;

// 32 bytes that are wiped when the object goes away.
struct secret32 : key32 {
    secret32() noexcept : key32{} {}
    secret32(const secret32& other) noexcept = default;
    secret32& operator=(const secret32& other) noexcept = default;
    explicit secret32(const key32& value) noexcept : key32(value) {}
    ~secret32() { secure_wipe(data(), size()); }
};

// BLAKE2s with `out.size()` bytes of output (1 to 32; the engine uses 16 and 32, the
// known-answer tests also 20 and 28), keyed when `key` is not empty (at most 32 bytes).
// False when libgcrypt refuses.
bool blake2s(std::span<std::uint8_t> out, bytes key, std::initializer_list<bytes> parts) noexcept;

// HASH: BLAKE2s-256 of the concatenated parts.
void hash(std::uint8_t out[hash_size], std::initializer_list<bytes> parts) noexcept;

// MAC: keyed BLAKE2s with 16 bytes of output.
void mac(std::uint8_t out[mac_size], bytes key, std::initializer_list<bytes> parts) noexcept;

// HMAC (RFC 2104) over BLAKE2s-256, block size 64.
void hmac(std::uint8_t out[hash_size], bytes key, std::initializer_list<bytes> parts) noexcept;

// KDF_n: HKDF over HMAC-BLAKE2s. Writes n = outputs.size() (1 to 3) 32-byte values.
void kdf(bytes chaining_key, bytes input, std::initializer_list<std::uint8_t*> outputs) noexcept;

// X25519 (RFC 7748). False when the result is all zero (a low-order point) or the
// computation fails; `out` is then zeroed.
bool x25519(std::uint8_t out[key_size], const std::uint8_t scalar[key_size],
            const std::uint8_t point[key_size]) noexcept;
// The public key of a private key (X25519 with the base point 9).
bool x25519_public(std::uint8_t out[key_size], const std::uint8_t private_key[key_size]) noexcept;
// A fresh private key from the strong generator, clamped as RFC 7748 decodes it.
void x25519_generate(std::uint8_t out[key_size]) noexcept;

// ChaCha20-Poly1305 (RFC 8439) with the 12-byte nonce 0^4 || le64(counter).
// seal writes plaintext.size() + 16 bytes; open writes ciphertext.size() - 16 bytes
// and, when the tag is wrong, zeroes them and returns false.
bool aead_seal(std::uint8_t* out, const std::uint8_t key[key_size], std::uint64_t counter,
               bytes plaintext, bytes aad) noexcept;
bool aead_open(std::uint8_t* out, const std::uint8_t key[key_size], std::uint64_t counter,
               bytes ciphertext, bytes aad) noexcept;

// The same with an explicit 12-byte nonce.
bool aead_seal_nonce(std::uint8_t* out, const std::uint8_t key[key_size], const std::uint8_t nonce[12],
                     bytes plaintext, bytes aad) noexcept;
bool aead_open_nonce(std::uint8_t* out, const std::uint8_t key[key_size], const std::uint8_t nonce[12],
                     bytes ciphertext, bytes aad) noexcept;

// HChaCha20: the 32-byte subkey of `key` and a 16-byte nonce. libgcrypt has no
// HChaCha20; it comes from one ChaCha20 block with the 16-byte nonce as words 12-15,
// minus the words that ChaCha20 adds back after its rounds.
bool hchacha20(std::uint8_t out[key_size], const std::uint8_t key[key_size],
               const std::uint8_t nonce[16]) noexcept;

// XChaCha20-Poly1305 with a 24-byte nonce: HChaCha20 subkey from the first 16 bytes,
// ChaCha20-Poly1305 with 0^4 || the last 8 bytes.
bool xaead_seal(std::uint8_t* out, const std::uint8_t key[key_size],
                const std::uint8_t nonce[extended_nonce_size], bytes plaintext, bytes aad) noexcept;
bool xaead_open(std::uint8_t* out, const std::uint8_t key[key_size],
                const std::uint8_t nonce[extended_nonce_size], bytes ciphertext, bytes aad) noexcept;

// A ChaCha20-Poly1305 key kept open in libgcrypt for the data path: one handle,
// keyed once, used for every packet of one direction of a session. Not thread-safe;
// the tunnel's lock serialises it. The key is overwritten with zeros when the object
// goes away.
class aead_key {
public:
    aead_key() noexcept = default;
    aead_key(const aead_key&) = delete;
    aead_key& operator=(const aead_key&) = delete;
    aead_key(aead_key&& other) noexcept;
    aead_key& operator=(aead_key&& other) noexcept;
    ~aead_key();

    // False when libgcrypt cannot open the cipher.
    bool set(const std::uint8_t key[key_size]) noexcept;
    bool valid() const noexcept { return handle_ != nullptr; }

    // `out` may equal `in` (in place) or not overlap it at all.
    bool seal(std::uint8_t* out, std::uint64_t counter, const std::uint8_t* in, std::size_t size) noexcept;
    // `size` is the ciphertext length including the tag; writes size - 16 bytes, zeroed
    // again when the tag is wrong.
    bool open(std::uint8_t* out, std::uint64_t counter, const std::uint8_t* in, std::size_t size) noexcept;

private:
    void close() noexcept;
    void* handle_ = nullptr;  // gcry_cipher_hd_t
};

}  // namespace wireguard::engine::crypto
