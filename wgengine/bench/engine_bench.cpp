// Throughput of the engine against libgcrypt's bare ChaCha20-Poly1305, and the
// handshake rate, on one core. Prints a table; not a test.
//
//   wgengine_bench            about one second per figure
//   wgengine_bench --smoke    a few milliseconds per figure (keeps the program working)
#include "wgengine/crypto.h"
#include "wgengine/engine_clock.h"
#include "wgengine/wireguard_engine.h"

#include <gcrypt.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;
using bytes = std::vector<std::uint8_t>;

double seconds_since(steady::time_point start)
{
    return std::chrono::duration<double>(steady::now() - start).count();
}

bytes ipv4_packet(std::size_t size)
{
    bytes p(size, 0x42);
    p[0] = 0x45;
    p[2] = static_cast<std::uint8_t>(size >> 8);
    p[3] = static_cast<std::uint8_t>(size);
    return p;
}

std::string text_of(const x25519_key& k)
{
    const char* t = x25519_key_to_base64(k);
    std::string s = t;
    x25519_key_to_str_free(t);
    return s;
}

// The engine's clock for this program: real time plus whatever the handshake
// figure adds to step over the responder's one-second rate-limit period.
std::atomic<std::uint64_t> clock_offset{0};
std::uint64_t bench_clock()
{
    const auto t = std::chrono::duration_cast<std::chrono::nanoseconds>(steady::now().time_since_epoch()).count();
    return static_cast<std::uint64_t>(t) + clock_offset.load();
}

struct pair {
    wireguard_tunnel* a;
    wireguard_tunnel* b;
    pair()
    {
        const x25519_key ka = x25519_secret_key(), kb = x25519_secret_key();
        const std::string pa = text_of(x25519_public_key(ka)), pb = text_of(x25519_public_key(kb));
        a = new_tunnel(text_of(ka).c_str(), pb.c_str(), nullptr, 0, 1);
        b = new_tunnel(text_of(kb).c_str(), pa.c_str(), nullptr, 0, 2);
    }
    ~pair()
    {
        tunnel_free(a);
        tunnel_free(b);
    }
    bool handshake() const
    {
        std::uint8_t m1[148], m2[92], m3[32], out[64];
        wireguard_result r = wireguard_force_handshake(a, m1, sizeof m1);
        if (r.op == WRITE_TO_NETWORK)
            r = wireguard_read(b, m1, sizeof m1, m2, sizeof m2);
        if (r.op == WRITE_TO_NETWORK)
            r = wireguard_read(a, m2, sizeof m2, m3, sizeof m3);
        if (r.op == WRITE_TO_NETWORK)
            r = wireguard_read(b, m3, sizeof m3, out, sizeof out);
        if (r.op != WIREGUARD_DONE)
            std::fprintf(stderr, "handshake failed: op %d size %zu\n", static_cast<int>(r.op), r.size);
        return r.op == WIREGUARD_DONE;
    }
};

struct figures {
    double bare_seal = 0, bare_open = 0, write = 0, read = 0;
};

double bare_rate(bool seal, std::size_t size, double budget)
{
    gcry_cipher_hd_t h = nullptr;
    gcry_cipher_open(&h, GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_POLY1305, 0);
    std::uint8_t key[32];
    wireguard::engine::crypto::random_bytes(key, sizeof key);
    gcry_cipher_setkey(h, key, sizeof key);
    bytes in = ipv4_packet(size), out(size + 16);
    std::uint8_t tag[16];
    std::uint8_t nonce[12] = {};
    std::uint64_t counter = 0;
    // Messages to open: sealed once, opened with their counters.
    std::vector<bytes> sealed;
    if (!seal) {
        for (int i = 0; i < 256; ++i) {
            std::memcpy(nonce + 4, &i, sizeof i);
            bytes m(size + 16);
            gcry_cipher_setiv(h, nonce, sizeof nonce);
            gcry_cipher_encrypt(h, m.data(), size, in.data(), size);
            gcry_cipher_gettag(h, m.data() + size, 16);
            sealed.push_back(std::move(m));
        }
    }
    std::uint64_t done = 0;
    const auto start = steady::now();
    do {
        for (int i = 0; i < 256; ++i, ++counter) {
            if (seal) {
                std::memcpy(nonce + 4, &counter, sizeof counter);
                gcry_cipher_setiv(h, nonce, sizeof nonce);
                gcry_cipher_encrypt(h, out.data(), size, in.data(), size);
                gcry_cipher_gettag(h, tag, sizeof tag);
            } else {
                std::memset(nonce + 4, 0, 8);
                std::memcpy(nonce + 4, &i, sizeof i);
                gcry_cipher_setiv(h, nonce, sizeof nonce);
                gcry_cipher_decrypt(h, out.data(), size, sealed[i].data(), size);
                if (gcry_cipher_checktag(h, sealed[i].data() + size, 16))
                    std::fprintf(stderr, "bare open failed\n");
            }
        }
        done += 256;
    } while (seconds_since(start) < budget);
    const double rate = static_cast<double>(done) / seconds_since(start);
    gcry_cipher_close(h);
    return rate;
}

double write_rate(std::size_t size, double budget)
{
    pair p;
    p.handshake();
    const bytes packet = ipv4_packet(size);
    bytes dst(size + 32);
    std::uint64_t done = 0;
    const auto start = steady::now();
    do {
        for (int i = 0; i < 256; ++i) {
            const wireguard_result r = wireguard_write(p.a, packet.data(), static_cast<std::uint32_t>(size), dst.data(),
                                                       static_cast<std::uint32_t>(dst.size()));
            if (r.op != WRITE_TO_NETWORK)
                std::fprintf(stderr, "write failed\n");
        }
        done += 256;
    } while (seconds_since(start) < budget);
    return static_cast<double>(done) / seconds_since(start);
}

