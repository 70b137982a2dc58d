#include "crypto.h"

#include <gcrypt.h>

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#endif

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace wireguard::engine::crypto {
namespace {

bool library_ready = false;

// libgcrypt's own log lines. Its notes would land on the console of the program that
// loads the engine; only errors go through, to standard error as libgcrypt would write
// them.
void log_errors_only(void*, int level, const char* format, va_list args)
{
    if (level >= GCRY_LOG_ERROR && level != GCRY_LOG_DEBUG)
        std::vfprintf(stderr, format, args);
}

// Handles kept open for reuse. Opening a libgcrypt handle makes it poll its entropy
// sources, which on Windows costs a dozen system calls; the handshake needs several
// AEAD and MAC computations, so their handles are taken from here. A handle goes back
// rekeyed to zero (cipher) or reset (hash), so no key stays behind in it.
template <typename Handle, void (*Close)(Handle)>
class handle_pool {
public:
    Handle take() noexcept
    {
        std::lock_guard lock(mutex_);
        if (free_.empty())
            return nullptr;
        Handle h = free_.back();
        free_.pop_back();
        return h;
    }
    void give(Handle h) noexcept
    {
        try {
            std::lock_guard lock(mutex_);
            if (free_.size() < 64) {
                free_.push_back(h);
                return;
            }
        } catch (...) {
        }
        Close(h);
    }

private:
    std::mutex mutex_;
    std::vector<Handle> free_;
};

void close_cipher(gcry_cipher_hd_t h) { gcry_cipher_close(h); }
void close_md(gcry_md_hd_t h) { gcry_md_close(h); }

// Never destroyed, so that a key freed late in the process's exit still finds them.
handle_pool<gcry_cipher_hd_t, close_cipher>& aead_handles()
{
    static auto* pool = new handle_pool<gcry_cipher_hd_t, close_cipher>;
    return *pool;
}

handle_pool<gcry_md_hd_t, close_md>& mac_handles()
{
    static auto* pool = new handle_pool<gcry_md_hd_t, close_md>;
    return *pool;
}

void nonce_of(std::uint8_t nonce[12], std::uint64_t counter) noexcept
{
    std::memset(nonce, 0, 4);
    for (int i = 0; i < 8; ++i)
        nonce[4 + i] = static_cast<std::uint8_t>(counter >> (8 * i));
}

// Sets the nonce of the counter on a keyed cipher; false when libgcrypt refuses it.
bool set_nonce(gcry_cipher_hd_t h, std::uint64_t counter) noexcept
{
    std::uint8_t nonce[12];
    nonce_of(nonce, counter);
    return !gcry_cipher_setiv(h, nonce, sizeof nonce);
}

int blake2s_algorithm(std::size_t out_size) noexcept
{
    switch (out_size) {
    case 16: return GCRY_MD_BLAKE2S_128;
    case 20: return GCRY_MD_BLAKE2S_160;
    case 28: return GCRY_MD_BLAKE2S_224;
    case 32: return GCRY_MD_BLAKE2S_256;
    default: return 0;
    }
}

// One-shot ChaCha20-Poly1305 through a pooled handle.
bool aead_once(bool encrypt, std::uint8_t* out, const std::uint8_t key[key_size],
               const std::uint8_t nonce[12], bytes in, bytes aad) noexcept
{
    if (!initialise())
        return false;
    if (!encrypt && in.size() < tag_size)
        return false;
    gcry_cipher_hd_t h = aead_handles().take();
    if (!h && gcry_cipher_open(&h, GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_POLY1305, 0))
        return false;
    const std::size_t body = encrypt ? in.size() : in.size() - tag_size;
    bool ok = !gcry_cipher_setkey(h, key, key_size) && !gcry_cipher_setiv(h, nonce, 12)
        && (aad.empty() || !gcry_cipher_authenticate(h, aad.data(), aad.size()));
    if (ok) {
        if (encrypt) {
            ok = !gcry_cipher_encrypt(h, out, body, body ? in.data() : nullptr, body)
                && !gcry_cipher_gettag(h, out + body, tag_size);
        } else {
            ok = !gcry_cipher_decrypt(h, out, body, body ? in.data() : nullptr, body)
                && !gcry_cipher_checktag(h, in.data() + body, tag_size);
            if (!ok)
                secure_wipe(out, body);
        }
    }
    static const std::uint8_t zero_key[key_size] = {};
    if (gcry_cipher_setkey(h, zero_key, key_size))
        gcry_cipher_close(h);
    else
        aead_handles().give(h);
    return ok;
}

}  // namespace

bool initialise() noexcept
{
    static std::once_flag once;
    try {
        std::call_once(once, [] {
            if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
                // Nobody in this process has set libgcrypt up yet: do it here. The engine
                // wipes its own secrets and needs no locked secure memory.
                if (!gcry_check_version(GCRYPT_VERSION))
                    return;
                gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
                gcry_set_log_handler(log_errors_only, nullptr);
                gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
            } else if (!gcry_check_version(GCRYPT_VERSION)) {
                return;
            }
            library_ready = true;
        });
    } catch (...) {
        return false;
    }
    return library_ready;
}

