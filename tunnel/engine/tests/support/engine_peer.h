#pragma once
// The server's side of a tunnel inside the test: an engine of its own with the server's
// private key, fed and read directly (no socket), to produce handshake responses and
// transport data for the tunnel's handlers and to open what they send.
#include <cstdint>
#include <string>
#include <vector>

#include "wgengine/wireguard_engine.h"

namespace tunnel_test
{
class engine_peer
{
public:
    engine_peer(const std::string& server_private, const std::string& client_public)
        : tunnel_(new_tunnel(server_private.c_str(), client_public.c_str(), nullptr, 0, 0x3300))
    {
    }
    ~engine_peer()
    {
        if (tunnel_)
            tunnel_free(tunnel_);
    }
    engine_peer(const engine_peer&) = delete;
    engine_peer& operator=(const engine_peer&) = delete;

    bool ok() const { return tunnel_ != nullptr; }

    struct result {
        int op = -1;
        std::vector<std::uint8_t> data; // the datagram or packet; empty for other results
        std::size_t size = 0;           // the engine's size (the error code for op 2)
    };

    // A datagram from the tunnel: a handshake initiation (op 1, the response), the
    // reply to our response (op 0), transport data (op 4 or 6, the packet).
    result read(const std::vector<std::uint8_t>& datagram)
    {
        return finish(wireguard_read(tunnel_, datagram.data(), static_cast<std::uint32_t>(datagram.size()),
                                     out_.data(), static_cast<std::uint32_t>(out_.size())));
    }

    // A packet into the tunnel: transport data (op 1).
    result write(const std::vector<std::uint8_t>& packet)
    {
        return finish(wireguard_write(tunnel_, packet.data(), static_cast<std::uint32_t>(packet.size()), out_.data(),
                                      static_cast<std::uint32_t>(out_.size())));
    }

private:
    result finish(const wireguard_result& r)
    {
        result x;
        x.op = r.op;
        x.size = r.size;
        if (r.op != WIREGUARD_ERROR && r.op != WIREGUARD_DONE)
            x.data.assign(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(r.size));
        return x;
    }

    wireguard_tunnel* tunnel_ = nullptr;
    std::vector<std::uint8_t> out_ = std::vector<std::uint8_t>(4096);
};
} // namespace tunnel_test
