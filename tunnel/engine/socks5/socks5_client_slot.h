#pragma once
// Where a tunnel keeps its SOCKS5 client. The keep-alive thread, the watchdog and
// the start replace the client while the packet threads read its ready flag, relay
// port and proxy address; readers hold a shared owner for as long as they use it, so
// a replaced client is never freed under a reader. Replacing disconnects the old
// client at once (its control connection closed, its thread joined) on the replacing
// thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "config/ip_types.h"
#include "config/log_callback.h"
#include "socks5_client.h"

namespace wireguard
{
// The proxy as the tunnel keeps it: IPv4 address (network order), port (host order)
// and the credentials as configured.
struct socks5_proxy_settings {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::optional<std::string> username;
    std::optional<std::string> password;
};

// The client's log level for a tunnel's level: 0, 1 and 2 stay, anything else is 3.
constexpr std::uint32_t socks5_client_log_level(std::int32_t tunnel_level) noexcept
{
    return tunnel_level >= 0 && tunnel_level <= 2 ? static_cast<std::uint32_t>(tunnel_level) : 3u;
}

class socks5_client_slot
{
public:
    socks5_client_slot() = default;
    socks5_client_slot(const socks5_client_slot&) = delete;
    socks5_client_slot& operator=(const socks5_client_slot&) = delete;
    ~socks5_client_slot();

    // The current client, or null.
    std::shared_ptr<socks5_client> get() const noexcept { return client_.load(); }

    // Puts client in place (null: none) and disconnects the one it replaces (which
    // throws std::system_error only when joining its thread fails).
    void replace(std::shared_ptr<socks5_client> client);
    void reset() { replace(nullptr); }

private:
    std::atomic<std::shared_ptr<socks5_client>> client_;
};

// Waits for a client's relay: up to `polls` looks at ready(), with pause() between
// them; pause() answers false to give up at once (the tunnel is stopping). An
// association that has ended is not waited for, but its ready flag is read once more:
// it may have become ready just after the first look. Client: ready() and
// associating(), as socks5_client has them.
template <class Client, class Pause>
bool wait_for_relay(const Client& client, int polls, Pause pause)
{
    for (int i = 0; i < polls; ++i) {
        if (client.ready())
            return true;
        if (!client.associating())
            return client.ready();
        if (!pause())
            return false;
    }
    return client.ready();
}

// The settings of the tunnel's proxy: an IPv4 proxy endpoint with the credentials as
// configured; none without a proxy, and for an IPv6 proxy, which the client cannot reach.
std::optional<socks5_proxy_settings> ipv4_proxy_settings(const std::optional<ip_endpoint>& proxy,
                                                         const std::optional<std::string>& username,
                                                         const std::optional<std::string>& password);

// Builds a new client for the proxy (with the user name and the password when both
// are configured, otherwise with neither), the tunnel's log callback (none when null)
// and the client level of the tunnel's level; replaces the slot's client with it and
// starts its association. Nothing when there is no proxy. Throws std::system_error
// when the association thread cannot be created (the new client then stays in the
// slot, not ready).
void recreate_socks5_client(socks5_client_slot& slot, const std::optional<socks5_proxy_settings>& proxy,
                            log_callback log, std::int32_t tunnel_level);
} // namespace wireguard