void secure_wipe(void* data, std::size_t size) noexcept
{
    volatile std::uint8_t* p = static_cast<volatile std::uint8_t*>(data);
    while (size--)
        *p++ = 0;
}

bool equal_constant_time(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) noexcept
{
    std::uint8_t diff = 0;
    for (std::size_t i = 0; i < size; ++i)
        diff |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}

void random_bytes(std::uint8_t* out, std::size_t size) noexcept
{
#ifdef _WIN32
    // The system's generator. libgcrypt's own would first gather entropy on Windows by
    // polling the desktop, the disk drivers, the network statistics and the performance
    // counters: slow, and it waits on other processes of the session.
    while (size > 0) {
        const auto chunk = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 20));
        if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            break;
        out += chunk;
        size -= chunk;
    }
    if (size == 0)
        return;
#endif
    if (initialise())
        gcry_randomize(out, size, GCRY_STRONG_RANDOM);
}

bool blake2s(std::span<std::uint8_t> out, bytes key, std::initializer_list<bytes> parts) noexcept
{
    const int algorithm = blake2s_algorithm(out.size());
    if (!algorithm || key.size() > 32 || !initialise())
        return false;
    gcry_md_hd_t h = nullptr;
    if (gcry_md_open(&h, algorithm, 0))
        return false;
    bool ok = key.empty() || !gcry_md_setkey(h, key.data(), key.size());
    if (ok) {
        for (const bytes& part : parts)
            if (!part.empty())
                gcry_md_write(h, part.data(), part.size());
        const unsigned char* digest = gcry_md_read(h, algorithm);
        ok = digest != nullptr;
        if (ok)
            std::memcpy(out.data(), digest, out.size());
    }
    gcry_md_close(h);
    return ok;
}

namespace {

// BLAKE2s-256 of a prefix block followed by parts, without opening a handle: opening
// one makes libgcrypt poll its entropy sources, which costs system calls on Windows.
void hash_with_prefix(std::uint8_t out[hash_size], bytes prefix, std::initializer_list<bytes> parts) noexcept
{
    constexpr std::size_t max_parts = 8;
    gcry_buffer_t iov[max_parts + 1] = {};
    int n = 0;
    if (!prefix.empty()) {
        iov[n].data = const_cast<std::uint8_t*>(prefix.data());
        iov[n].len = prefix.size();
        ++n;
    }
    for (const bytes& part : parts) {
        if (part.empty())
            continue;
        if (n == static_cast<int>(max_parts) + 1) {
            std::memset(out, 0, hash_size);
            return;
        }
        iov[n].data = const_cast<std::uint8_t*>(part.data());
        iov[n].len = part.size();
        ++n;
    }
    if (n == 0) {
        // The hash of nothing: one empty buffer.
        iov[0].data = out;
        n = 1;
    }
    if (!initialise() || gcry_md_hash_buffers(GCRY_MD_BLAKE2S_256, 0, out, iov, n))
        std::memset(out, 0, hash_size);
}

}  // namespace

void hash(std::uint8_t out[hash_size], std::initializer_list<bytes> parts) noexcept
{
    hash_with_prefix(out, {}, parts);
}

void mac(std::uint8_t out[mac_size], bytes key, std::initializer_list<bytes> parts) noexcept
{
    std::memset(out, 0, mac_size);
    if (key.empty() || key.size() > 32 || !initialise())
        return;
    gcry_md_hd_t h = mac_handles().take();
    if (!h && gcry_md_open(&h, GCRY_MD_BLAKE2S_128, 0))
        return;
    // Setting the key starts a fresh keyed hash.
    if (!gcry_md_setkey(h, key.data(), key.size())) {
        for (const bytes& part : parts)
            if (!part.empty())
                gcry_md_write(h, part.data(), part.size());
        if (const unsigned char* digest = gcry_md_read(h, GCRY_MD_BLAKE2S_128))
            std::memcpy(out, digest, mac_size);
    }
    gcry_md_reset(h);
    mac_handles().give(h);
}

