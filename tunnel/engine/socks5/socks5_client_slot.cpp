// The tunnel's SOCKS5 client slot and the rebuilding of its client.
#include "socks5_client_slot.h"

#include <cstring>
#include <utility>

namespace wireguard
{
socks5_client_slot::~socks5_client_slot()
{
    try {
        reset();
    } catch (...) {
        // The client is freed all the same.
    }
}

void socks5_client_slot::replace(std::shared_ptr<socks5_client> client)
{
    const std::shared_ptr<socks5_client> old = client_.exchange(std::move(client));
    if (old)
        old->disconnect();
}

std::optional<socks5_proxy_settings> ipv4_proxy_settings(const std::optional<ip_endpoint>& proxy,
                                                         const std::optional<std::string>& username,
                                                         const std::optional<std::string>& password)
{
    if (!proxy || proxy->family != family_ipv4)
        return std::nullopt;
    socks5_proxy_settings settings;
    std::memcpy(&settings.address, proxy->address.data(), 4);
    settings.port = proxy->port;
    settings.username = username;
    settings.password = password;
    return settings;
}

void recreate_socks5_client(socks5_client_slot& slot, const std::optional<socks5_proxy_settings>& proxy,
                            log_callback log, std::int32_t tunnel_level)
{
    if (!proxy)
        return;
    const bool credentials = proxy->username && proxy->password;
    socks5_client::log_function log_function;
    if (log)
        log_function = log;
    auto client = std::make_shared<socks5_client>(proxy->address, proxy->port,
                                                  credentials ? proxy->username : std::nullopt,
                                                  credentials ? proxy->password : std::nullopt,
                                                  std::move(log_function), socks5_client_log_level(tunnel_level));
    slot.replace(client);
    client->start_association();
}
} // namespace wireguard
