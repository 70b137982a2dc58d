// wireguard::wg_dual_tunnel: frames that the physical adapter receives.
#include "wg_dual_tunnel.h"

namespace wireguard
{
wg_dual_tunnel::packet_action wg_dual_tunnel::process_server_packet(_INTERMEDIATE_BUFFER& record)
{
    return process_handshake_response(record).value_or(packet_action::pass);
}
} // namespace wireguard
