#pragma once
// wireguard::wg_dual_tunnel: the tunnel of the tdlp_ family, which pairs the default
// physical adapter with the Lorrivan virtual adapter.
//
// The dual tunnel is not part of this build yet. Its family already has its manager and
// its ten exports; the manager's initialize_tunneling cannot build a tunnel of this
// kind and reports the creation as failed, so the family never holds a tunnel and every
// operation on it answers "no tunnel". What is declared here is only what the manager's
// code for both families touches; no object of this type can be made.
#include <atomic>
#include <cstdint>
#include <optional>

#include "wg_tunnel.h"

namespace wireguard
{
class wg_dual_tunnel
{
public:
    wg_dual_tunnel() = delete;
    wg_dual_tunnel(const wg_dual_tunnel&) = delete;
    wg_dual_tunnel& operator=(const wg_dual_tunnel&) = delete;
    ~wg_dual_tunnel() = default;

    std::optional<std::int32_t> start() noexcept { return std::nullopt; }
    void stop_dual_tunnel() noexcept {}
    void set_log_level(std::int32_t) noexcept {}

    std::atomic<std::int32_t> run_state{run_states::stopped};
    std::atomic<bool> active{false};
    engine_tunnel_handle engine_handle;
};
} // namespace wireguard