void hmac(std::uint8_t out[hash_size], bytes key, std::initializer_list<bytes> parts) noexcept
{
    constexpr std::size_t block = 64;
    std::uint8_t padded[block] = {};
    if (key.size() > block)
        hash(padded, {key});
    else if (!key.empty())
        std::memcpy(padded, key.data(), key.size());

    std::uint8_t pad[block];
    for (std::size_t i = 0; i < block; ++i)
        pad[i] = static_cast<std::uint8_t>(padded[i] ^ 0x36);
    std::uint8_t inner[hash_size];
    hash_with_prefix(inner, bytes(pad, block), parts);
    for (std::size_t i = 0; i < block; ++i)
        pad[i] = static_cast<std::uint8_t>(padded[i] ^ 0x5c);
    hash(out, {bytes(pad, block), bytes(inner, hash_size)});
    secure_wipe(padded, sizeof padded);
    secure_wipe(pad, sizeof pad);
    secure_wipe(inner, sizeof inner);
}

void kdf(bytes chaining_key, bytes input, std::initializer_list<std::uint8_t*> outputs) noexcept
{
    std::uint8_t prk[hash_size];
    hmac(prk, chaining_key, {input});
    std::uint8_t previous[hash_size];
    std::size_t previous_size = 0;
    std::uint8_t counter = 1;
    for (std::uint8_t* out : outputs) {
        hmac(out, bytes(prk, hash_size), {bytes(previous, previous_size), bytes(&counter, 1)});
        std::memcpy(previous, out, hash_size);
        previous_size = hash_size;
        ++counter;
    }
    secure_wipe(prk, sizeof prk);
    secure_wipe(previous, sizeof previous);
}

bool x25519(std::uint8_t out[key_size], const std::uint8_t scalar[key_size],
            const std::uint8_t point[key_size]) noexcept
{
    if (!initialise() || gcry_ecc_mul_point(GCRY_ECC_CURVE25519, out, scalar, point)) {
        std::memset(out, 0, key_size);
        return false;
    }
    static const std::uint8_t zero[key_size] = {};
    return !equal_constant_time(out, zero, key_size);
}

bool x25519_public(std::uint8_t out[key_size], const std::uint8_t private_key[key_size]) noexcept
{
    static const std::uint8_t base_point[key_size] = {9};
    return x25519(out, private_key, base_point);
}

void x25519_generate(std::uint8_t out[key_size]) noexcept
{
    random_bytes(out, key_size);
    out[0] &= 248;
    out[31] &= 127;
    out[31] |= 64;
}

bool aead_seal(std::uint8_t* out, const std::uint8_t key[key_size], std::uint64_t counter,
               bytes plaintext, bytes aad) noexcept
{
    std::uint8_t nonce[12];
    nonce_of(nonce, counter);
    return aead_once(true, out, key, nonce, plaintext, aad);
}

bool aead_open(std::uint8_t* out, const std::uint8_t key[key_size], std::uint64_t counter,
               bytes ciphertext, bytes aad) noexcept
{
    std::uint8_t nonce[12];
    nonce_of(nonce, counter);
    return aead_once(false, out, key, nonce, ciphertext, aad);
}

bool aead_seal_nonce(std::uint8_t* out, const std::uint8_t key[key_size], const std::uint8_t nonce[12],
                     bytes plaintext, bytes aad) noexcept
{
    return aead_once(true, out, key, nonce, plaintext, aad);
}

bool aead_open_nonce(std::uint8_t* out, const std::uint8_t key[key_size], const std::uint8_t nonce[12],
                     bytes ciphertext, bytes aad) noexcept
{
    return aead_once(false, out, key, nonce, ciphertext, aad);
}

