/* The WireGuard engine: boringtun's C interface, built on libgcrypt.
 *
 * One tunnel is one peer. The caller moves datagrams between the engine and the
 * network and IP packets between the engine and its own stack:
 *   wireguard_write  an IP packet to encrypt for the peer
 *   wireguard_read   a datagram from the peer (or nothing, to release queued packets)
 *   wireguard_tick   the timers; call it every 50 to 100 ms
 * Each call writes at most dst_size bytes into dst and says what to do with them.
 * Every call on one tunnel is serialised by the engine; tunnel_free must not run
 * concurrently with another call on the same tunnel. */
#ifndef WGENGINE_WIREGUARD_ENGINE_H
#define WGENGINE_WIREGUARD_ENGINE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct wireguard_tunnel;

/* What the caller does with the destination buffer after a call. */
enum result_type {
    WIREGUARD_DONE = 0,        /* nothing to do */
    WRITE_TO_NETWORK = 1,      /* send `size` bytes of dst to the peer */
    WIREGUARD_ERROR = 2,       /* `size` holds an error code, see below */
    WRITE_TO_TUNNEL_IPV4 = 4,  /* dst holds an IPv4 packet of `size` bytes */
    WRITE_TO_TUNNEL_IPV6 = 6   /* dst holds an IPv6 packet of `size` bytes */
};

/* Error codes, in `size` when op is WIREGUARD_ERROR:
 *  0 destination buffer too small (nothing changed)   9 invalid AEAD tag
 *  1 incorrect packet length                         10 invalid (too old) counter
 *  2 unexpected packet                               11 duplicate counter
 *  3 wrong packet type                               12 invalid packet
 *  4 wrong index                                     13 no current session
 *  5 wrong key                                       14 lock failed
 *  6 invalid TAI64N timestamp                        15 connection expired
 *  7 wrong (not newer) TAI64N timestamp              16 under load
 *  8 invalid MAC */
struct wireguard_result {
    enum result_type op;
    size_t size;
};

/* Statistics. The first 32 bytes are the tunnel library's `tunnel_state`. */
struct stats {
    int64_t time_since_last_handshake; /* whole seconds since the current session was
                                          established; -1 without a current session */
    size_t tx_bytes;                   /* plaintext bytes of data packets sent */
    size_t rx_bytes;                   /* plaintext bytes of data packets received */
    float estimated_loss;              /* 0 to 1, from the receive counters */
    int32_t estimated_rtt;             /* ms from our initiation to its response; -1 none */
    uint8_t reserved[56];              /* zero */
};

struct x25519_key {
    uint8_t key[32];
};

/* Keys are base64 text of 32 bytes (43 or 44 characters) or 64 hex digits. A NULL
 * preshared key means none. Any undecodable key, an empty preshared-key text, a peer
 * key that is a low-order point or a library that cannot start gives NULL. The local
 * index of handshake n is (index << 8) | n. keep_alive is the persistent keep-alive
 * interval in seconds, 0 = off. */
struct wireguard_tunnel* new_tunnel(const char* static_private, const char* server_static_public,
                                    const char* preshared_key, uint16_t keep_alive, uint32_t index);
void tunnel_free(struct wireguard_tunnel* tunnel);

struct wireguard_result wireguard_write(const struct wireguard_tunnel* tunnel, const uint8_t* src,
                                        uint32_t src_size, uint8_t* dst, uint32_t dst_size);
struct wireguard_result wireguard_read(const struct wireguard_tunnel* tunnel, const uint8_t* src,
                                       uint32_t src_size, uint8_t* dst, uint32_t dst_size);
struct wireguard_result wireguard_tick(const struct wireguard_tunnel* tunnel, uint8_t* dst,
                                       uint32_t dst_size);
struct wireguard_result wireguard_force_handshake(const struct wireguard_tunnel* tunnel, uint8_t* dst,
                                                  uint32_t dst_size);
struct stats wireguard_stats(const struct wireguard_tunnel* tunnel);

/* Key helpers. The texts are freed with x25519_key_to_str_free. */
struct x25519_key x25519_secret_key(void);
struct x25519_key x25519_public_key(struct x25519_key private_key);
const char* x25519_key_to_base64(struct x25519_key key);
const char* x25519_key_to_hex(struct x25519_key key);
void x25519_key_to_str_free(const char* stringified_key);
/* 1 when the text is base64 of a 32-byte key, else 0. */
int32_t check_base64_encoded_x25519_key(const char* key);

#ifdef __cplusplus
}  /* extern "C" */

static_assert(sizeof(result_type) == 4, "op is a 32-bit integer");
static_assert(sizeof(wireguard_result) == 16 && offsetof(wireguard_result, op) == 0
                  && offsetof(wireguard_result, size) == 8,
              "wireguard_result: op at 0, size at 8, 16 bytes");
static_assert(sizeof(stats) == 88 && alignof(stats) == 8, "stats: 88 bytes, alignment 8");
static_assert(offsetof(stats, time_since_last_handshake) == 0 && offsetof(stats, tx_bytes) == 8
                  && offsetof(stats, rx_bytes) == 16 && offsetof(stats, estimated_loss) == 24
                  && offsetof(stats, estimated_rtt) == 28 && offsetof(stats, reserved) == 32,
              "stats field offsets");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(struct wireguard_result) == 16, "wireguard_result: 16 bytes");
_Static_assert(sizeof(struct stats) == 88, "stats: 88 bytes");
#endif

#endif
