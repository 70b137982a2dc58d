// wireguard::wg_dual_tunnel: start, stop, the handshake initiation and the keep-alive
// thread.
#include "wg_dual_tunnel.h"

namespace wireguard
{
wg_dual_tunnel::~wg_dual_tunnel() = default;

std::optional<std::int32_t> wg_dual_tunnel::start()
{
    return std::nullopt;
}

std::optional<std::int32_t> wg_dual_tunnel::start_internal()
{
    return std::nullopt;
}

std::optional<std::int32_t> wg_dual_tunnel::stop_internal(bool)
{
    return std::nullopt;
}

void wg_dual_tunnel::stop_dual_tunnel() {}

bool wg_dual_tunnel::force_handshake()
{
    return false;
}

void wg_dual_tunnel::keep_alive_thread() noexcept {}
} // namespace wireguard