bool hchacha20(std::uint8_t out[key_size], const std::uint8_t key[key_size],
               const std::uint8_t nonce[16]) noexcept
{
    if (!initialise())
        return false;
    gcry_cipher_hd_t h = nullptr;
    if (gcry_cipher_open(&h, GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_STREAM, 0))
        return false;
    std::uint8_t block[64] = {};
    // A 16-byte IV becomes words 12 to 15 of the ChaCha20 state, little-endian.
    const bool ok = !gcry_cipher_setkey(h, key, key_size) && !gcry_cipher_setiv(h, nonce, 16)
        && !gcry_cipher_encrypt(h, block, sizeof block, nullptr, 0);
    gcry_cipher_close(h);
    if (ok) {
        static const std::uint32_t sigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
        auto word = [&](int i) {
            return static_cast<std::uint32_t>(block[4 * i]) | static_cast<std::uint32_t>(block[4 * i + 1]) << 8
                | static_cast<std::uint32_t>(block[4 * i + 2]) << 16 | static_cast<std::uint32_t>(block[4 * i + 3]) << 24;
        };
        auto nonce_word = [&](int i) {
            return static_cast<std::uint32_t>(nonce[4 * i]) | static_cast<std::uint32_t>(nonce[4 * i + 1]) << 8
                | static_cast<std::uint32_t>(nonce[4 * i + 2]) << 16 | static_cast<std::uint32_t>(nonce[4 * i + 3]) << 24;
        };
        auto put = [&](int at, std::uint32_t v) {
            for (int b = 0; b < 4; ++b)
                out[4 * at + b] = static_cast<std::uint8_t>(v >> (8 * b));
        };
        for (int i = 0; i < 4; ++i) {
            put(i, word(i) - sigma[i]);
            put(4 + i, word(12 + i) - nonce_word(i));
        }
    } else {
        std::memset(out, 0, key_size);
    }
    secure_wipe(block, sizeof block);
    return ok;
}

namespace {
bool xaead(bool encrypt, std::uint8_t* out, const std::uint8_t key[key_size],
           const std::uint8_t nonce[extended_nonce_size], bytes in, bytes aad) noexcept
{
    std::uint8_t subkey[key_size];
    if (!hchacha20(subkey, key, nonce))
        return false;
    std::uint8_t short_nonce[12] = {};
    std::memcpy(short_nonce + 4, nonce + 16, 8);
    const bool ok = aead_once(encrypt, out, subkey, short_nonce, in, aad);
    secure_wipe(subkey, sizeof subkey);
    return ok;
}
}  // namespace

bool xaead_seal(std::uint8_t* out, const std::uint8_t key[key_size],
                const std::uint8_t nonce[extended_nonce_size], bytes plaintext, bytes aad) noexcept
{
    return xaead(true, out, key, nonce, plaintext, aad);
}

bool xaead_open(std::uint8_t* out, const std::uint8_t key[key_size],
                const std::uint8_t nonce[extended_nonce_size], bytes ciphertext, bytes aad) noexcept
{
    return xaead(false, out, key, nonce, ciphertext, aad);
}

aead_key::aead_key(aead_key&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

aead_key& aead_key::operator=(aead_key&& other) noexcept
{
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

aead_key::~aead_key() { close(); }

void aead_key::close() noexcept
{
    if (handle_) {
        auto h = static_cast<gcry_cipher_hd_t>(handle_);
        static const std::uint8_t zero_key[key_size] = {};
        if (gcry_cipher_setkey(h, zero_key, key_size))
            gcry_cipher_close(h);
        else
            aead_handles().give(h);
    }
    handle_ = nullptr;
}

bool aead_key::set(const std::uint8_t key[key_size]) noexcept
{
    close();
    if (!initialise())
        return false;
    gcry_cipher_hd_t h = aead_handles().take();
    if (!h && gcry_cipher_open(&h, GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_POLY1305, 0))
        return false;
    if (gcry_cipher_setkey(h, key, key_size)) {
        gcry_cipher_close(h);
        return false;
    }
    handle_ = h;
    return true;
}

bool aead_key::seal(std::uint8_t* out, std::uint64_t counter, const std::uint8_t* in, std::size_t size) noexcept
{
    if (!handle_)
        return false;
    auto h = static_cast<gcry_cipher_hd_t>(handle_);
    if (!set_nonce(h, counter))
        return false;
    if (size) {
        const gcry_error_t e = out == in ? gcry_cipher_encrypt(h, out, size, nullptr, 0)
                                         : gcry_cipher_encrypt(h, out, size, in, size);
        if (e)
            return false;
    }
    return !gcry_cipher_gettag(h, out + size, tag_size);
}

bool aead_key::open(std::uint8_t* out, std::uint64_t counter, const std::uint8_t* in, std::size_t size) noexcept
{
    if (!handle_ || size < tag_size)
        return false;
    auto h = static_cast<gcry_cipher_hd_t>(handle_);
    if (!set_nonce(h, counter))
        return false;
    const std::size_t body = size - tag_size;
    if (body) {
        const gcry_error_t e = out == in ? gcry_cipher_decrypt(h, out, body, nullptr, 0)
                                         : gcry_cipher_decrypt(h, out, body, in, body);
        if (e) {
            secure_wipe(out, body);
            return false;
        }
    }
    if (gcry_cipher_checktag(h, in + body, tag_size)) {
        secure_wipe(out, body);
        return false;
    }
    return true;
}

}  // namespace wireguard::engine::crypto
