// wireguard_manager<T>: both families' managers.
#include "wireguard_manager.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "address_texts.h"
#include "app_match.h"
#include "classify_packet.h"
#include "config/config_ini.h"
#include "config/parse_config.h"
#include "library_module.h"
#include "network_change.h"
#include "virtual_adapter_routes.h"
#include "wg_dual_tunnel.h"
#include "wg_tunnel.h"

extern "C" BOOLEAN NTAPI RtlDllShutdownInProgress(void);

namespace wireguard
{
namespace
{
constexpr const char* capture_base_name = "lorrivan";
constexpr auto exit_lock_wait = std::chrono::seconds(5);

// The tunnels keep a signed level: a manager level above its range logs everything.
std::int32_t tunnel_log_level(std::uint32_t level) noexcept
{
    return level > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<std::int32_t>(level);
}

std::string endpoint_text(const ip_endpoint& endpoint)
{
    return address_text(endpoint) + " : " + std::to_string(endpoint.port);
}

template <class T>
constexpr bool is_single_adapter = std::is_same_v<T, wg_tunnel>;
} // namespace

std::uint16_t keep_alive_interval(std::int32_t seconds) noexcept
{
    return static_cast<std::uint16_t>(std::clamp<std::int32_t>(seconds, 0, 65535));
}

void module_reference::acquire() noexcept
{
    if (module_ != nullptr)
        return;
    module_ = reference_library_module();
}

void module_reference::release() noexcept
{
    if (module_ == nullptr)
        return;
    // The caller of the exported function holds a reference of its own, so this never
    // unloads the library under the running code.
    ::FreeLibrary(module_);
    module_ = nullptr;
}

bool process_is_ending() noexcept
{
    return RtlDllShutdownInProgress() != FALSE;
}

// ---- construction and the family ------------------------------------------------------------

template <class T>
wireguard_manager<T>& wireguard_manager<T>::get_instance(::log_callback callback, std::uint32_t level, bool capture)
{
    static wireguard_manager instance(callback, level, capture);
    static const bool initialised = [] {
        family_instance_.store(&instance);
        family_initialised_.exchange(true);
        return true;
    }();
    (void)initialised;
    return instance;
}

template <class T>
wireguard_manager<T>* wireguard_manager<T>::from_handle(const void* handle) noexcept
{
    if (handle == nullptr || !family_initialised_.load())
        return nullptr;
    wireguard_manager* instance = family_instance_.load();
    return instance == handle ? instance : nullptr;
}

template <class T>
wireguard_manager<T>::wireguard_manager(::log_callback callback, std::uint32_t level, bool capture)
{
    log_level = level;
    log_callback = callback;
    capture_packets = capture;
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) == 0)
        winsock_started_ = true;
    else
        log(log_importance::error, "[MGR]: WSAStartup failed with error\n");
    manager_mutex = std::make_unique<std::timed_mutex>();
}

template <class T>
wireguard_manager<T>::~wireguard_manager()
{
    release_at_exit(process_is_ending());
}

template <class T>
void wireguard_manager<T>::release_at_exit(bool process_ending) noexcept
{
    if (released_)
        return;
    released_ = true;
    if (family_instance_.load() == this) {
        family_initialised_ = false;
        family_instance_ = nullptr;
    }

    if (process_ending) {
        log_callback = nullptr;
        log_level = 0;
        if (tunnel) {
            tunnel->set_log_level(0);
            if constexpr (is_single_adapter<T>) {
                tunnel->address_switching.remove_ipv4();
                tunnel->address_switching.remove_ipv6();
            } else {
                tunnel->undo_host_changes_at_exit();
            }
        }
        // Their destructors would join threads that no longer exist and take locks that
        // ended threads may hold: the process's end frees them.
        (void)tunnel.release();
        (void)config.release();
        (void)manager_mutex.release();
        return;
    }

    try {
        std::unique_lock<std::timed_mutex> lock;
        if (manager_mutex) {
            lock = std::unique_lock<std::timed_mutex>(*manager_mutex, std::defer_lock);
            if (!lock.try_lock_for(exit_lock_wait)) {
                // A create or a drop is still at work on another thread: leave it be.
                (void)manager_mutex.release();
                return;
            }
        }
        // Level 0 silences the manager, the tunnel and the classification at once; the
        // callback goes only once no filter thread can read it any more.
        log_level = 0;
        if (tunnel) {
            tunnel->set_log_level(0);
            tunnel.reset();
        }
        log_callback = nullptr;
        config.reset();
        module_hold_.release();
        if (winsock_started_) {
            ::WSACleanup();
            winsock_started_ = false;
        }
        if (lock.owns_lock())
            lock.unlock();
        manager_mutex.reset();
    } catch (...) {
        // Nothing leaves an exit-time destructor.
    }
}

