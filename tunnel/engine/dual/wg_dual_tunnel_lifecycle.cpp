// wireguard::wg_dual_tunnel: destruction, start, stop, the handshake initiation and the
// keep-alive thread.
//
// Order of a stop: the run state leaves running (the keep-alive thread's waits end at
// once), the keep-alive thread is joined, and only then is the endpoint socket closed,
// so that nothing is ever sent on a closed (and perhaps reused) handle; then the
// filter's sides stop, the activation threads still at work are waited for, and the
// routes and the active flag are reset. No activation can finish after that reset: the
// default adapter's side, whose handshake responses start them, stopped before.
#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>

#include "address_texts.h"
#include "library_module.h"
#include "netaccess/platform.h"
#include "refused_calls.h"
#include "server_route.h"
#include "wg_dual_tunnel.h"
#include "wgengine/engine_clock.h"

namespace wireguard
{
namespace
{
constexpr auto keep_alive_period = std::chrono::milliseconds(50);
constexpr auto socks5_poll_period = std::chrono::milliseconds(500);
constexpr int socks5_polls = 10;
constexpr std::size_t handshake_initiation_size = 148;
constexpr std::uint8_t message_handshake_initiation = 1;

std::string wsa_error_text()
{
    return std::to_string(static_cast<std::int32_t>(::WSAGetLastError()));
}
} // namespace

// ---- destruction --------------------------------------------------------------------------

wg_dual_tunnel::~wg_dual_tunnel()
{
    try {
        stop_dual_tunnel();
    } catch (...) {
        // Only joining can throw; the checks below end the process if a thread is left.
    }
    // A registration that the stop could not cancel: once more. Then no callback reaches
    // the tunnel any more; the token goes with it unless a registration still names it.
    if (notification_handle != nullptr)
        cancel_notify_ip_interface_change();
    notification_token_->detach();
    if (notification_handle != nullptr) {
        // Left to the live registration, together with the code it calls: the library
        // stays loaded until the process ends.
        static_cast<void>(notification_token_.release());
        reference_library_module(true);
    }
    wait_for_activations();

    try {
        socks5.reset();
    } catch (...) {
        // The client is gone all the same.
    }
    socks5_password.reset();
    socks5_username.reset();
    capture_lcl.reset();
    capture_ext.reset();
    capture_tun.reset();
    capture_enc.reset();
    default_adapter_udp_ports_v6.clear();
    default_adapter_udp_ports_v4.clear();
    virtual_adapter_dns_ports_v6.clear();
    virtual_adapter_dns_ports_v4.clear();
    virtual_adapter_bypass_v6.clear();
    virtual_adapter_bypass_v4.clear();
    default_adapter_remotes_v6.clear();
    default_adapter_remotes_v4.clear();
    default_adapter.reset();
    dns_redirect_table.reset();
    filter.reset();
    // The stop has joined both threads, unless the tunnel is being destroyed on one of
    // them (a log callback that drops the tunnel from inside it): that thread would go
    // on in a freed tunnel, so the process ends here instead.
    if (keep_alive.joinable() || watchdog_thread.joinable())
        std::terminate();
    event_callback = nullptr;
    logger = nullptr;
    engine_handle.reset();
    {
        std::lock_guard lock(adapter_mutex);
        release_virtual_adapter_locked();
        // Destroying it tries once more; what is still refused now stays on the host.
        retired_adapter_.reset();
    }
    dns_servers.clear();
    allowed_ips.clear();
}

// ---- start --------------------------------------------------------------------------------

std::optional<std::int32_t> wg_dual_tunnel::start()
{
    // A stop on another thread ends before this start begins, or waits for it to end.
    std::lock_guard start_stop(start_stop_mutex_);
    if (run_state.load() != run_states::stopped)
        return std::nullopt;
    // What an earlier stop could not finish: an exit request that no watchdog took (the
    // SOCKS5 wait of the handshake initiation reads it) and refused mode releases.
    std::int32_t stale = wg_dual_tunnel_event_type::exit;
    event_word.compare_exchange_strong(stale, wg_dual_tunnel_event_type::none);
    release_refused_modes();

    // The virtual adapter can be made: the probe's object goes again at once; the one that
    // stays is made by the activation after the first handshake response.
    if (!recreate_virtual_adapter()) {
        tunnel_log(log_importance::information, "[TUN]: Lorrivan virtual adapter is not available!");
        return run_states::stopped;
    }
    release_virtual_adapter();

    notification_flag.exchange(true);
    // One registration per tunnel: a start while one is held (after a failed start, or
    // after the tunnel stopped itself) keeps it; stop_dual_tunnel cancels it.
    if (notification_handle == nullptr)
        register_interface_change();

    std::optional<std::int32_t> result;
    {
        std::lock_guard lock(restart_mutex);
        result = start_internal();
        if (result == run_states::running)
            start_watchdog();
    }
    if (result)
        return result;
    return run_state.load();
}

void wg_dual_tunnel::register_interface_change()
{
    ::SetLastError(0);
    HANDLE handle = nullptr;
    const DWORD result = netaccess::platform::notify_ip_interface_change(
        AF_UNSPEC, &wg_dual_tunnel::interface_change_entry, notification_token_.get(), FALSE, &handle);
    if (result != NO_ERROR) {
        ::SetLastError(result);
        if (logs(log_importance::debug))
            tunnel_log(log_importance::debug, "[TUN]: set_notify_ip_interface_change has failed, lasterror: " +
                                                  std::to_string(::GetLastError()));
        return;
    }
    notification_handle = handle;
}

DWORD wg_dual_tunnel::cancel_notify_ip_interface_change() noexcept
{
    const HANDLE handle = notification_handle;
    const auto cancel = [handle] { return netaccess::platform::cancel_mib_change_notify2(handle); };
    // Without a registration there is nothing to try again.
    const DWORD result =
        handle == nullptr ? cancel() : call_until_done(cancel, [](DWORD r) { return r == NO_ERROR; });
    if (result == NO_ERROR)
        notification_handle = nullptr;
    return result;
}

void wg_dual_tunnel::start_watchdog()
{
    // A watchdog that still runs (the tunnel had stopped itself) stays the only one.
    if (watchdog_thread.joinable())
        return;
    try {
        watchdog_thread = std::thread(&wg_dual_tunnel::watchdog, this);
    } catch (const std::exception& e) {
        tunnel_log(log_importance::information, std::string("[TUN]: starting watchdog thread has failed: ") + e.what());
    }
}

std::optional<std::int32_t> wg_dual_tunnel::start_internal()
{
    if (!notification_flag.load())
        return std::nullopt;
    const std::int32_t state = run_state.load();
    if (state == run_states::starting || state == run_states::running)
        return std::nullopt;
    run_state.exchange(run_states::starting);

    const auto fail = [this] {
        socket.reset();
        run_state.exchange(run_states::stopped);
        return run_states::stopped;
    };
    bool side_started = false;
    try {
        if (!update_network_interfaces())
            return fail();

        if (unspecified_address(server_endpoint)) {
            tunnel_log(log_importance::information, "[TUN]: start_internal: No endpoint address found!");
            return fail();
        }

        reset_socks5_client();

        const int family = server_endpoint.family == family_ipv6 ? AF_INET6 : AF_INET;
        socket.reset(::WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, 0));
        bool bound = false;
        if (socket) {
            SOCKADDR_STORAGE wildcard{};
            wildcard.ss_family = static_cast<ADDRESS_FAMILY>(family);
            bound = ::bind(socket.get(), reinterpret_cast<sockaddr*>(&wildcard),
                           family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in)) != SOCKET_ERROR;
        }
        if (!bound) {
            tunnel_log(log_importance::information,
                       "[TUN]: start_internal: Failed to create the endpoint socket, wsalasterror: " + wsa_error_text());
            return fail();
        }

