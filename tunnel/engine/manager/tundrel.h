#pragma once
// The tunnel library's exported interface: two families of ten functions, tdl_ for the
// single-adapter tunnel and tdlp_ for the tunnel paired with the virtual adapter.
// Plain C types only; nothing is thrown across it and booleans are one byte.
#include <cstddef>
#include <cstdint>

#ifdef TUNDREL_BUILDING
#define TUNDREL_API extern "C" __declspec(dllexport)
#else
#define TUNDREL_API extern "C" __declspec(dllimport)
#endif

// Receives one zero-terminated narrow line, from any thread of the library; the text
// is valid only during the call.
using log_callback = void (*)(const char*);

// The head of the WireGuard engine's statistics.
struct tunnel_state {
    std::int64_t time_since_last_handshake; // seconds; -1 when none
    std::uint64_t tx_bytes;
    std::uint64_t rx_bytes;
    float estimated_loss;
    std::int32_t estimated_rtt; // milliseconds; -1 when none
};
static_assert(sizeof(tunnel_state) == 32);
static_assert(offsetof(tunnel_state, tx_bytes) == 8 && offsetof(tunnel_state, rx_bytes) == 16 &&
              offsetof(tunnel_state, estimated_loss) == 24 && offsetof(tunnel_state, estimated_rtt) == 28);

struct wg_interface_params {
    const char* private_key; // base64
    const char* address;     // comma-separated prefixes
    const char* dns;         // comma-separated addresses, may be null
};
static_assert(sizeof(wg_interface_params) == 24 && offsetof(wg_interface_params, address) == 8 &&
              offsetof(wg_interface_params, dns) == 16);

struct wg_peer_params {
    const char* public_key;           // base64
    const char* preshared_key;        // base64; null or empty: none
    const char* allowed_ips;          // comma-separated prefixes
    const char* endpoint;             // host:port
    std::int32_t persistent_keepalive; // seconds; 0 keeps the default; clamped to 0..65535
};
static_assert(sizeof(wg_peer_params) == 40 && offsetof(wg_peer_params, preshared_key) == 8 &&
              offsetof(wg_peer_params, allowed_ips) == 16 && offsetof(wg_peer_params, endpoint) == 24 &&
              offsetof(wg_peer_params, persistent_keepalive) == 32);

struct wg_extra_params {
    const wchar_t* allowed_apps; // comma-separated program names, may be null
    const char* disallowed_ips;  // comma-separated prefixes, may be null
    const char* socks5_proxy;    // host:port, may be null
};
static_assert(sizeof(wg_extra_params) == 24 && offsetof(wg_extra_params, disallowed_ips) == 8 &&
              offsetof(wg_extra_params, socks5_proxy) == 16);
static_assert(sizeof(bool) == 1, "booleans cross the interface as one byte");

TUNDREL_API void* tdl_get_handle(log_callback callback, std::uint32_t level, bool capture);
TUNDREL_API void tdl_set_log_level(void* handle, std::int32_t level);
TUNDREL_API bool tdl_create_tunnel(void* handle, const wg_interface_params* interface_params,
                                   const wg_peer_params* peer_params, const wg_extra_params* extra_params);
TUNDREL_API bool tdl_create_tunnel_from_file(void* handle, const char* path);
TUNDREL_API bool tdl_create_tunnel_from_file_w(void* handle, const wchar_t* path);
TUNDREL_API bool tdl_drop_tunnel(void* handle);
TUNDREL_API bool tdl_start_tunnel(void* handle);
TUNDREL_API bool tdl_stop_tunnel(void* handle);
TUNDREL_API tunnel_state tdl_get_tunnel_state(void* handle);
TUNDREL_API bool tdl_get_tunnel_active(void* handle);

TUNDREL_API void* tdlp_get_handle(log_callback callback, std::uint32_t level, bool capture);
TUNDREL_API void tdlp_set_log_level(void* handle, std::int32_t level);
TUNDREL_API bool tdlp_create_tunnel(void* handle, const wg_interface_params* interface_params,
                                    const wg_peer_params* peer_params, const wg_extra_params* extra_params);
TUNDREL_API bool tdlp_create_tunnel_from_file(void* handle, const char* path);
TUNDREL_API bool tdlp_create_tunnel_from_file_w(void* handle, const wchar_t* path);
TUNDREL_API bool tdlp_drop_tunnel(void* handle);
TUNDREL_API bool tdlp_start_tunnel(void* handle);
TUNDREL_API bool tdlp_stop_tunnel(void* handle);
TUNDREL_API tunnel_state tdlp_get_tunnel_state(void* handle);
TUNDREL_API bool tdlp_get_tunnel_active(void* handle);