template <class T>
void wireguard_manager<T>::log(std::int32_t importance, const std::string& text) const
{
    const ::log_callback callback = log_callback;
    if (callback != nullptr && static_cast<std::int64_t>(importance) < static_cast<std::int64_t>(log_level.load()))
        callback(text.c_str());
}

// ---- create and drop --------------------------------------------------------------------------

template <class T>
bool wireguard_manager<T>::refuse_existing_tunnel() const
{
    if (released_)
        return true; // after the exit-time release nothing is created any more
    if (!tunnel)
        return false;
    log(log_importance::error, "[MGR]: Tunnel already initialized!");
    return true;
}

template <class T>
bool wireguard_manager<T>::create_tunnel(wg_config&& c)
{
    if (!manager_mutex)
        return false;
    std::lock_guard lock(*manager_mutex);
    if (refuse_existing_tunnel())
        return false;
    return install(std::move(c));
}

template <class T>
bool wireguard_manager<T>::create_tunnel_from_file(const std::string& path)
{
    if (!manager_mutex)
        return false;
    std::lock_guard lock(*manager_mutex);
    if (refuse_existing_tunnel())
        return false;
    const config_ini ini = config_ini::load_config_file(path, log_callback, log_level.load());
    std::optional<wg_config> parsed = parse_config(ini);
    if (!parsed)
        return false;
    return install(std::move(*parsed));
}

template <class T>
bool wireguard_manager<T>::create_tunnel_from_file(const std::wstring& path)
{
    if (!manager_mutex)
        return false;
    std::lock_guard lock(*manager_mutex);
    if (refuse_existing_tunnel())
        return false;
    const config_ini ini = config_ini::load_config_file_w(path, log_callback, log_level.load());
    std::optional<wg_config> parsed = parse_config(ini);
    if (!parsed)
        return false;
    return install(std::move(*parsed));
}

template <class T>
bool wireguard_manager<T>::install(wg_config&& c)
{
    {
        // The family has no tunnel, so no classification reads the record now; the lock
        // keeps it so should that ever change. No fragment decision of an earlier
        // configuration may decide a fragment under this one.
        std::lock_guard classification(classification_mutex<wireguard_manager>());
        config = std::make_unique<wg_config>(std::move(c));
        fragment_table<wireguard_manager>().clear();
    }
    if (!initialize_tunneling())
        return false;
    module_hold_.acquire();
    return true;
}

template <class T>
bool wireguard_manager<T>::drop_tunnel()
{
    if (!manager_mutex)
        return false;
    std::lock_guard lock(*manager_mutex);
    if (!tunnel) {
        log(log_importance::error, "[MGR]: Tunnel does not exist!");
        return false;
    }
    std::unique_ptr<T> dropped = std::move(tunnel);
    dropped.reset();
    {
        std::lock_guard classification(classification_mutex<wireguard_manager>());
        config.reset();
        fragment_table<wireguard_manager>().clear();
    }
    module_hold_.release();
    return true;
}

// ---- the tunnel from the configuration --------------------------------------------------------