        SOCKADDR_STORAGE server{};
        const int server_size = server_socket_address(server_endpoint, server);
        if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&server), server_size) == SOCKET_ERROR) {
            tunnel_log(log_importance::information,
                       "[TUN]: start_internal: Failed to connect the endpoint socket, wsalasterror: " + wsa_error_text());
            return fail();
        }

        SOCKADDR_STORAGE bound_address{};
        int bound_size = sizeof(bound_address);
        if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound_address), &bound_size) == 0)
            local_udp_port = ::ntohs(bound_address.ss_family == AF_INET6
                                         ? reinterpret_cast<sockaddr_in6&>(bound_address).sin6_port
                                         : reinterpret_cast<sockaddr_in&>(bound_address).sin_port);

        bool started = false;
        try {
            started = filter && filter->start_filter(default_adapter_handle.load(), rimcap::dual_packet_filter::default_slot);
        } catch (const std::exception&) {
            started = false; // no working thread: the side stays stopped
        }
        if (!started) {
            tunnel_log(log_importance::information,
                       "[TUN]: start_internal: NDIS filter has failed to start for the default network interface! \n");
            return fail();
        }
        side_started = true;
        tunnel_log(log_importance::information,
                   "[TUN]: start_internal: NDIS filter successfully started for the default network interface! \n");
        run_state.exchange(run_states::running);

        if (!force_handshake()) {
            tunnel_log(log_importance::information, "[TUN]: start_internal: force_handshake has failed! \n");
            return fail_running_start();
        }

        tunnel_log(log_importance::information, "[TUN]: start_internal: Starting keep-alive thread! \n");
        try {
            join_keep_alive();
            keep_alive = std::thread(&wg_dual_tunnel::keep_alive_thread, this);
        } catch (const std::exception& e) {
            tunnel_log(log_importance::information,
                       std::string("[TUN]: start_internal: Failed to start keep-alive thread: ") + e.what());
        }
        return run_state.load();
    } catch (...) {
        // A log sink or an allocation that threw: the start fails in order.
        if (side_started)
            return fail_running_start();
        return fail();
    }
}

