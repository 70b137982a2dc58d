// wireguard::wg_dual_tunnel: the server's handshake response, the activation that puts
// the virtual adapter and its routes in place, its reset, and the virtual adapter.
#include "wg_dual_tunnel.h"

namespace wireguard
{
std::optional<wg_dual_tunnel::packet_action> wg_dual_tunnel::process_handshake_response(_INTERMEDIATE_BUFFER&)
{
    return std::nullopt;
}

void wg_dual_tunnel::set_tunnel_active() noexcept {}

bool wg_dual_tunnel::reset_tunnel_state() noexcept
{
    return false;
}

bool wg_dual_tunnel::recreate_virtual_adapter()
{
    return false;
}
} // namespace wireguard