template <class T>
bool wireguard_manager<T>::initialize_tunneling()
{
    try {
        const wg_interface_config& interface_part = config->interface_config;
        const wg_peer_config& peer = config->peer_config;
        if (peer.endpoint.empty())
            throw std::runtime_error("the configuration has no server endpoint");

        // 1. The tunnel and its engine.
        const std::uint16_t keep_alive = keep_alive_interval(peer.persistent_keepalive);
        const std::int32_t level = tunnel_log_level(log_level.load());
        if (capture_packets)
            tunnel = std::make_unique<T>(capture_base_name, interface_part.private_key, peer.public_key,
                                         peer.preshared_key, keep_alive, log_callback, level);
        else
            tunnel = std::make_unique<T>(interface_part.private_key, peer.public_key, peer.preshared_key, keep_alive,
                                         log_callback, level);
        T& t = *tunnel;

        // 2. The server: the first resolved endpoint.
        const ip_endpoint& server = peer.endpoint.front();
        log(log_importance::information, "[MGR]: Using WireGuard server: " + endpoint_text(server));
        t.server_endpoint = server;

        // 3. The tunnel's addresses: the last prefix of each family wins.
        std::uint32_t ipv4_address = 0;
        std::uint8_t ipv4_length = 0;
        std::array<std::uint8_t, 16> ipv6_address{};
        std::uint8_t ipv6_length = 0;
        for (const ip_subnet& prefix : interface_part.address) {
            if (prefix.family == family_ipv4) {
                std::memcpy(&ipv4_address, prefix.require_ipv4().address.data(), 4);
                ipv4_length = prefix_length_from_mask(prefix);
            } else {
                ipv6_address = prefix.require_ipv6().address;
                ipv6_length = prefix_length_from_mask(prefix);
            }
        }
        if constexpr (is_single_adapter<T>) {
            t.address_switching.tunnel_ipv4_address = ipv4_address;
            t.address_switching.ipv4_prefix_length = ipv4_length;
            t.address_switching.tunnel_ipv6_address = ipv6_address;
            t.address_switching.ipv6_prefix_length = ipv6_length;
        } else {
            t.tunnel_ipv4_address = ipv4_address;
            t.ipv4_prefix_length = ipv4_length;
            t.tunnel_ipv6_address = ipv6_address;
            t.ipv6_prefix_length = ipv6_length;
        }

        // 4. DNS redirection; the dual tunnel also gives the servers to its virtual adapter.
        if (!interface_part.dns.empty()) {
            t.set_dns_redirect_table(dns_slot_table(interface_part.dns));
            if constexpr (!is_single_adapter<T>)
                t.dns_servers = interface_part.dns;
        }

        // 5. A configured MTU.
        if (interface_part.mtu != 0) {
            t.mtu = interface_part.mtu;
            t.mtu_configured = true;
        }

        // 6. The SOCKS5 proxy of the handshake traffic.
        if (!peer.socks5_proxy.empty()) {
            const ip_endpoint& proxy = peer.socks5_proxy.front();
            if (proxy.family != server.family) {
                log(log_importance::error, "[MGR]: SOCKS5 proxy and WireGuard server IP addresses versions differ. "
                                           "SOCKS5 proxy will be ignored.");
            } else if (proxy.family == family_ipv6) {
                // The SOCKS5 client speaks to IPv4 proxies only.
                log(log_importance::error,
                    "[MGR]: SOCKS5 proxy over IPv6 is not supported. SOCKS5 proxy will be ignored.");
            } else {
                log(log_importance::information,
                    "[MGR]: Using SOCKS5 proxy for WireGuard handshake: " + endpoint_text(proxy));
                t.socks5_proxy_endpoint = proxy;
            }
        }

        // 7. The proxy's credentials; the password never goes to the log.
        if (peer.socks5_username && peer.socks5_password) {
            log(log_importance::information, "[MGR]: SOCKS5 proxy credentials[username:password]: " +
                                                 *peer.socks5_username + ":" + masked_password);
            t.set_socks5_credentials(*peer.socks5_username, *peer.socks5_password);
        }

        // Decrypted packets are delivered only from AllowedIPs; the dual tunnel also
        // routes them, and a default route, into its virtual adapter.
        t.allowed_ips = peer.allowed_ips;
        if constexpr (!is_single_adapter<T>)
            t.default_route = true;

        // 8. The DNS client service excluded: its queries stay outside the tunnel.
        const bool bypass = std::any_of(peer.disallowed_apps.begin(), peer.disallowed_apps.end(),
                                        [](const std::wstring& entry) { return is_dns_cache_entry(entry); });
        dns_cache_bypass = bypass;
        if (bypass)
            log(log_importance::debug, "[CONFIG]: DNS redirection will be disabled for DNSCACHE.");

        // 9. The packet filter and the handlers; the outgoing handlers classify with this
        // manager's configuration, lists and level. Without the static filter table the
        // driver would hand DHCP, ARP and the like to the tunnel's handlers: no tunnel.
        if (!t.set_packet_filter(classify_packet<wireguard_manager>(*this))) {
            log(log_importance::error, "[MGR]: Failed to load the static filter table into the Norvask driver!");
            throw std::runtime_error("static filter table refused"); // the failure below
        }
        return true;
    } catch (...) {
        try {
            log(log_importance::error, "[MGR]: Failed to allocate or initialize the WireGuard tunnel!");
        } catch (...) {
        }
        tunnel.reset();
        return false;
    }
}