std::int32_t wg_dual_tunnel::fail_running_start() noexcept
{
    run_state.exchange(run_states::stopped);
    wake_threads();
    join_keep_alive();
    socket.reset();
    stop_filter_side(rimcap::dual_packet_filter::default_slot);
    wait_for_activations();
    reset_tunnel_state();
    return run_states::stopped;
}

void wg_dual_tunnel::reset_socks5_client()
{
    // The SOCKS5 client speaks to IPv4 proxies only; an IPv6 proxy leaves the tunnel
    // talking to its server directly.
    recreate_socks5_client(socks5, ipv4_proxy_settings(socks5_proxy_endpoint, socks5_username, socks5_password),
                           callback_, log_level.load());
}

// ---- waits ---------------------------------------------------------------------------------

void wg_dual_tunnel::wake_threads()
{
    try {
        std::lock_guard lock(wake_mutex_);
        wake_.notify_all();
    } catch (...) {
        // The waits end by their time-outs then.
    }
}

bool wg_dual_tunnel::sleep_unless(std::chrono::milliseconds period, const std::function<bool()>& stop)
{
    std::unique_lock lock(wake_mutex_);
    return wake_.wait_for(lock, period, stop);
}

bool wg_dual_tunnel::wait_for_socks5(const std::shared_ptr<socks5_client>& client)
{
    return wait_for_relay(*client, socks5_polls, [&] {
        return !sleep_unless(socks5_poll_period, [&] {
            return run_state.load() == run_states::stopping ||
                   event_word.load() == wg_dual_tunnel_event_type::exit;
        });
    });
}

// ---- the handshake initiation -------------------------------------------------------------


bool wg_dual_tunnel::force_handshake()
{
    if (const auto client = socks5.get()) {
        if (!wait_for_socks5(client)) {
            tunnel_log(log_importance::error, "[TUN]: error connecting SOCKS5 proxy \n");
            return false;
        }
    }

    const wireguard_result result = wireguard_force_handshake(engine_handle.get(), handshake_buffer.data(),
                                                              static_cast<std::uint32_t>(handshake_buffer.size()));
    if (result.op != WRITE_TO_NETWORK)
        return true;

    if (server_endpoint.family == family_ipv6)
        ipv6_header_word = 0;

    WSABUF descriptor{};
    if (!send_to_server(socket.get(), descriptor, handshake_buffer, result.size)) {
        if (logs(log_importance::information))
            tunnel_log(log_importance::information,
                       "[TUN]: Error sending handshake packet to WireGuard Server, wsalasterror: " + wsa_error_text());
        return false;
    }
    raise_event(tunnel_event::handshake_initiation_sent);
    if (logs(log_importance::information))
        tunnel_log(log_importance::information, "[TUN]: Sent handshake packet to the WireGuard server at " +
                                                    address_text(server_endpoint) + ":" +
                                                    std::to_string(server_endpoint.port));
    return true;
}

