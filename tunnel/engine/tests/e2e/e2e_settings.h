#pragma once
// What run_e2e.sh hands to the end-to-end programs through their environment: the
// server's public key, the client's private key, the server's port on 127.0.0.1 and
// the SOCKS5 proxy's port, all inside the namespace that the script made.
#include <cstdint>
#include <cstdlib>
#include <string>

namespace e2e
{
inline std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

struct server_settings {
    std::string server_public;
    std::string client_private;
    std::uint16_t server_port = 0;
    std::uint16_t socks5_port = 0;

    std::string missing() const
    {
        if (server_public.empty() || client_private.empty() || server_port == 0 || socks5_port == 0)
            return "this program runs inside the namespace that tunnel/engine/tests/e2e/run_e2e.sh makes; "
                   "LORRIVAN_E2E_* is not set";
        return {};
    }
};

inline server_settings read_settings()
{
    server_settings s;
    s.server_public = environment("LORRIVAN_E2E_SERVER_PUBLIC");
    s.client_private = environment("LORRIVAN_E2E_CLIENT_PRIVATE");
    s.server_port = static_cast<std::uint16_t>(std::atoi(environment("LORRIVAN_E2E_SERVER_PORT").c_str()));
    s.socks5_port = static_cast<std::uint16_t>(std::atoi(environment("LORRIVAN_E2E_SOCKS5_PORT").c_str()));
    return s;
}
} // namespace e2e
