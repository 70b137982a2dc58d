// wireguard::wg_dual_tunnel: frames that the stack sends on the virtual adapter.
#include "wg_dual_tunnel.h"

namespace wireguard
{
wg_dual_tunnel::packet_action wg_dual_tunnel::process_virtual_adapter_packet(_INTERMEDIATE_BUFFER&, classifier_ref)
{
    return packet_action::drop;
}
} // namespace wireguard
