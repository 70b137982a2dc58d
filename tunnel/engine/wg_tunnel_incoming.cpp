// wireguard::wg_tunnel: the incoming handler, for every frame that the default adapter
// receives (the filter's process thread).
//
// Frames pass up to the stack unchanged for now. Datagrams from the server (directly or
// unwrapped from the SOCKS5 relay) belong here next: a handshake response answered by
// turning the frame round to the server, transport data decrypted in place and handed
// up with its destination rewritten, DNS answers translated back and MSS adjusted.
#include "wg_tunnel.h"

namespace wireguard
{
wg_tunnel::packet_action wg_tunnel::incoming_handler(void*, _INTERMEDIATE_BUFFER&)
{
    return packet_action::pass;
}
} // namespace wireguard