// ---- keep-alive thread ------------------------------------------------------------------------

void wg_dual_tunnel::keep_alive_thread() noexcept
{
    try {
        tunnel_log(log_importance::information, "[TUN]: keep_alive_thread: Started! \n");
    } catch (...) {
    }
    start_dead_tunnel_watch(wireguard_stats(engine_handle.get()), static_cast<std::int64_t>(engine::clock_now()),
                            progress_time, stats_snapshot);
    for (;;) {
        bool go_on = false;
        try {
            go_on = run_state.load() == run_states::running && keep_alive_pass();
        } catch (const std::exception& e) {
            go_on = run_state.load() == run_states::running;
            try {
                tunnel_log(log_importance::error, std::string("[TUN]: keep_alive_thread: ") + e.what() + " \n");
            } catch (...) {
            }
        } catch (...) {
            go_on = run_state.load() == run_states::running;
        }
        if (!go_on)
            break;
    }
    try {
        tunnel_log(log_importance::information, "[TUN]: keep_alive_thread: exiting \n");
    } catch (...) {
    }
}

void wg_dual_tunnel::report_traffic()
{
    if (counters.received_packets.load() == 0 && counters.sent_packets.load() == 0)
        return;
    std::lock_guard lock(adapter_mutex);
    if (!virtual_adapter)
        return;
    virtnet_statistics record{};
    record.adapter_id = virtual_adapter->adapter_id();
    record.received_bytes = counters.received_bytes.exchange(0);
    record.received_packets = counters.received_packets.exchange(0);
    record.sent_bytes = counters.sent_bytes.exchange(0);
    record.sent_packets = counters.sent_packets.exchange(0);
    if (virtual_adapter->is_open())
        virtual_adapter->report_statistics(record);
}

bool wg_dual_tunnel::keep_alive_pass()
{
    report_traffic();

    if (sleep_unless(keep_alive_period, [&] { return run_state.load() != run_states::running; }))
        return false;

    // Dead-tunnel watch: data goes out, nothing comes back.
    if (tunnel_seems_dead(wireguard_stats(engine_handle.get()), static_cast<std::int64_t>(engine::clock_now()),
                          progress_time, stats_snapshot)) {
        tunnel_log(log_importance::error,
                   "[TUN]: keep_alive_thread: Tunnel seems to be down. Trying to restart the tunnel! \n");
        raise_event(tunnel_event::tunnel_down);
        request_restart();
        return false;
    }

    const wireguard_result result = wireguard_tick(engine_handle.get(), send_buffer.data(),
                                                   static_cast<std::uint32_t>(send_buffer.size()));
    switch (result.op) {
    case WRITE_TO_NETWORK: {
        const std::size_t size = result.size;
        if (size == handshake_initiation_size) {
            if (relay_pending_count.load() != 0)
                reset_socks5_client();
            if (const auto client = socks5.get(); client && !wait_for_socks5(client)) {
                tunnel_log(log_importance::error, "[TUN]: keep_alive_thread: error connecting SOCKS5 proxy \n");
                break;
            }
        }
        if (!send_to_server(socket.get(), send_wsabuf, send_buffer, size)) {
            if (logs(log_importance::information))
                tunnel_log(log_importance::information,
                           "[TUN]: keep_alive_thread: Error sending packet to WireGuard Server. Notify watchdog! "
                           "wsalasterror: " +
                               wsa_error_text());
            raise_event(tunnel_event::tunnel_down);
            request_restart();
            break;
        }
        tunnel_log(log_importance::information, "[TUN]: keep_alive_thread: Sending packet to WireGuard Server success \n");
        if (send_buffer[0] == message_handshake_initiation)
            raise_event(tunnel_event::handshake_initiation_sent);
        break;
    }
    case WIREGUARD_ERROR:
        tunnel_log(log_importance::information,
                   "[TUN]: keep_alive_thread: Tunnel error detected. Need handshake. Notify watchdog! \n");
        raise_event(tunnel_event::tunnel_down);
        request_restart();
        return false;
    case WRITE_TO_TUNNEL_IPV4:
    case WRITE_TO_TUNNEL_IPV6:
        tunnel_log(log_importance::information,
                   "[TUN]: keep_alive_thread: WRITE_TO_TUNNEL_IPV should never occur here \n");
        break;
    default:
        break;
    }
    return true;
}

