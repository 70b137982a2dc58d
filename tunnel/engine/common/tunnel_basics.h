#pragma once
// What both tunnel kinds share: their events, run states and log importances, and the
// WireGuard engine's tunnel that each of them owns.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "wgengine/wireguard_engine.h"

namespace wireguard
{
// Events that the tunnel raises toward its optional observer.
struct wg_tunnel_event {
    std::int32_t type = 0;
    std::int64_t value = 0;
};

namespace tunnel_event
{
inline constexpr std::int32_t handshake_initiation_sent = 0;
inline constexpr std::int32_t handshake_response_accepted = 1;
inline constexpr std::int32_t packet_sent = 2;
inline constexpr std::int32_t packet_received = 3;
inline constexpr std::int32_t tunnel_down = 4; // or a restart is needed
inline constexpr std::int32_t network_change = 5;
inline constexpr std::int32_t tunnel_active = 6;
inline constexpr std::int32_t tunnel_reset = 7;
} // namespace tunnel_event

// Values of the run state word.
namespace run_states
{
inline constexpr std::int32_t starting = 0;
inline constexpr std::int32_t running = 1;
inline constexpr std::int32_t stopping = 2;
inline constexpr std::int32_t stopped = 3;
} // namespace run_states

// Importance of a log line: it is written when below the tunnel's level.
namespace log_importance
{
inline constexpr std::int32_t error = 0;
inline constexpr std::int32_t information = 1;
inline constexpr std::int32_t debug = 2;
} // namespace log_importance

// The engine's tunnel, freed through the engine's free entry.
struct engine_tunnel_free {
    void operator()(wireguard_tunnel* tunnel) const noexcept
    {
        if (tunnel != nullptr)
            tunnel_free(tunnel);
    }
};
using engine_tunnel_handle = std::unique_ptr<wireguard_tunnel, engine_tunnel_free>;

// The keep-alive threads' dead-tunnel watch: more than 1000 bytes sent since the snapshot
// and nothing received, for more than 5 s since the last progress (engine clock
// nanoseconds). True when the tunnel counts as down: the progress time is then `time`
// and the snapshot all zero. Otherwise, unless data is waiting for an answer, the
// progress time becomes `time` and the snapshot `now`.
bool tunnel_seems_dead(const stats& now, std::int64_t time, std::int64_t& progress_time, stats& snapshot) noexcept;
// The watch starts with its keep-alive thread: the progress time is `time` and the
// snapshot `now`, so that the traffic of a fresh tunnel gets its 5 s like any other.
void start_dead_tunnel_watch(const stats& now, std::int64_t time, std::int64_t& progress_time,
                             stats& snapshot) noexcept;

// A local index for a new engine tunnel: uniform over 32 bits with bit 7 set, from a
// process-wide generator seeded once from the system's random device; the generator
// has its own lock.
std::uint32_t make_local_index();

// The engine tunnel for the keys (preshared key: none when absent, the text as it is
// when present, even empty) with a fresh local index. Throws std::runtime_error when
// the engine refuses the keys, so that no tunnel ever holds a null engine.
engine_tunnel_handle make_tunnel_handle(const std::string& private_key, const std::string& peer_public_key,
                                        const std::optional<std::string>& preshared_key,
                                        std::uint16_t keep_alive);
} // namespace wireguard
