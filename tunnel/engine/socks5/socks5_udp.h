#pragma once
// The SOCKS5 UDP request header (RFC 1928, section 7) on captured frames, in place:
//
//   bytes 0-1 RSV 0, byte 2 FRAG 0, byte 3 ATYP 1 (IPv4), bytes 4-7 DST.ADDR,
//   bytes 8-9 DST.PORT (network order)
//
// socks5_udp_wrap puts the header in front of the payload of an outgoing IPv4 UDP
// frame and readdresses the frame to the proxy's relay; socks5_udp_unwrap takes it off
// a frame from the relay and makes the frame come from the address and port that the
// header names. match_server_datagram finds the WireGuard message in a frame from the
// server, directly or through the relay.
//
// Frames are hostile input. Both rewrites work only on an unfragmented IPv4 UDP frame
// that passes the frame view's checks and whose UDP length is exactly the IP payload;
// a frame that does not qualify is left as it is and the result is false. Nothing is
// ever moved outside the frame: wrapping refuses a frame that would grow past the
// 1514-byte frame area, unwrapping needs the whole 10-byte header, and a relayed
// header that is not the unfragmented IPv4 form (FRAG 0, ATYP 1) is not taken.
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>

#include "config/ip_types.h"
#include "netaccess/driver_records.h"
#include "socks5_client.h"

namespace wireguard
{
inline constexpr std::size_t socks5_udp_header_size = 10;

// Wraps the frame for the client's relay: header in front of the payload (from the
// frame's destination address and port), destination := the proxy's address and the
// relay port, lengths + 10, UDP and IPv4 header checksums recomputed. False (frame
// unchanged) when the client knows no relay port or the frame does not qualify.
bool socks5_udp_wrap(const socks5_client& client, _INTERMEDIATE_BUFFER& record);

// Unwraps a frame that came from the relay: source := DST.ADDR and DST.PORT of the
// header, the header removed, lengths - 10, checksums recomputed. False (frame
// unchanged) when the client knows no relay port or the frame does not qualify.
bool socks5_udp_unwrap(const socks5_client& client, _INTERMEDIATE_BUFFER& record);

// What match_server_datagram needs to know of a tunnel: its server, its SOCKS5 proxy
// (when one is configured) and its SOCKS5 client (may be null).
struct server_datagram_route {
    ip_endpoint server;
    std::optional<ip_endpoint> socks5_proxy;
    const socks5_client* socks5 = nullptr;
};

// A WireGuard message found in a frame: the UDP payload (its length from the UDP
// length field; it may be empty) and the frame's family (0 IPv4, 1 IPv6).
struct server_message {
    std::span<std::uint8_t> message;
    std::uint8_t family = family_ipv4;
};

struct server_datagram_match {
    std::optional<server_message> message;
    bool from_relay = false; // the frame came from the relay (and was unwrapped if it could be)
};

// The two steps without the counter: relay (unwrap a frame from the proxy's address
// and relay port while the client is ready), then server (UDP from the server's address
// and port). Only frames of the server's family are looked at.
server_datagram_match match_server_datagram_frame(const server_datagram_route& route, _INTERMEDIATE_BUFFER& record);

// The WireGuard message of a frame from the server, or none. A frame that came
// through the relay sets the tunnel's counter of relayed handshake initiations to 0.
template <class Counter>
std::optional<server_message> match_server_datagram(const server_datagram_route& route,
                                                    std::atomic<Counter>& relay_pending,
                                                    _INTERMEDIATE_BUFFER& record)
{
    server_datagram_match m = match_server_datagram_frame(route, record);
    if (m.from_relay)
        relay_pending.exchange(0);
    return m.message;
}
} // namespace wireguard