// ---- start, stop, queries ---------------------------------------------------------------------

template <class T>
bool wireguard_manager<T>::start_tunnel()
{
    if (!tunnel) {
        log(log_importance::error, "[MGR]: Tunnel is not initialized");
        return false;
    }
    T& t = *tunnel;
    std::optional<std::int32_t> result;
    if constexpr (is_single_adapter<T>) {
        t.notification_flag.exchange(true);
        // One registration per tunnel: a start of a tunnel that holds one (a second start,
        // or a start after a restart) does not register again; stop cancels it.
        if (t.notification_handle == nullptr)
            t.set_notify_ip_interface_change();
        std::lock_guard lock(interface_change_mutex());
        result = t.start_internal();
    } else {
        result = t.start();
    }
    // A start that found the tunnel running already did nothing: it runs all the same.
    const bool running = result ? *result == run_states::running : t.run_state.load() == run_states::running;
    if (running)
        log(log_importance::information, "[MGR]: Tunnel has started");
    else
        log(log_importance::error, "[MGR]: Tunnel has failed to start");
    return running;
}

template <class T>
bool wireguard_manager<T>::stop_tunnel()
{
    if (!tunnel) {
        log(log_importance::error, "[MGR]: Tunnel is not initialized");
        return false;
    }
    if constexpr (is_single_adapter<T>)
        tunnel->stop();
    else
        tunnel->stop_dual_tunnel();
    return true;
}

template <class T>
tunnel_state wireguard_manager<T>::get_tunnel_state() const
{
    if (!tunnel) {
        log(log_importance::error, "[MGR]: Tunnel is not initialized");
        return tunnel_state{};
    }
    static_assert(sizeof(stats) >= sizeof(tunnel_state));
    static_assert(offsetof(stats, tx_bytes) == offsetof(tunnel_state, tx_bytes));
    static_assert(offsetof(stats, rx_bytes) == offsetof(tunnel_state, rx_bytes));
    static_assert(offsetof(stats, estimated_loss) == offsetof(tunnel_state, estimated_loss));
    static_assert(offsetof(stats, estimated_rtt) == offsetof(tunnel_state, estimated_rtt));
    const stats statistics = wireguard_stats(tunnel->engine_handle.get());
    tunnel_state state{};
    std::memcpy(&state, &statistics, sizeof(state));
    return state;
}

template <class T>
bool wireguard_manager<T>::get_tunnel_active() const
{
    if (!tunnel) {
        log(log_importance::error, "[MGR]: Tunnel is not initialized");
        return false;
    }
    return tunnel->active.load();
}

template <class T>
void wireguard_manager<T>::set_log_level(std::int32_t level)
{
    const std::uint32_t value = level < 0 ? 0u : static_cast<std::uint32_t>(level);
    log_level = value;
    if (tunnel)
        tunnel->set_log_level(tunnel_log_level(value));
    else
        log(log_importance::error, "[MGR]: Tunnel is not initialized");
}

template class wireguard_manager<wg_tunnel>;
template class wireguard_manager<wg_dual_tunnel>;
} // namespace wireguard