double read_rate(std::size_t size, double budget)
{
    pair p;
    p.handshake();
    const bytes packet = ipv4_packet(size);
    const std::size_t message = size + 32;
    constexpr std::size_t batch = 1024;  // within the receive window
    bytes messages(batch * message), dst(size);
    std::uint64_t done = 0;
    double spent = 0;
    do {
        for (std::size_t i = 0; i < batch; ++i)
            wireguard_write(p.a, packet.data(), static_cast<std::uint32_t>(size), &messages[i * message],
                            static_cast<std::uint32_t>(message));
        const auto start = steady::now();
        for (std::size_t i = 0; i < batch; ++i) {
            const wireguard_result r = wireguard_read(p.b, &messages[i * message], static_cast<std::uint32_t>(message),
                                                      dst.data(), static_cast<std::uint32_t>(dst.size()));
            if (r.op != WRITE_TO_TUNNEL_IPV4)
                std::fprintf(stderr, "read failed: %d %zu\n", static_cast<int>(r.op), r.size);
        }
        spent += seconds_since(start);
        done += batch;
    } while (spent < budget);
    return static_cast<double>(done) / spent;
}

double handshake_rate(double budget)
{
    pair p;
    std::uint8_t scratch[256];
    std::uint64_t done = 0;
    double spent = 0;
    do {
        // Step the clock past the rate-limit period (10 handshake messages a second
        // for each side).
        clock_offset += 1000000000u;
        wireguard_tick(p.a, scratch, sizeof scratch);
        wireguard_tick(p.b, scratch, sizeof scratch);
        const auto start = steady::now();
        if (!p.handshake())
            return 0;
        spent += seconds_since(start);
        ++done;
    } while (spent < budget);
    return static_cast<double>(done) / spent;
}

// The two costs of a handshake besides hashing: X25519 and fresh random keys.
void primitive_rates(double budget)
{
    namespace crypto = wireguard::engine::crypto;
    std::uint8_t k[32], u[32], r[32];
    crypto::x25519_generate(k);
    crypto::x25519_public(u, k);
    std::uint64_t done = 0;
    auto start = steady::now();
    do {
        crypto::x25519(r, k, u);
        ++done;
    } while (seconds_since(start) < budget);
    const double dh = static_cast<double>(done) / seconds_since(start);
    done = 0;
    start = steady::now();
    do {
        crypto::x25519_generate(k);
        ++done;
    } while (seconds_since(start) < budget);
    const double keys = static_cast<double>(done) / seconds_since(start);
    done = 0;
    start = steady::now();
    do {
        crypto::hash(r, {crypto::bytes(k, 32)});
        ++done;
    } while (seconds_since(start) < budget);
    const double hashes = static_cast<double>(done) / seconds_since(start);
    done = 0;
    start = steady::now();
    std::uint8_t sealed[48];
    do {
        crypto::aead_seal(sealed, k, 0, crypto::bytes(u, 32), crypto::bytes(r, 32));
        ++done;
    } while (seconds_since(start) < budget);
    std::printf("x25519/s: %.0f, random private keys/s: %.0f, hashes/s: %.0f, one-shot AEAD/s: %.0f\n", dh, keys,
                hashes, static_cast<double>(done) / seconds_since(start));
}

}  // namespace

int main(int argc, char** argv)
{
    const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
    const double budget = smoke ? 0.005 : 1.0;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // Let the engine set libgcrypt up, as it does in the product.
    x25519_secret_key();
    wireguard::engine::set_clock_source(&bench_clock);

#if defined(__SANITIZE_ADDRESS__)
    std::printf("note: built with sanitizers; figures are not representative\n");
#endif
    std::printf("WireGuard engine on one core (%s)\n", gcry_check_version(nullptr));
    std::printf("%6s %14s %14s %14s %14s %8s %8s\n", "bytes", "bare seal/s", "write/s", "bare open/s", "read/s",
                "write %", "read %");
    double ratio_write_1420 = 0, ratio_read_1420 = 0;
    for (std::size_t size : {64u, 512u, 1420u}) {
        figures f;
        f.bare_seal = bare_rate(true, size, budget);
        f.write = write_rate(size, budget);
        f.bare_open = bare_rate(false, size, budget);
        f.read = read_rate(size, budget);
        const double rw = f.write / f.bare_seal, rr = f.read / f.bare_open;
        std::printf("%6zu %14.0f %14.0f %14.0f %14.0f %7.1f%% %7.1f%%\n", size, f.bare_seal, f.write, f.bare_open, f.read,
                    100 * rw, 100 * rr);
        if (size == 1420) {
            ratio_write_1420 = rw;
            ratio_read_1420 = rr;
        }
    }
    std::printf("handshakes/s (initiation, response, keep-alive): %.0f\n", handshake_rate(budget));
    primitive_rates(budget / 4);
    const bool met = ratio_write_1420 >= 0.85 && ratio_read_1420 >= 0.85;
    std::printf("target at 1420 bytes: engine >= 85%% of bare AEAD: write %.1f%%, read %.1f%% -> %s\n",
                100 * ratio_write_1420, 100 * ratio_read_1420, met ? "met" : "NOT met");
    return 0;
}