// ---- stop ------------------------------------------------------------------------------------

void wg_dual_tunnel::join_keep_alive() noexcept
{
    if (!keep_alive.joinable())
        return;
    // The keep-alive thread never stops its own tunnel; a join from itself would throw.
    if (keep_alive.get_id() == std::this_thread::get_id())
        return;
    try {
        keep_alive.join();
    } catch (...) {
    }
}

void wg_dual_tunnel::stop_filter_side(std::size_t slot) noexcept
{
    if (!filter)
        return;
    try {
        filter->stop_filter(slot);
    } catch (...) {
        // Only a join from the side's own thread fails; no handler stops the tunnel.
    }
}

std::optional<std::int32_t> wg_dual_tunnel::stop_internal(bool stop_virtual_side)
{
    std::int32_t state = run_state.load();
    do {
        if (state == run_states::stopped || state == run_states::stopping)
            return std::nullopt;
    } while (!run_state.compare_exchange_weak(state, run_states::stopping));

    // The keep-alive thread first: its waits end now, and it never sends on a closed socket.
    wake_threads();
    join_keep_alive();
    socket.reset();
    if (stop_virtual_side)
        stop_filter_side(rimcap::dual_packet_filter::virtual_slot);
    stop_filter_side(rimcap::dual_packet_filter::default_slot);
    // No handshake response starts another activation now; those at work finish before
    // the reset, so that none puts the routes back on a stopped tunnel.
    wait_for_activations();
    reset_tunnel_state();
    // The queries in flight are no longer awaited.
    virtual_adapter_dns_ports_v4.clear();
    virtual_adapter_dns_ports_v6.clear();
    default_adapter_udp_ports_v4.clear();
    default_adapter_udp_ports_v6.clear();
    run_state.exchange(run_states::stopped);
    return run_states::stopped;
}

void wg_dual_tunnel::release_refused_modes() noexcept
{
    if (filter)
        filter->release_refused_adapters();
}

void wg_dual_tunnel::stop_dual_tunnel()
{
    std::lock_guard start_stop(start_stop_mutex_);
    notification_flag.exchange(false);

    ::SetLastError(0);
    const DWORD cancelled = cancel_notify_ip_interface_change();
    if (cancelled != NO_ERROR) {
        ::SetLastError(cancelled);
        try {
            if (logs(log_importance::debug))
                tunnel_log(log_importance::debug, "[TUN]: cancel_notify_ip_interface_change has failed, lasterror: " +
                                                      std::to_string(::GetLastError()));
        } catch (...) {
            // A log sink that throws does not keep the tunnel running.
        }
    }

    event_word.exchange(wg_dual_tunnel_event_type::exit);
    wake_threads();
    if (watchdog_thread.joinable() && watchdog_thread.get_id() != std::this_thread::get_id())
        watchdog_thread.join();

    {
        std::lock_guard lock(restart_mutex);
        stop_internal(true);
        // A tunnel that had stopped itself kept the virtual adapter's side running.
        stop_filter_side(rimcap::dual_packet_filter::virtual_slot);
        wait_for_activations();
    }
    release_virtual_adapter();
    // No watchdog puts a mode back to 0 now: a release refused above is tried again
    // here, and at the next start, stop and the drop while it stays refused.
    release_refused_modes();

    while (callbacks_in_flight.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
} // namespace wireguard
